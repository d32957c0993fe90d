// execute(): the entry point the engine's worker calls.  It writes its
// diagnostic lines, finds the cluster options (the "_hpc_options" dict or the
// node's own legacy option values), runs the node locally or hands it to
// _run_remote, and returns the result as JSON text.  Every failure leaves as
// a NodeException.
#include "methods.hpp"
#include "options.hpp"

#include "bridge/statements.hpp"
#include "redaction.hpp"

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

void diagnostic(Borrowed text) { log(text, "info"); }

const char* python_bool(bool value) { return value ? "True" : "False"; }

struct RunSettings {
    Owned mode;
    Owned profile_id;
    Owned script;
};

RunSettings settings_from_options(Borrowed options) {
    RunSettings s{option(options, "execution_mode", bridge::str_from("local")),
                  option(options, "hpc_profile_id", bridge::str_from("")),
                  option(options, "slurm_script", bridge::str_from(""))};
    diagnostic(concat({"[ClusterlaneBase] Using HPC options: mode=", bridge::str(s.mode),
                       ", profile_id=", bridge::str(s.profile_id),
                       ", has_script=", python_bool(bridge::truthy(s.script))}));
    return s;
}

RunSettings settings_from_legacy(Borrowed flow_vars) {
    return {legacy_option(flow_vars, "execution_mode", Legacy::parameter, bridge::str_from("local")),
            legacy_option(flow_vars, "hpc_profile", Legacy::parameter, bridge::str_from("")),
            legacy_option(flow_vars, "slurm_script", Legacy::parameter, bridge::str_from(""))};
}

// Diagnostic lines 1 to 4 and the unwrapping of a parameter object.  The
// options are looked into for passphrases before the first line that shows
// them.
Owned resolve_options(Borrowed flow_vars, Secrets& secrets) {
    Owned keys = bridge::list_of(bridge::call_method(flow_vars, name(N::keys)));
    diagnostic(concat({"[ClusterlaneBase] flow_vars keys: ", bridge::str(keys)}));

    Owned raw = bridge::mapping_get(flow_vars, bridge::str_from("_hpc_options"), bridge::new_dict(), name(N::get));
    secrets.scan(raw);
    diagnostic(secrets.masked(concat({"[ClusterlaneBase] _hpc_options_raw type: ", bridge::type_short_name(raw),
                                      ", value: ", bridge::str(raw)})));

    Owned options = raw;
    if (bridge::hasattr(raw, name(N::get_value))) {
        options = bridge::call_method(raw, name(N::get_value));
        secrets.scan(options);
        diagnostic(secrets.masked(concat({"[ClusterlaneBase] Unwrapped Parameter, hpc_options: ", bridge::str(options)})));
    }
    const bool is_dict = PyDict_Check(options.get());
    diagnostic(concat({"[ClusterlaneBase] Final hpc_options type: ", bridge::type_short_name(options),
                       ", is dict: ", python_bool(is_dict),
                       ", bool: ", is_dict ? python_bool(bridge::truthy(options)) : "N/A"}));
    return options;
}

bool is_local_mode(Borrowed mode) { return bridge::equal(mode, bridge::str_from("local")); }

Owned run_local_branch(Borrowed self, Borrowed predecessor_data, Borrowed flow_vars) {
    Owned result = call_self(self, N::run_local, predecessor_data, flow_vars);
    if (PyUnicode_Check(result.get())) return result;
    return json_dumps(result);
}

Owned run_cluster_branch(Borrowed self, Borrowed predecessor_data, Borrowed flow_vars, Borrowed options,
                         const RunSettings& s) {
    if (!bridge::truthy(s.profile_id))
        raise_node_exception("configuration",
                             bridge::str_from("HPC Profile is required for remote execution. Configure profiles in "
                                              "Settings \u2192 HPC Profiles."));
    if (!bridge::truthy(s.script))
        raise_node_exception("configuration",
                             bridge::str_from("SLURM job script is required for remote execution. Paste or load your "
                                              "SLURM script with {{VARIABLE}} placeholders."));
    bridge::setattr(self, name(N::_slurm_script), s.script);
    Owned result = call_self(self, N::_run_remote, predecessor_data, flow_vars, options);
    return json_dumps(result);
}

