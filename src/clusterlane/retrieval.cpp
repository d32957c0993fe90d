// Downloads of a finished job's output files by size category.
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::Param;

Owned not_built(bridge::CallFrame& args) {
    PyErr_Format(PyExc_NotImplementedError, "%U is not available yet", bridge::getattr(args.function(), bridge::intern("__qualname__")).get());
    bridge::throw_error();
}


constexpr Param kSshParams[] = {bridge::self_param(), bridge::any_param("sftp"), bridge::dict_param("flow_vars"),
                                bridge::str_param("remote_job_dir"),
                                {"hpc_options", bridge::ArgType::Dict, true, bridge::DefaultValue::none(), "Optional[dict]"}};
constexpr Param kPlainParams[] = {bridge::self_param(), bridge::any_param("executor", "Any"), bridge::dict_param("flow_vars"),
                                  bridge::any_param("config", "Any")};

}  // namespace

namespace methods {

const bridge::FunctionSpec retrieve_output_files_ssh{
    .name = "_retrieve_output_files_ssh",
    .qualname = "ClusterlaneBase._retrieve_output_files_ssh",
    .doc = "Download the output files over SFTP by category and return the download summary.",
    .params = kSshParams,
    .return_annotation = "Dict[str, Any]",
    .body = not_built,
};

const bridge::FunctionSpec retrieve_output_files{
    .name = "_retrieve_output_files",
    .qualname = "ClusterlaneBase._retrieve_output_files",
    .doc = "Download every output file through a job executor's download_file().",
    .params = kPlainParams,
    .return_annotation = "None",
    .body = not_built,
};

}  // namespace methods

}  // namespace clusterlane
