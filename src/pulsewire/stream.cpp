// stream_log: one message to the host log and, as a JSON log entry with the
// thread's stream context attached, to the UI through _publish_to_redis.
#include "functions.hpp"

namespace pulsewire::functions {

namespace {

using bridge::DefaultValue;
using bridge::Param;

enum Arg : size_t { kMessage, kLevel, kSource, kNodeId, kWorkflowId, kJobId, kProgress, kComponent };

bool non_empty_str(Borrowed value) { return !value.is_none() && PyUnicode_GET_LENGTH(value.get()) > 0; }

constexpr Arg kIdArgs[] = {kNodeId, kWorkflowId, kJobId};
constexpr N kIdKeys[] = {N::node_id, N::workflow_id, N::job_id};

// Each identifier given as a non-empty argument wins; otherwise the thread's
// context supplies it (which may be None).  The module's own
// get_stream_context is read without building its dict; a replacement
// assigned to the module attribute is called and asked with .get(key).
std::array<Owned, 3> resolve_ids(const bridge::CallFrame& args) {
    Owned getter = global(N::get_stream_context);
    std::array<Owned, 3> ids;
    if (getter.get() == runtime().native_get_context.get()) {
        ids = read_stream_context();
        for (size_t i = 0; i < 3; ++i)
            if (non_empty_str(args[kIdArgs[i]])) ids[i] = Owned::ref(args[kIdArgs[i]]);
        return ids;
    }
    Owned context = bridge::call(getter, {});
    for (size_t i = 0; i < 3; ++i) {
        Borrowed argument = args[kIdArgs[i]];
        if (non_empty_str(argument)) {
            ids[i] = Owned::ref(argument);
        } else if (PyDict_CheckExact(context.get())) {
            Borrowed value = bridge::dict_get(context, name(kIdKeys[i]));
            ids[i] = Owned::ref(value ? value.get() : Py_None);
        } else {
            ids[i] = bridge::call_method(context, name(N::get), {name(kIdKeys[i])});
        }
    }
    return ids;
}

void set_if_truthy(Borrowed entry, N key, Borrowed value) {
    if (bridge::truthy(value)) bridge::dict_set(entry, name(key), value);
}

Owned build_entry(const bridge::CallFrame& args) {
    std::array<Owned, 3> ids = resolve_ids(args);
    Owned entry = bridge::new_dict();
    bridge::dict_set(entry, name(N::timestamp), utc_timestamp());
    bridge::dict_set(entry, name(N::source), args[kSource]);
    bridge::dict_set(entry, name(N::level), bridge::call_method(args[kLevel], name(N::lower), {}));
    bridge::dict_set(entry, name(N::message), args[kMessage]);
    for (size_t i = 0; i < 3; ++i) set_if_truthy(entry, kIdKeys[i], ids[i]);
    if (!args[kProgress].is_none()) bridge::dict_set(entry, name(N::progress), args[kProgress]);
    if (non_empty_str(args[kComponent])) bridge::dict_set(entry, name(N::component), args[kComponent]);
    Borrowed metadata = args.extra_keywords();
    if (PyDict_GET_SIZE(metadata.get()) > 0) bridge::dict_set(entry, name(N::metadata), metadata);
    return entry;
}

Owned stream_log_body(bridge::CallFrame& args) {
    // The host log gets the line first, with the level as given, so it is
    // written even when publication fails later.
    Owned log_message = import_from(runtime().host_logger_module, N::log_message);
    bridge::call(log_message, {args[kMessage], args[kLevel]});

    Owned entry = build_entry(args);
    bridge::call(global(N::_publish_to_redis), {entry});
    return bridge::none();
}

constexpr Param optional_str(const char* param_name) {
    return {param_name, bridge::ArgType::Str, true, DefaultValue::none(), "str"};
}

constexpr Param kParams[] = {
    bridge::str_param("message"),
    {"level", bridge::ArgType::Str, false, DefaultValue::str("info"), "str"},
    {"source", bridge::ArgType::Str, false, DefaultValue::str("node"), "str"},
    optional_str("node_id"),
    optional_str("workflow_id"),
    optional_str("job_id"),
    {"progress", bridge::ArgType::Float, true, DefaultValue::none(), "float"},
    optional_str("component"),
};

}  // namespace

const bridge::FunctionSpec stream_log{
    "stream_log",
    "stream_log",
    "Stream a log message to the UI via Redis Pub/Sub.\n"
    "\n"
    "Writes the message to the host log and publishes it as a JSON log entry on\n"
    "\"zentrel:logs\" with the node, workflow and job identifiers (from the arguments\n"
    "or this thread's stream context), an optional progress percentage, component\n"
    "name and any extra keyword arguments as metadata.  Publication is best\n"
    "effort: when Redis is unavailable the message is still logged and the call\n"
    "returns normally.",
    kParams,
    "metadata",
    nullptr,
    bridge::ResultType::Any,
    false,
    stream_log_body,
};

}  // namespace pulsewire::functions
