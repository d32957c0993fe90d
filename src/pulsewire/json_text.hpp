// JSON text of a log entry, identical to json.dumps(entry, default=str)
// with the serialiser's defaults, written natively for the values log
// entries normally hold.
#pragma once

#include "runtime.hpp"

namespace pulsewire {

// The JSON text of `value` when it consists only of exact str, int, float,
// bool, None, list, tuple and dict with str keys, nested at most a few dozen
// levels; a null Owned otherwise (the caller then uses json.dumps, which
// also covers the default=str conversions and circular references).
Owned simple_json(Borrowed value);

}  // namespace pulsewire
