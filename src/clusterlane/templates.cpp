// Template variables for the SLURM script and the filling of {{NAME}} placeholders.
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned not_built(bridge::CallFrame& args) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", bridge::getattr(args.function(), bridge::intern("__qualname__")).get());
    bridge::throw_error();
}


constexpr Param kSshParams[] = {bridge::self_param(), bridge::dict_param("flow_vars"), bridge::str_param("remote_job_dir")};
constexpr Param kConfigParams[] = {bridge::self_param(), bridge::dict_param("flow_vars"), bridge::any_param("config", "Any")};
constexpr Param kProcessParams[] = {bridge::self_param(), bridge::str_param("template"), bridge::dict_param("variables", "Dict[str, str]")};

}  // namespace

namespace methods {

const bridge::FunctionSpec get_all_template_variables_ssh{
    .name = "_get_all_template_variables_ssh",
    .qualname = "ClusterlaneBase._get_all_template_variables_ssh",
    .doc = "Return the standard template variables for remote_job_dir merged with the node's own.",
    .params = kSshParams,
    .return_annotation = "Dict[str, str]",
    .body = not_built,
};

const bridge::FunctionSpec get_all_template_variables{
    .name = "_get_all_template_variables",
    .qualname = "ClusterlaneBase._get_all_template_variables",
    .doc = "Return the template variables for a job configuration object (its remote_work_dir).",
    .params = kConfigParams,
    .return_annotation = "Dict[str, str]",
    .body = not_built,
};

const bridge::FunctionSpec process_template{
    .name = "_process_template",
    .qualname = "ClusterlaneBase._process_template",
    .doc = "Replace the {{NAME}} placeholders of template by the variables' values.",
    .params = kProcessParams,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = not_built,
};

}  // namespace methods

}  // namespace clusterlane