Owned execute_steps(Borrowed self, Borrowed predecessor_data, Borrowed flow_vars, Secrets& secrets) {
    Owned options = resolve_options(flow_vars, secrets);
    const bool present = PyDict_Check(options.get()) && bridge::truthy(options);
    RunSettings s = present ? settings_from_options(options) : settings_from_legacy(flow_vars);
    if (is_local_mode(s.mode)) return run_local_branch(self, predecessor_data, flow_vars);
    return run_cluster_branch(self, predecessor_data, flow_vars, options, s);
}

// annotated as in the stub, but unchecked: flow_vars may be any mapping
constexpr Param kExecuteParams[] = {bridge::self_param(), bridge::any_param("predecessor_data", "list[Any]"),
                                    bridge::any_param("flow_vars", "dict[str, Any]")};
constexpr Param kProfileParams[] = {bridge::self_param(), bridge::str_param("profile_name")};

// The node's key as the origin of a NodeException, and its text for the
// error line: str(node_key), or its type's name when that cannot be formed.
// A node whose key cannot be read at all goes by its class's name.
struct NodeKey {
    Owned key;
    Owned text;
};

NodeKey node_key_of(Borrowed self) {
    Owned key;
    if (!bridge::attempt([&] { key = bridge::getattr(self, name(N::node_key)); }))
        key = bridge::type_short_name(self);
    Owned text = text_of(key);
    return {key, text ? std::move(text) : bridge::type_short_name(key)};
}

// Any failure other than a NodeException is logged and re-raised as
// NodeException(node_key, text), with the original kept as its context.  The
// error line is written while the failure is being handled, so the host
// logger sees it (sys.exception()) and its own failure chains to it.  The
// handler only reads what cannot fail on the caller's objects: the
// passphrases were collected once (the rest of flow_vars is looked into
// here, what the options lines looked into is not walked again), and texts
// that cannot be formed are shown by their type's name.
Owned execute_body(const bridge::Args<kExecuteParams>& args) {
    Borrowed self = args.self();
    Borrowed flow_vars = args.get<"flow_vars">();
    Secrets secrets;
    SecretsScope scope(secrets);
    return bridge::try_except(
        [&] { return execute_steps(self, args.get<"predecessor_data">(), flow_vars, secrets); }, PyExc_Exception,
        [&](Borrowed error) -> Owned {
            if (bridge::error_matches(error, global(N::NodeException))) bridge::restore_error(Owned::ref(error.get()));
            secrets.scan(flow_vars);
            Owned text = secrets.masked(error_text(error));
            NodeKey node_key = node_key_of(self);
            log(concat({"Error in ", node_key.text, ": ", text}), "error");
            bridge::raise_in_context(bridge::call(global(N::NodeException), node_key.key, text),
                                     Owned::ref(error.get()));
        });
}

// The message is the one callers have always been given, word for word;
// the design note it names is not part of this repository.
Owned get_hpc_profile_body(const bridge::Args<kProfileParams>& args) {
    raise_node_exception("configuration",
                         concat({"HPC profile '", args.get<"profile_name">(),
                                 "' not found. HPC profile retrieval is not yet implemented. See "
                                 "dev-notes/slurm-execution-strategy-redesign.md for planned implementation."}));
}

}  // namespace

namespace methods {

const bridge::FunctionSpec execute = bridge::function<kExecuteParams, execute_body>({
    .name = "execute",
    .doc = "Run the node locally or on the HPC cluster and return the result as JSON text.\n\n"
           "The cluster options come from flow_vars['_hpc_options'] (injected by the worker), or\n"
           "from the node's own execution_mode / hpc_profile / slurm_script options. With\n"
           "execution_mode 'local' the node's run_local() runs; otherwise one pass of the remote\n"
           "job lifecycle runs (submit, report or collect). Failures raise NodeException.",
    .return_annotation = "str",
});

const bridge::FunctionSpec get_hpc_profile = bridge::function<kProfileParams, get_hpc_profile_body>({
    .name = "_get_hpc_profile",
    .doc = "Return the HPC profile configuration dict (host, username, key file, ...) for a\n"
           "profile name. Raises NodeException when the profile is not found or not configured.",
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
});

}  // namespace methods

}  // namespace clusterlane
