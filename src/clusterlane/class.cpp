// The class ClusterlaneBase: its option schema HPC_OPTIONS and its methods,
// bound in class-body order, created by the metaclass of (Node, ABC).
#include "class.hpp"

#include "bridge/classdef.hpp"
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Kw;

constexpr const char* kClassName = "ClusterlaneBase";

constexpr const char* kClassDoc =
    "Base class for workflow nodes that run locally or as a SLURM batch job on an HPC cluster.\n"
    "\n"
    "Provides:\n"
    "- SSH/SFTP connection management\n"
    "- job submission and monitoring\n"
    "- file transfer (input upload, output download by size category)\n"
    "- template variable processing for the user's SLURM script ({{VAR_NAME}})\n"
    "- switching between local and remote execution (execution_mode)\n"
    "- state persistence for job tracking across calls\n"
    "\n"
    "Subclasses implement:\n"
    "- get_input_files(flow_vars): local files to upload\n"
    "- get_output_files(flow_vars): files to fetch back\n"
    "- get_template_variables(flow_vars): node-specific script variables\n"
    "- run_local(predecessor_data, flow_vars): the local run\n"
    "\n"
    "No EXECUTION_STRATEGY is defined here: the host's auto-detection\n"
    "(Node._auto_detect_execution_strategy(), which selects PIXI_SUBPROCESS when a pixi.toml\n"
    "exists in the node package) stays in charge, so a node can be run locally for testing\n"
    "before it is submitted to the cluster; remote execution is handled inside execute()\n"
    "according to execution_mode.\n"
    "\n"
    "The worker injects a logging callback through set_log_callback() to route the cluster\n"
    "events of this class to the host's LoggingService.";

Owned parameter(const char* class_name, std::initializer_list<Kw> keywords) {
    Owned cls = bridge::getattr(runtime().module, bridge::intern(class_name));
    return bridge::call(cls, {}, keywords);
}

Owned build_hpc_options() {
    Owned label = bridge::intern("label"), options = bridge::intern("options"), dflt = bridge::intern("default"),
          docstring = bridge::intern("docstring"), optional = bridge::intern("optional");
    Owned yes = bridge::boolean(true), no = bridge::boolean(false), empty = bridge::str_from("");
    Owned modes = bridge::new_list();
    bridge::list_append(modes, bridge::str_from("local"));
    bridge::list_append(modes, bridge::str_from("remote"));
    auto s = [](const char* text) { return bridge::str_from(text); };

    Owned result = bridge::new_dict();
    bridge::dict_set(result, "execution_mode",
                     parameter("SelectParameter", {{label, s("Execution Mode")},
                                                   {options, modes},
                                                   {dflt, s("local")},
                                                   {docstring, s("Run locally or submit to HPC cluster")}}));
    bridge::dict_set(result, "hpc_profile",
                     parameter("StringParameter",
                               {{label, s("HPC Profile")},
                                {dflt, empty},
                                {docstring, s("Name of HPC profile (required for remote execution). Configure "
                                              "profiles in Settings \u2192 HPC Profiles.")},
                                {optional, yes}}));
    bridge::dict_set(result, "slurm_script",
                     parameter("TextParameter",
                               {{label, s("SLURM Job Script")},
                                {dflt, empty},
                                {docstring, s("SLURM batch script with template variables ({{VAR_NAME}}). Use "
                                              "your cluster's tested script format.")},
                                {optional, yes}}));
    bridge::dict_set(result, "force_resubmit",
                     parameter("BooleanParameter",
                               {{label, s("Force Resubmit")},
                                {dflt, no},
                                {docstring, s("Force job resubmission even if a previous job exists")},
                                {optional, yes}}));
    bridge::dict_set(result, "download_large_files",
                     parameter("BooleanParameter",
                               {{label, s("Download Large Files")},
                                {dflt, no},
                                {docstring, s("Download large files (trajectories, etc.) which can be 1-100+ GB. "
                                              "When disabled, only essential and standard files are downloaded.")},
                                {optional, yes}}));
    return result;
}

bridge::ClassEntry method(const bridge::FunctionSpec& spec) {
    Borrowed module = runtime().module;
    return {spec.name, bridge::make_function(runtime().function_type, spec, module, {}, kClassName)};
}

}  // namespace

Owned build_clusterlane_base() {
    Borrowed module = runtime().module;
    Owned bases = bridge::tuple_of(global(N::Node), bridge::getattr(module, bridge::intern("ABC")));
    Owned module_name = bridge::module_name(module);
    std::vector<bridge::ClassEntry> body;
    body.push_back({"_log_callback", bridge::none()});
    body.push_back({"HPC_OPTIONS", build_hpc_options()});
    for (const bridge::FunctionSpec* spec : {
             &methods::set_log_callback, &methods::hpc_log, &methods::get_input_files,
             &methods::get_output_files, &methods::get_output_files_by_category,
             &methods::get_template_variables, &methods::run_local, &methods::build_hpc_result_data,
             &methods::execute, &methods::run_remote, &methods::get_hpc_profile,
             &methods::get_all_template_variables, &methods::retrieve_output_files,
             &methods::get_local_working_dir, &methods::get_state_file_path, &methods::load_previous_result,
             &methods::save_result, &methods::get_slurm_job_status, &methods::expand_remote_path,
             &methods::ensure_remote_dir, &methods::get_all_template_variables_ssh, &methods::process_template,
             &methods::retrieve_output_files_ssh})
        body.push_back(method(*spec));
    return bridge::build_class({.name = kClassName,
                                .qualname = kClassName,
                                .doc = kClassDoc,
                                .module_name = module_name,
                                .bases = bases,
                                .body = std::move(body)});
}

}  // namespace clusterlane
