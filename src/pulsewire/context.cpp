// The per-thread stream context: node, workflow and job identifiers held as
// attributes of the module's threading.local() `_context`.  A thread that
// never set them has none of the attributes; readers treat that like None.
#include "functions.hpp"

namespace pulsewire::functions {

namespace {

using bridge::Param;

// Replaces the whole context; the argument types were checked before the
// body runs, so a rejected call leaves the previous context in place.
Owned set_context_body(bridge::CallFrame& args) {
    Owned context = global(N::_context);
    for (size_t i = 0; i < 3; ++i) bridge::setattr(context, name(kContextKeys[i]), args[i]);
    return bridge::none();
}

Owned get_context_body(bridge::CallFrame&) {
    Owned context = global(N::_context);
    Owned snapshot = bridge::new_dict();
    for (N key : kContextKeys) {
        Owned value = bridge::getattr_optional(context, name(key));
        bridge::dict_set(snapshot, name(key), value ? value.borrow() : Borrowed(Py_None));
    }
    return snapshot;
}

Owned clear_context_body(bridge::CallFrame&) {
    Owned context = global(N::_context);
    for (N key : kContextKeys) bridge::setattr(context, name(key), Py_None);
    return bridge::none();
}

constexpr Param kSetParams[] = {optional_str("node_id"), optional_str("workflow_id"), optional_str("job_id")};

}  // namespace

const bridge::FunctionSpec set_stream_context{
    "set_stream_context",
    "set_stream_context",
    "Set the stream context for the current thread.\n"
    "\n"
    "Called by the node runner before it executes a node; every later stream_log()\n"
    "call on this thread attaches these identifiers unless it names its own.\n"
    "Each call replaces the whole context.",
    kSetParams,
    nullptr,
    nullptr,
    bridge::ResultType::Any,
    false,
    set_context_body,
};

const bridge::FunctionSpec get_stream_context{
    "get_stream_context",
    "get_stream_context",
    "Return the current thread's stream context as a new dict with the keys\n"
    "node_id, workflow_id and job_id (None where unset).",
    {},
    nullptr,
    "Dict[str, Optional[str]]",
    bridge::ResultType::Dict,
    false,
    get_context_body,
};

const bridge::FunctionSpec clear_stream_context{
    "clear_stream_context",
    "clear_stream_context",
    "Clear the stream context for the current thread.",
    {},
    nullptr,
    nullptr,
    bridge::ResultType::Any,
    false,
    clear_context_body,
};

}  // namespace pulsewire::functions
