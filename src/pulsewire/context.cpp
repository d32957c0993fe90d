// The per-thread stream context: node, workflow and job identifiers held as
// attributes of the module's threading.local() `_context`.  A thread that
// never set them has none of the attributes; readers treat that like None.
#include "functions.hpp"

namespace pulsewire::functions {

namespace {

using bridge::Param;

constexpr Param kSetParams[] = {optional_str("node_id"), optional_str("workflow_id"), optional_str("job_id")};
constexpr std::array<Param, 0> kNoParams{};

// Replaces the whole context; the argument types were checked before the
// body runs, so a rejected call leaves the previous context in place.
Owned set_context_body(const bridge::Args<kSetParams>& args) {
    Owned context = global(N::_context);
    const Borrowed values[] = {args.get<"node_id">(), args.get<"workflow_id">(), args.get<"job_id">()};
    for (size_t i = 0; i < std::size(kContextKeys); ++i) bridge::setattr(context, name(kContextKeys[i]), values[i]);
    return bridge::none();
}

Owned get_context_body(const bridge::Args<kNoParams>&) {
    Owned context = global(N::_context);
    Owned snapshot = bridge::new_dict();
    for (N key : kContextKeys) {
        Owned value = bridge::getattr_optional(context, name(key));
        bridge::dict_set(snapshot, name(key), value ? value : bridge::none());
    }
    return snapshot;
}

Owned clear_context_body(const bridge::Args<kNoParams>&) {
    Owned context = global(N::_context);
    Owned none = bridge::none();
    for (N key : kContextKeys) bridge::setattr(context, name(key), none);
    return bridge::none();
}

}  // namespace

const bridge::FunctionSpec set_stream_context = bridge::function<kSetParams, set_context_body>({
    .name = "set_stream_context",
    .doc = "Set the stream context for the current thread.\n"
           "\n"
           "Called by the node runner before it executes a node; every later stream_log()\n"
           "call on this thread attaches these identifiers unless it names its own.\n"
           "Each call replaces the whole context.",
});

const bridge::FunctionSpec get_stream_context = bridge::function<kNoParams, get_context_body>({
    .name = "get_stream_context",
    .doc = "Return the current thread's stream context as a new dict with the keys\n"
           "node_id, workflow_id and job_id (None where unset).",
    .return_annotation = "Dict[str, Optional[str]]",
    .result = bridge::ResultType::Dict,
});

const bridge::FunctionSpec clear_stream_context = bridge::function<kNoParams, clear_context_body>({
    .name = "clear_stream_context",
    .doc = "Clear the stream context for the current thread.",
});

}  // namespace pulsewire::functions
