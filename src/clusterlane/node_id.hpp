// The node ID names the node's files (defined in node_id.cpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// Raises NodeException "configuration" unless the node ID can name the job
// directory and the local state and lock files.
void check_node_id(Borrowed self);

}  // namespace clusterlane
