// stream_log: one message to the host log and, as a JSON log entry with the
// thread's stream context attached, to the UI through _publish_to_redis.
#include "functions.hpp"
#include "host/host.hpp"

namespace pulsewire::functions {

namespace {

using bridge::DefaultValue;
using bridge::Param;

constexpr Param kParams[] = {
    bridge::str_param("message"),
    {"level", bridge::ArgType::Str, false, DefaultValue::str("info"), "str"},
    {"source", bridge::ArgType::Str, false, DefaultValue::str("node"), "str"},
    optional_str("node_id"),
    optional_str("workflow_id"),
    optional_str("job_id"),
    {"progress", bridge::ArgType::Float, true, DefaultValue::none(), "float | None"},
    optional_str("component"),
};

// The identifier arguments are exact str or None; a context value may be
// anything a replacement get_stream_context or a direct assignment put there.
bool is_non_empty_str(Borrowed value) {
    return PyUnicode_Check(value.get()) && bridge::text_length(value) > 0;
}

// Each identifier given as a non-empty argument wins; otherwise the thread's
// context supplies it through ctx.get(key), which may be None.
using Args = bridge::Args<kParams>;

std::array<Owned, 3> resolve_ids(const Args& args) {
    Owned context = bridge::call(global(N::get_stream_context));
    const Borrowed given[] = {args.get<"node_id">(), args.get<"workflow_id">(), args.get<"job_id">()};
    std::array<Owned, 3> ids;
    for (size_t i = 0; i < ids.size(); ++i) {
        Borrowed argument = given[i];
        ids[i] = is_non_empty_str(argument) ? Owned::ref(argument.get())
                                            : bridge::call_method(context, name(N::get), name(kContextKeys[i]));
    }
    return ids;
}

// datetime.now(timezone.utc).isoformat() with the offset written "Z".
Owned utc_timestamp() {
    Owned now = bridge::call(bound().now, bound().utc);
    Owned text = bridge::call_method(now, name(N::isoformat));
    return bridge::call_method(text, name(N::replace), bound().utc_offset, bound().zulu);
}

void set_if_non_empty_str(Borrowed entry, N key, Borrowed value) {
    if (is_non_empty_str(value)) bridge::dict_set(entry, name(key), value);
}

Owned build_entry(const Args& args) {
    std::array<Owned, 3> ids = resolve_ids(args);
    Owned entry = bridge::new_dict();
    bridge::dict_set(entry, name(N::timestamp), utc_timestamp());
    bridge::dict_set(entry, name(N::source), args.get<"source">());
    bridge::dict_set(entry, name(N::level), bridge::call_method(args.get<"level">(), name(N::lower)));
    bridge::dict_set(entry, name(N::message), args.get<"message">());
    for (size_t i = 0; i < ids.size(); ++i) set_if_non_empty_str(entry, kContextKeys[i], ids[i]);
    Borrowed progress = args.get<"progress">();
    if (!progress.is_none()) bridge::dict_set(entry, name(N::progress), progress);
    set_if_non_empty_str(entry, N::component, args.get<"component">());
    Borrowed metadata = args.extra_keywords();
    if (bridge::dict_size(metadata) > 0) bridge::dict_set(entry, name(N::metadata), metadata);
    return entry;
}

Owned stream_log_body(const Args& args) {
    // The host log gets the line first, with the level as given, so it is
    // written even when publication fails later.
    host::log_message(args.module(), host::LogRoute::imported_per_call, args.get<"message">(), args.get<"level">());

    Owned entry = build_entry(args);
    bridge::call(global(N::_publish_to_redis), entry);
    return bridge::none();
}

}  // namespace

const bridge::FunctionSpec stream_log = bridge::function<kParams, stream_log_body>({
    .name = "stream_log",
    .doc = "Stream a log message to the UI via Redis Pub/Sub.\n"
    "\n"
    "Writes the message to the host log and publishes it as a JSON log entry on\n"
    "\"zentrel:logs\" with the node, workflow and job identifiers (from the arguments\n"
    "or this thread's stream context), an optional progress percentage, component\n"
    "name and any extra keyword arguments as metadata.  The server is REDIS_HOST\n"
    "(default \"localhost\") and REDIS_PORT (default 18003), read on every call.\n"
    "Publication is best effort: when Redis is unavailable the message is still\n"
    "logged, the entry is dropped with a DEBUG record on the logger\n"
    "\"zentrel_core.pulsewire\", and the call returns normally.",
    .var_keywords = "metadata",
});

}  // namespace pulsewire::functions
