// The node's state file, as the pass uses it besides the node's own methods
// (defined in state.cpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// Raises NodeException "state" unless a file can be created next to the
// state file, so that a job about to be submitted can be recorded.
void check_record_writable(Borrowed state_path);

// Writes `document` as JSON to a new temporary file beside `path` and
// renames it over `path`; with `sync` the data reaches the disk first.
// Raises what the writing raised, the temporary file removed.
void write_json_file(Borrowed path, Borrowed document, bool sync);

}  // namespace clusterlane
