// What a pass asks of the cluster's shell besides the node's shell methods
// (defined in shell_methods.cpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// True when `scontrol ping` on the cluster reports the controller down.
bool controller_down(Borrowed ssh);

}  // namespace clusterlane
