// The extension module zentrel_core.clusterlane: multi-phase initialisation
// (one interpreter per process, initialised once) and the module namespace,
// bound in order: json, os, ABC, abstractmethod, Any, Dict, List, Optional,
// log_message, Node, NodeException, NodeResult, the parameter classes and
// ClusterlaneBase.
#include "bridge/module.hpp"
#include "class.hpp"
#include "connection_pool.hpp"
#include "host/host.hpp"

namespace clusterlane {

namespace {

constexpr const char* kModuleDoc =
    "Base class for cluster/SLURM-enabled workflow nodes.\n"
    "\n"
    "Features:\n"
    "- the user provides the SLURM script (no script generation)\n"
    "- template variables in {{VAR_NAME}} syntax are filled at submission\n"
    "- state persistence for job tracking across calls\n"
    "- automatic switching between local and remote execution\n"
    "\n"
    "Example:\n"
    "\n"
    "    class MyNode(ClusterlaneBase):\n"
    "        OPTIONS = {\n"
    "            **ClusterlaneBase.HPC_OPTIONS,\n"
    "            \"steps\": IntegerParameter(label=\"Steps\", default=1000),\n"
    "        }\n"
    "\n"
    "        def get_input_files(self, flow_vars):\n"
    "            return [flow_vars[\"input_file\"].get_value()]\n"
    "\n"
    "        def get_output_files(self, flow_vars):\n"
    "            return [\"result.txt\"]\n"
    "\n"
    "        def get_template_variables(self, flow_vars):\n"
    "            return {\"NSTEPS\": str(flow_vars[\"steps\"].get_value())}\n"
    "\n"
    "        def run_local(self, predecessor_data, flow_vars):\n"
    "            return {\"success\": True, \"message\": \"Completed\"}\n";

// What a pass uses on every command and wait, bound once.
void bind_once() {
    Bound& b = runtime().state;
    Owned threading = bridge::import("threading");
    b.thread = bridge::getattr(threading, bridge::intern("Thread"));
    b.lock = bridge::getattr(threading, bridge::intern("Lock"));
    b.event = bridge::getattr(threading, bridge::intern("Event"));
    b.simple_queue = bridge::getattr(bridge::import("queue"), bridge::intern("SimpleQueue"));
    b.poll = bridge::getattr(bridge::import("select"), name(N::poll));
    b.sleep = bridge::getattr(bridge::import("time"), bridge::intern("sleep"));
    b.register_name = bridge::intern("register");
    b.st_mtime_name = bridge::intern("st_mtime");
    b.reader_exit_wait = bridge::float_from(5.0);
    b.simple_namespace = bridge::getattr(bridge::import("types"), bridge::intern("SimpleNamespace"));
    Owned hashlib = bridge::import("hashlib");
    b.sha256 = bridge::getattr(hashlib, bridge::intern("sha256"));
    b.file_digest = bridge::getattr(hashlib, bridge::intern("file_digest"));
    b.atexit_register = bridge::getattr(bridge::import("atexit"), b.register_name);
    b.kept_connections = pool::new_pool();
}

void exec_module(Borrowed module) {
    Runtime::init(module, N_texts, "zentrel_core.clusterlane.native_function");
    bridge::bind(module, "__doc__", bridge::str_from(kModuleDoc));
    bridge::bind(module, "json", bridge::import("json"));
    bridge::bind(module, "os", bridge::import("os"));
    bridge::bind_from(module, "abc", {"ABC", "abstractmethod"});
    bridge::bind_from(module, "typing", {"Any", "Dict", "List", "Optional"});
    host::bind_from(module, host::Sibling::logger, {"log_message"});
    host::bind_from(module, host::Sibling::node, {"Node", "NodeException", "NodeResult"});
    host::bind_from(module, host::Sibling::parameters,
                    {"BooleanParameter", "SelectParameter", "StringParameter", "TextParameter"});
    bind_once();
    bridge::bind(module, "ClusterlaneBase", build_clusterlane_base());
}

bridge::SingleInterpreterModule g_module{"clusterlane", exec_module, Runtime::reset};

}  // namespace

}  // namespace clusterlane

BRIDGE_MODULE_ENTRY(clusterlane, clusterlane::g_module)
