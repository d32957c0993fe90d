// Shell commands on the cluster over a connected SSH client: job state, path expansion, directory creation.
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned not_built(bridge::CallFrame& args) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", bridge::getattr(args.function(), bridge::intern("__qualname__")).get());
    bridge::throw_error();
}


constexpr Param kStatusParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("job_id")};
constexpr Param kExpandParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("path")};
constexpr Param kEnsureParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("remote_dir")};

}  // namespace

namespace methods {

const bridge::FunctionSpec get_slurm_job_status{
    .name = "_get_slurm_job_status",
    .qualname = "ClusterlaneBase._get_slurm_job_status",
    .doc = "Return the SLURM state of job_id in upper case (squeue, then sacct), or 'UNKNOWN'.",
    .params = kStatusParams,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = not_built,
};

const bridge::FunctionSpec expand_remote_path{
    .name = "_expand_remote_path",
    .qualname = "ClusterlaneBase._expand_remote_path",
    .doc = "Expand ~ and variables of path in the cluster's shell; path unchanged if that fails.",
    .params = kExpandParams,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = not_built,
};

const bridge::FunctionSpec ensure_remote_dir{
    .name = "_ensure_remote_dir",
    .qualname = "ClusterlaneBase._ensure_remote_dir",
    .doc = "Create remote_dir on the cluster (mkdir -p); NodeException 'remote_dir' on failure.",
    .params = kEnsureParams,
    .return_annotation = "None",
    .body = not_built,
};

}  // namespace methods

}  // namespace clusterlane
