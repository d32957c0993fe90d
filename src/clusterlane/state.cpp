// The node's JSON state file (its last submitted job) and the local working directory for downloads.
#include "methods.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

Owned os_path_function(N function) {
    return bridge::getattr(bridge::getattr(global(N::os), name(N::path)), name(function));
}

Owned current_directory() { return bridge::call_method(global(N::os), name(N::getcwd), {}); }

// ---- local working directory ---------------------------------------------------

// The directory of the first input file when that file exists (the empty
// text for a bare file name), else the current directory.  Later input files
// are not considered.
Owned get_local_working_dir_body(bridge::CallFrame& args) {
    Borrowed self = args[0];
    Owned input_files = call_self(self, N::get_input_files, {args[1]});
    if (bridge::truthy(input_files)) {
        Owned first = bridge::check(PyObject_GetItem(input_files, bridge::integer(0)));
        if (bridge::truthy(first)) {
            Owned resolve_path = bridge::getattr_optional(self, name(N::resolve_path));
            Owned resolved = resolve_path ? bridge::call(resolve_path, {first}) : first;
            if (bridge::truthy(bridge::call(os_path_function(N::exists), {resolved})))
                return bridge::call(os_path_function(N::dirname), {resolved});
        }
    }
    return current_directory();
}

// ---- the state file ---------------------------------------------------------------

// <working_path>/.zentrel_hpc_<node_id>.json; without a working path the file
// goes to the current directory, with a warning on every such call.
Owned get_state_file_path_body(bridge::CallFrame& args) {
    Borrowed self = args[0];
    Owned node_id_text = bridge::str(bridge::getattr(self, name(N::node_id)));
    Owned directory = bridge::getattr_optional(self, name(N::working_path));
    if (!directory || !bridge::truthy(directory)) {
        directory = current_directory();
        log(concat({"Warning: No working_path set for HPC node ", node_id_text, ", using cwd for state file: ",
                    bridge::str(directory)}),
            "warning");
    }
    Owned file_name = concat({".zentrel_hpc_", node_id_text, ".json"});
    return bridge::call(os_path_function(N::join), {directory, file_name});
}

Owned open_file(Borrowed path, const char* mode) {
    Owned open = Owned::ref(bridge::check_borrowed(PyDict_GetItemWithError(PyEval_GetBuiltins(), name(N::open))));
    return bridge::call(open, {path, bridge::str_from(mode)});
}

// Re-raises `error` after closing `file`; an error of the close itself is
// raised instead, with `error` as its context (as a with-statement does).
[[noreturn]] void close_after_error(Borrowed file, Owned error) {
    try {
        bridge::call_method(file, name(N::close), {});
    } catch (const bridge::PyError&) {
        Owned close_error = bridge::fetch_error();
        PyException_SetContext(close_error.get(), error.release());
        bridge::restore_error(std::move(close_error));
    }
    bridge::restore_error(std::move(error));
}

// Runs use(file) and closes the file on every way out.
template <class Use>
Owned with_file(Borrowed file, Use&& use) {
    Owned result;
    try {
        result = use();
    } catch (const bridge::PyError&) {
        close_after_error(file, bridge::fetch_error());
    }
    bridge::call_method(file, name(N::close), {});
    return result;
}

// A missing file or one that is not valid JSON (an empty file included)
// means no job was recorded.  Other documents than an object or null are
// refused by the declared result type; other read errors propagate.
Owned load_previous_result_body(bridge::CallFrame& args) {
    Owned path = call_self(args[0], N::_get_state_file_path, {});
    Owned json = global(N::json);
    try {
        Owned file = open_file(path, "r");
        return with_file(file, [&] { return bridge::call_method(json, name(N::load), {file}); });
    } catch (const bridge::PyError&) {
        Owned error = bridge::fetch_error();
        Owned decode_error = bridge::getattr(json, name(N::JSONDecodeError));
        if (!bridge::error_matches(error, PyExc_FileNotFoundError) && !bridge::error_matches(error, decode_error))
            bridge::restore_error(std::move(error));
        return bridge::none();
    }
}

