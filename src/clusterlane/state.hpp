// The node's state file, as the pass uses it besides the node's own methods
// (defined in state.cpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// Raises NodeException "state" unless a file can be created next to the
// state file, so that a job about to be submitted can be recorded.
void check_record_writable(Borrowed state_path);

}  // namespace clusterlane
