// Key passphrases kept out of every text the module writes: log lines, log
// metadata and exception texts.
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// The values stored under a "keyPassphrase" key anywhere in `source`: in a
// mapping (anything with keys(), as dict.update reads it), at any depth, in
// lists and tuples, and behind parameter objects (get_value()).  Values of
// any type; falsy ones (nothing to hide) are left out.  A list, for
// masked_text.
Owned passphrases_in(Borrowed source);

// The text with every occurrence of a passphrase's repr() shown as '***'
// and then of its str() as ***.  The text itself when nothing is found.
Owned masked_text(Borrowed text, Borrowed passphrases);

// masked_text(text, passphrases_in(source)).
Owned mask_passphrases(Borrowed text, Borrowed source);

}  // namespace clusterlane