// A sibling of the state file that only this thread of this process writes.
Owned temporary_path_for(Borrowed path, const char* suffix = "tmp") {
    Owned fs_path = bridge::check(PyOS_FSPath(path));
    if (PyBytes_Check(fs_path.get()))
        fs_path = bridge::check(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AS_STRING(fs_path.get()),
                                                                 PyBytes_GET_SIZE(fs_path.get())));
    return bridge::check(PyUnicode_FromFormat("%U.%ld.%lu.%s", fs_path.get(), static_cast<long>(getpid()),
                                              PyThread_get_thread_ident(), suffix));
}

void discard_temporary(Borrowed temp_path) {
    try {
        bridge::call_method(global(N::os), name(N::remove), {temp_path});
    } catch (const bridge::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
    }
}

// The document goes to a temporary file that is flushed to disk and then
// renamed over the state file, so the state file always holds either the
// former record or the complete new one, never a partial write that would
// load as "no job" and make the next call submit again.
void write_state_file(Borrowed path, Borrowed result) {
    Owned temp_path = temporary_path_for(path);
    Owned os = global(N::os);
    try {
        Owned file = open_file(temp_path, "w");
        with_file(file, [&] {
            Owned indent = bridge::integer(2);
            bridge::call(bridge::getattr(global(N::json), name(N::dump)), {result, file}, {{name(N::indent), indent}});
            bridge::call_method(file, name(N::flush), {});
            Owned fd = bridge::call_method(file, name(N::fileno), {});
            return bridge::call_method(os, name(N::fsync), {fd});
        });
        bridge::call_method(os, name(N::replace), {temp_path, path});
    } catch (const bridge::PyError&) {
        Owned error = bridge::fetch_error();
        discard_temporary(temp_path);
        bridge::restore_error(std::move(error));
    }
}

// A failed save is reported as a warning and never fails the submission.
Owned save_result_body(bridge::CallFrame& args) {
    Owned path = call_self(args[0], N::_get_state_file_path, {});
    try {
        write_state_file(path, args[1]);
    } catch (const bridge::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Owned error = bridge::fetch_error();
        log(concat({"Warning: Could not save state: ", bridge::str(error)}), "warning");
    }
    return bridge::none();
}

}  // namespace

// A job that cannot be recorded would be submitted again by every later
// pass, so the submission starts only once a file can be created next to
// the state file: the probe is created exclusively and removed at once.
void check_record_writable(Borrowed state_path) {
    Owned probe = temporary_path_for(state_path, "probe");
    Owned encoded = bridge::check(PyUnicode_EncodeFSDefault(probe.get()));
    const char* probe_path = PyBytes_AS_STRING(encoded.get());
    const int fd = ::open(probe_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int error = errno;
        raise_node_exception("state", bridge::concat({"Cannot record the job in ", bridge::str(state_path), ": ",
                                                      std::strerror(error), "; nothing submitted"}));
    }
    ::close(fd);
    ::unlink(probe_path);
}

namespace {

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
    .body = get_local_working_dir_body,
};

const bridge::FunctionSpec get_state_file_path{
    .name = "_get_state_file_path",
    .qualname = "ClusterlaneBase._get_state_file_path",
    .doc = "Return the path of the node's state file.",
    .params = kSelfOnly,
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
    .body = get_state_file_path_body,
};

const bridge::FunctionSpec load_previous_result{
    .name = "_load_previous_result",
    .qualname = "ClusterlaneBase._load_previous_result",
    .doc = "Return the last saved run result, or None.",
    .params = kSelfOnly,
    .return_annotation = "Optional[dict]",
    .result = bridge::ResultType::Dict,
    .body = load_previous_result_body,
};

const bridge::FunctionSpec save_result{
    .name = "_save_result",
    .qualname = "ClusterlaneBase._save_result",
    .doc = "Persist a run result in the node's state file.",
    .params = kSaveParams,
    .return_annotation = "None",
    .body = save_result_body,
};

}  // namespace methods

}  // namespace clusterlane
