// The cluster log: the host's log_message, and the node's logging hook.
// set_log_callback installs a callback that receives every cluster-side
// event; _hpc_log sends one event to it, or to the host log with the
// "[HPC] " prefix when no callback is installed.
#include "cluster_log.hpp"

#include "bridge/statements.hpp"
#include "host/host.hpp"
#include "methods.hpp"

namespace clusterlane {

// ---- the host log ------------------------------------------------------------

void log(Borrowed text) { host::log_message(runtime().module, host::LogRoute::bound_at_import, text); }

void log(Borrowed text, const char* level) { log(text, bridge::str_from(level)); }

void log(Borrowed text, Borrowed level) {
    host::log_message(runtime().module, host::LogRoute::bound_at_import, text, level);
}

void hpc_log(Borrowed self, const char* level, Borrowed message, std::initializer_list<Kw> metadata) {
    Owned method = bridge::getattr(self, name(N::_hpc_log));
    bridge::call(method, {bridge::str_from(level), message}, metadata);
}

// ---- the node's logging hook ---------------------------------------------------

namespace {

using bridge::Param;

constexpr Param kSetLogCallbackParams[] = {bridge::self_param(), bridge::any_param("callback")};
constexpr Param kHpcLogParams[] = {bridge::self_param(), bridge::str_param("level"), bridge::str_param("message")};

Owned set_log_callback_body(const bridge::Args<kSetLogCallbackParams>& args) {
    bridge::setattr(args.self(), name(N::_log_callback), args.get<"callback">());
    return bridge::none();
}

// A failing callback must not fail the caller: its error text is appended
// to the message, which then goes to the host log (with the failure as the
// exception being handled, so a failing host log chains to it).  Interrupts
// and exits (outside the Exception family) are not absorbed.
Owned hpc_log_body(const bridge::Args<kHpcLogParams>& args) {
    Borrowed level = args.get<"level">();
    Borrowed message = args.get<"message">();
    Owned callback = bridge::getattr(args.self(), name(N::_log_callback));
    if (!bridge::truthy(callback)) {
        log(bridge::concat({"[HPC] ", message}), level);
        return bridge::none();
    }
    bridge::try_except(
        [&] { bridge::call_with_dict(callback, {level, message}, args.extra_keywords()); }, PyExc_Exception,
        [&](Borrowed error) {
            log(bridge::concat({"[HPC] ", message, " (callback failed: ", error_text(error), ")"}), level);
        });
    return bridge::none();
}

}  // namespace

namespace methods {

const bridge::FunctionSpec set_log_callback = bridge::function<kSetLogCallbackParams, set_log_callback_body>({
    .name = "set_log_callback",
    .doc = "Install the logging callback for cluster events.\n\n"
           "The callback is called as callback(level: str, message: str, **metadata) for every\n"
           "step of a cluster run; the worker uses it to route the events to its LoggingService.\n"
           "Passing None switches the callback off again.",
});

const bridge::FunctionSpec hpc_log = bridge::function<kHpcLogParams, hpc_log_body>({
    .name = "_hpc_log",
    .doc = "Report a cluster event through the logging callback, or the host log without one.\n\n"
           "level is one of 'debug', 'info', 'warning', 'error'; metadata keywords (file_name,\n"
           "size, job_id, etc.) go to the callback only.",
    .var_keywords = "metadata",
});

}  // namespace methods

}  // namespace clusterlane
