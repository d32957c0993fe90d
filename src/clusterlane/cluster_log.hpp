// The cluster log: the host's log_message and the node's logging hook (the
// methods set_log_callback and _hpc_log, defined in cluster_log.cpp).
#pragma once

#include "runtime.hpp"

#include <initializer_list>

namespace clusterlane {

using bridge::Kw;

// log_message(text) through the module's `log_message`, the host's route
// for this module (host::LogRoute::bound_at_import).
void log(Borrowed text);
// log_message(text, level=level)
void log(Borrowed text, const char* level);
void log(Borrowed text, Borrowed level);

// self._hpc_log(level, message, **metadata), the metadata in the given order.
void hpc_log(Borrowed self, const char* level, Borrowed message, std::initializer_list<Kw> metadata = {});

}  // namespace clusterlane
