// _run_remote: one pass of a node's cluster job (submit, report, or collect).
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned not_built(bridge::CallFrame& args) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", bridge::getattr(args.function(), bridge::intern("__qualname__")).get());
    bridge::throw_error();
}


constexpr Param kRunRemoteParams[] = {bridge::self_param(), bridge::list_param("predecessor_data"),
                                      bridge::dict_param("flow_vars"), bridge::dict_param("hpc_options")};

}  // namespace

namespace methods {

const bridge::FunctionSpec run_remote{
    .name = "_run_remote",
    .qualname = "ClusterlaneBase._run_remote",
    .doc = "Run one pass of the node's SLURM job over SSH and return the run result dict.",
    .params = kRunRemoteParams,
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
    .body = not_built,
};

}  // namespace methods

}  // namespace clusterlane
