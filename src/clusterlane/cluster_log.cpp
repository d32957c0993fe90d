// The cluster log: the host's log_message and the node's logging hook.
#include "cluster_log.hpp"

#include "bridge/statements.hpp"
#include "host/host.hpp"

namespace clusterlane {

void log(Borrowed text) { host::log_message(runtime().module, host::LogRoute::bound_at_import, text); }

void log(Borrowed text, const char* level) { log(text, bridge::str_from(level)); }

void log(Borrowed text, Borrowed level) {
    host::log_message(runtime().module, host::LogRoute::bound_at_import, text, level);
}

void hpc_log(Borrowed self, const char* level, Borrowed message, std::initializer_list<Kw> metadata) {
    Owned method = bridge::getattr(self, name(N::_hpc_log));
    bridge::call(method, {bridge::str_from(level), message}, metadata);
}

}  // namespace clusterlane
