// The per-node logging hook: set_log_callback installs a callback that
// receives every cluster-side event; _hpc_log sends one event to it, or to
// the host log with the "[HPC] " prefix when no callback is installed.
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned set_log_callback_body(bridge::CallFrame& args) {
    bridge::setattr(args[0], name(N::_log_callback), args[1]);
    return bridge::none();
}

// A failing callback must not fail the caller: its error text is appended
// to the message, which then goes to the host log (with the failure as the
// exception being handled, so a failing host log chains to it).  Interrupts
// and exits (outside the Exception family) are not absorbed.
void log_callback_failure(Borrowed message, Borrowed level) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) bridge::throw_error();
    Owned error = bridge::fetch_error();
    bridge::Handling handling(error);
    log(bridge::concat({"[HPC] ", message, " (callback failed: ", bridge::str(error), ")"}), level);
}

Owned hpc_log_body(bridge::CallFrame& args) {
    Borrowed self = args[0];
    Borrowed level = args[1];
    Borrowed message = args[2];
    Owned callback = bridge::getattr(self, name(N::_log_callback));
    if (!bridge::truthy(callback)) {
        log(bridge::concat({"[HPC] ", message}), level);
        return bridge::none();
    }
    try {
        bridge::call_with_dict(callback, {level, message}, args.extra_keywords());
    } catch (const bridge::PyError&) {
        log_callback_failure(message, level);
    }
    return bridge::none();
}

constexpr Param kSetLogCallbackParams[] = {bridge::self_param(), bridge::any_param("callback")};
constexpr Param kHpcLogParams[] = {bridge::self_param(), bridge::str_param("level"), bridge::str_param("message")};

}  // namespace

namespace methods {

const bridge::FunctionSpec set_log_callback{
    .name = "set_log_callback",
    .qualname = "ClusterlaneBase.set_log_callback",
    .doc = "Install the logging callback for cluster events.\n\n"
           "The callback is called as callback(level: str, message: str, **metadata) for every\n"
           "step of a cluster run; the worker uses it to route the events to its LoggingService.\n"
           "Passing None switches the callback off again.",
    .params = kSetLogCallbackParams,
    .body = set_log_callback_body,
};

const bridge::FunctionSpec hpc_log{
    .name = "_hpc_log",
    .qualname = "ClusterlaneBase._hpc_log",
    .doc = "Report a cluster event through the logging callback, or the host log without one.\n\n"
           "level is one of 'debug', 'info', 'warning', 'error'; metadata keywords (file_name,\n"
           "size, job_id, etc.) go to the callback only.",
    .params = kHpcLogParams,
    .var_keywords = "metadata",
    .body = hpc_log_body,
};

}  // namespace methods

}  // namespace clusterlane
