// The extension module zentrel_core.pulsewire: multi-phase initialisation
// (one interpreter per process, initialised once) and the module namespace,
// bound in order: json, logging, os, threading, datetime, timezone, Any,
// Dict, Optional, _context, logger, the three context functions,
// _CONNECT_TIMEOUT_S, _publish_to_redis, stream_log and post_with_progress.
//
// Only standard-library modules are imported here, and the callables used on
// every call (datetime.now, timezone.utc, json.dumps, os.getenv, the logger)
// are bound once in the module's state; redis, requests and the host logger
// are imported by the functions that use them, on every call.
#include "bridge/module.hpp"
#include "functions.hpp"

namespace pulsewire {

namespace {

constexpr const char* kModuleDoc =
    "Real-time log streaming from node code to the UI.\n"
    "\n"
    "Works both in-process and in isolated subprocesses: log lines travel\n"
    "node code -> stream_log() -> Redis Pub/Sub \"zentrel:logs\" -> server relay ->\n"
    "WebSocket -> UI.  Each thread keeps its own stream context (node, workflow\n"
    "and job identifiers), set by the node runner before a node executes.\n"
    "\n"
    "Example:\n"
    "\n"
    "    from zentrel_core.pulsewire import stream_log\n"
    "\n"
    "    stream_log(\"Processing batch 1/10\", progress=10)\n"
    "    stream_log(\"Model loaded\", level=\"info\", component=\"loader\")\n";

void bind_function(Borrowed module, const bridge::FunctionSpec& spec) {
    bridge::bind(module, spec.name, bridge::make_function(runtime().function_type, spec, module));
}

// What stream_log and _publish_to_redis use on every call: the standard-
// library callables, taken from the objects just bound in the namespace, and
// the constant texts.
void bind_once() {
    Bound& b = runtime().state;
    b.now = bridge::getattr(global(N::datetime), name(N::now));
    b.utc = bridge::getattr(global(N::timezone), name(N::utc));
    b.utc_offset = bridge::str_from("+00:00");
    b.zulu = bridge::str_from("Z");
    b.dumps = bridge::getattr(global(N::json), name(N::dumps));
    b.dumps_keywords = bridge::KeywordNames({"default"});
    b.redis_keywords = bridge::KeywordNames({"host", "port", "decode_responses", "socket_connect_timeout",
                                             "socket_timeout", "retry", "protocol"});
    b.redis_keywords_default = bridge::KeywordNames({"host", "port", "decode_responses", "socket_connect_timeout",
                                                     "socket_timeout", "protocol"});
    b.getenv = bridge::getattr(global(N::os), name(N::getenv));
    b.channel = bridge::str_from("zentrel:logs");
    b.default_port = bridge::str_from("18003");
    b.no_backoff = bridge::FromImport("redis.backoff", "NoBackoff");
    b.retry = bridge::FromImport("redis.retry", "Retry");
    b.logger = global(N::logger);
}

void exec_module(Borrowed module) {
    Runtime::init(module, N_texts, "zentrel_core.pulsewire.native_function");
    bridge::bind(module, "__doc__", bridge::str_from(kModuleDoc));
    for (const char* standard : {"json", "logging", "os", "threading"})
        bridge::bind(module, standard, bridge::import(standard));
    bridge::bind_from(module, "datetime", {"datetime", "timezone"});
    bridge::bind_from(module, "typing", {"Any", "Dict", "Optional"});

    Owned local_type = bridge::getattr(global(N::threading), name(N::local));
    bridge::bind(module, "_context", bridge::call(local_type));
    Owned module_name = bridge::module_name(module);
    bridge::bind(module, "logger", bridge::call_method(global(N::logging), name(N::getLogger), module_name));
    bind_once();

    bind_function(module, functions::set_stream_context);
    bind_function(module, functions::get_stream_context);
    bind_function(module, functions::clear_stream_context);
    bridge::bind(module, "_CONNECT_TIMEOUT_S", bridge::float_from(0.25));
    bind_function(module, functions::publish_to_redis);
    bind_function(module, functions::stream_log);
    bind_function(module, functions::post_with_progress);
}

bridge::SingleInterpreterModule g_module{"pulsewire", exec_module, Runtime::reset};

}  // namespace

}  // namespace pulsewire

BRIDGE_MODULE_ENTRY(pulsewire, pulsewire::g_module)
