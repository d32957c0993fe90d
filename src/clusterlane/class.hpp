#pragma once

#include "runtime.hpp"

namespace clusterlane {

// Creates the class ClusterlaneBase; the module's host names must be bound.
Owned build_clusterlane_base();

}  // namespace clusterlane
