// The node's JSON state file (its last submitted job) and the local working directory for downloads.
#include "state.hpp"

#include "methods.hpp"

#include "bridge/statements.hpp"
#include "new_file.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

constexpr Param kFlowVarsParams[] = {bridge::self_param(), bridge::dict_param("flow_vars")};
constexpr Param kSelfOnly[] = {bridge::self_param()};
constexpr Param kSaveParams[] = {bridge::self_param(), bridge::dict_param("result")};

Owned current_directory() { return bridge::call_method(global(N::os), name(N::getcwd)); }

// ---- local working directory ---------------------------------------------------

// The directory of the first input file when that file exists (the empty
// text for a bare file name), else the current directory.  Later input files
// are not considered.
Owned get_local_working_dir_body(const bridge::Args<kFlowVarsParams>& args) {
    Borrowed self = args.self();
    Owned input_files = call_self(self, N::get_input_files, args.get<"flow_vars">());
    if (bridge::truthy(input_files)) {
        Owned first = bridge::get_item(input_files, bridge::integer(0));
        if (bridge::truthy(first)) {
            Owned resolve_path = bridge::getattr_optional(self, name(N::resolve_path));
            Owned resolved = resolve_path ? bridge::call(resolve_path, first) : first;
            if (bridge::truthy(os_path(N::exists, resolved))) return os_path(N::dirname, resolved);
        }
    }
    return current_directory();
}

// ---- the state file ---------------------------------------------------------------

// <working_path>/.zentrel_hpc_<node_id>.json; without a working path the file
// goes to the current directory, with a warning on every such call.
Owned get_state_file_path_body(const bridge::Args<kSelfOnly>& args) {
    Borrowed self = args.self();
    Owned node_id_text = bridge::str(bridge::getattr(self, name(N::node_id)));
    Owned directory = bridge::getattr_optional(self, name(N::working_path));
    if (!directory || !bridge::truthy(directory)) {
        directory = current_directory();
        log(concat({"Warning: No working_path set for HPC node ", node_id_text, ", using cwd for state file: ",
                    bridge::str(directory)}),
            "warning");
    }
    Owned file_name = concat({kStateFilePrefix, node_id_text, kStateFileSuffix});
    return os_path(N::join, directory, file_name);
}

Owned open_file(Borrowed path, const char* mode) {
    return bridge::call(bridge::builtin(name(N::open)), path, bridge::str_from(mode));
}

// A missing file or one that is not valid JSON (an empty file included)
// means no job was recorded.  Other documents than an object or null are
// refused by the declared result type; other read errors propagate.
Owned load_previous_result_body(const bridge::Args<kSelfOnly>& args) {
    Owned path = call_self(args.self(), N::_get_state_file_path);
    Owned json = global(N::json);
    Owned not_recorded = bridge::tuple_of(PyExc_FileNotFoundError, bridge::getattr(json, name(N::JSONDecodeError)));
    return bridge::try_except(
        [&] {
            return bridge::with_block(open_file(path, "r"), name(N::__enter__), name(N::__exit__),
                                      [&](Borrowed file) { return bridge::call_method(json, name(N::load), file); });
        },
        not_recorded, [](Borrowed) { return bridge::none(); });
}

// A failed save is reported as a warning and never fails the submission.
Owned save_result_body(const bridge::Args<kSaveParams>& args) {
    Owned path = call_self(args.self(), N::_get_state_file_path);
    bridge::try_except([&] { write_json_file(path, args.get<"result">(), true); }, PyExc_Exception, [](Borrowed error) {
        log(concat({"Warning: Could not save state: ", error_text(error)}), "warning");
    });
    return bridge::none();
}

}  // namespace

// The document goes to a new temporary file beside `path` (random name,
// created exclusively, never through a link) that is renamed over `path`,
// so the file always holds either the former document or the complete new
// one.  The state file is flushed to disk before the rename: a partial write
// would load as "no job" and make the next call submit again.
void write_json_file(Borrowed path, Borrowed document, bool sync) {
    NewFile temp = create_new_file(path, "tmp", "w");
    Owned os = global(N::os);
    bridge::on_error(
        [&] {
            bridge::with_block(temp.file, name(N::__enter__), name(N::__exit__), [&](Borrowed file) {
                bridge::call(bridge::getattr(global(N::json), name(N::dump)), {document, file},
                             {{name(N::indent), bridge::integer(2)}});
                if (!sync) return;
                bridge::call_method(file, name(N::flush));
                bridge::call_method(os, name(N::fsync), bridge::call_method(file, name(N::fileno)));
            });
            bridge::call_method(os, name(N::replace), temp.path, path);
        },
        // the temporary file goes; a failure to remove it does not hide the error
        [&] { remove_quietly(temp.path); });
}

// A job that cannot be recorded would be submitted again by every later
// pass, so the submission starts only once a file can be created next to
// the state file: the probe is created exclusively and removed at once.
void check_record_writable(Borrowed state_path) {
    Owned probe;
    const int fd = open_new_file(state_path, "probe", probe);
    if (fd < 0) {
        const int error = errno;
        raise_node_exception("state", bridge::concat({"Cannot record the job in ", bridge::str(state_path), ": ",
                                                      std::strerror(error), "; nothing submitted"}));
    }
    ::close(fd);
    ::unlink(bridge::FsPath(probe).c_str());
}

namespace methods {

const bridge::FunctionSpec get_local_working_dir = bridge::function<kFlowVarsParams, get_local_working_dir_body>({
    .name = "_get_local_working_dir",
    .doc = "Return the local directory that receives the output files.",
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
});

const bridge::FunctionSpec get_state_file_path = bridge::function<kSelfOnly, get_state_file_path_body>({
    .name = "_get_state_file_path",
    .doc = "Return the path of the node's state file.",
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
});

const bridge::FunctionSpec load_previous_result = bridge::function<kSelfOnly, load_previous_result_body>({
    .name = "_load_previous_result",
    .doc = "Return the last saved run result, or None.",
    .return_annotation = "Optional[dict]",
    .result = bridge::ResultType::Dict,
});

const bridge::FunctionSpec save_result = bridge::function<kSaveParams, save_result_body>({
    .name = "_save_result",
    .doc = "Persist a run result in the node's state file.",
    .return_annotation = "None",
});

}  // namespace methods

}  // namespace clusterlane
