// The node's JSON state file (its last submitted job) and the local working directory for downloads.
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned not_built(bridge::CallFrame& args) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", bridge::getattr(args.function(), bridge::intern("__qualname__")).get());
    bridge::throw_error();
}


constexpr Param kFlowVarsParams[] = {bridge::self_param(), bridge::dict_param("flow_vars")};
constexpr Param kSelfOnly[] = {bridge::self_param()};
constexpr Param kSaveParams[] = {bridge::self_param(), bridge::dict_param("result")};

}  // namespace

namespace methods {

const bridge::FunctionSpec get_local_working_dir{
    .name = "_get_local_working_dir",
    .qualname = "ClusterlaneBase._get_local_working_dir",
    .doc = "Return the local directory that receives the output files.",
    .params = kFlowVarsParams,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = not_built,
};

const bridge::FunctionSpec get_state_file_path{
    .name = "_get_state_file_path",
    .qualname = "ClusterlaneBase._get_state_file_path",
    .doc = "Return the path of the node's state file.",
    .params = kSelfOnly,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = not_built,
};

const bridge::FunctionSpec load_previous_result{
    .name = "_load_previous_result",
    .qualname = "ClusterlaneBase._load_previous_result",
    .doc = "Return the last saved run result, or None.",
    .params = kSelfOnly,
    .return_annotation = "Optional[dict]",
    .result = bridge::ResultType::Dict,
    .body = not_built,
};

const bridge::FunctionSpec save_result{
    .name = "_save_result",
    .qualname = "ClusterlaneBase._save_result",
    .doc = "Persist a run result in the node's state file.",
    .params = kSaveParams,
    .return_annotation = "None",
    .body = not_built,
};

}  // namespace methods

}  // namespace clusterlane
