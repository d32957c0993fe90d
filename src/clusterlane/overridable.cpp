// The methods a node author overrides: the four abstract ones (their bodies
// only document the contract and return None) and the two with defaults.
#include "methods.hpp"

#include "bridge/statements.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

constexpr Param kFlowVarsParams[] = {bridge::self_param(), bridge::dict_param("flow_vars")};
constexpr Param kRunLocalParams[] = {bridge::self_param(), bridge::list_param("predecessor_data"),
                                     bridge::dict_param("flow_vars")};
constexpr Param kResultDataParams[] = {bridge::self_param(), bridge::dict_param("flow_vars"),
                                       bridge::str_param("local_dir")};

template <const auto& Params>
Owned abstract_body(const bridge::Args<Params>&) {
    return bridge::none();
}

// Without an override every output file counts as essential.
Owned get_output_files_by_category_body(const bridge::Args<kFlowVarsParams>& args) {
    Owned files = call_self(args.self(), N::get_output_files, args.get<"flow_vars">());
    return bridge::dict_of({{"essential", files}});
}

Owned build_hpc_result_data_body(const bridge::Args<kResultDataParams>&) { return bridge::new_dict(); }

}  // namespace

namespace methods {

const bridge::FunctionSpec get_input_files = bridge::function<kFlowVarsParams, abstract_body<kFlowVarsParams>>({
    .name = "get_input_files",
    .doc = "Return the absolute paths of the local files to upload to the cluster job directory.",
    .return_annotation = "List[str]",
    .abstract = true,
});

const bridge::FunctionSpec get_output_files = bridge::function<kFlowVarsParams, abstract_body<kFlowVarsParams>>({
    .name = "get_output_files",
    .doc = "Return the names of the files to fetch back from the job directory\n"
           "(for example 'md.tpr', 'md.gro', '*.xtc').\n\n"
           "Each entry is used literally as a path relative to the job directory; no wildcard\n"
           "is expanded.",
    .return_annotation = "List[str]",
    .abstract = true,
});

const bridge::FunctionSpec get_output_files_by_category = bridge::function<kFlowVarsParams, get_output_files_by_category_body>({
    .name = "get_output_files_by_category",
    .doc = "Return the output files by size category.\n\n"
           "Categories: 'essential' (always downloaded: logs, final structure; typically under\n"
           "10 MB), 'standard' (downloaded by default: energy files, run input; typically under\n"
           "100 MB) and 'large' (downloaded only when requested: trajectories; can be gigabytes).\n"
           "By default every file of get_output_files() is essential.",
    .return_annotation = "Dict[str, List[str]]",
});

const bridge::FunctionSpec get_template_variables = bridge::function<kFlowVarsParams, abstract_body<kFlowVarsParams>>({
    .name = "get_template_variables",
    .doc = "Return the node-specific variables for the SLURM script template.\n\n"
           "The standard variables (JOB_NAME, REMOTE_WORK_DIR, NODE_ID, OUTPUT_DIR, WORKING_DIR,\n"
           "INPUT_FILE_<n>) come from the base class; add node-specific ones here, for example\n"
           "INPUT_FILE, RUN_LABEL or OUTPUT_FILE.",
    .return_annotation = "Dict[str, str]",
    .abstract = true,
});

const bridge::FunctionSpec run_local = bridge::function<kRunLocalParams, abstract_body<kRunLocalParams>>({
    .name = "run_local",
    .doc = "Run the node on the local machine and return its result dict\n"
           "('success', 'message' and node-specific data).",
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
    .abstract = true,
});

const bridge::FunctionSpec build_hpc_result_data = bridge::function<kResultDataParams, build_hpc_result_data_body>({
    .name = "build_hpc_result_data",
    .doc = "Build the result data of a finished cluster job from the files downloaded into\n"
           "local_dir, so that a remote run returns the same data structure as a local run.",
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
});

}  // namespace methods

}  // namespace clusterlane
