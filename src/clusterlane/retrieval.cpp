// Downloads of a finished job's output files by size category.
//
// The node sorts its output files into "essential", "standard" and "large";
// large files (trajectories of many gigabytes) are fetched only on request and
// otherwise reported with their remote location.  A file that cannot be
// fetched is logged and left out of the summary; the others still come down.
#include "deadline.hpp"
#include "methods.hpp"

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

constexpr const char* kLargeReason = "Large file - enable 'Download Large Files' option to include";

// ---- the module's `os` ------------------------------------------------------

Owned os_path() { return bridge::getattr(global(N::os), name(N::path)); }

Owned path_call(N function, std::initializer_list<Borrowed> args) {
    return bridge::call_method(os_path(), name(function), args);
}

bool path_test(N function, Borrowed path) { return bridge::truthy(path_call(function, {path})); }

// ---- paths of one entry ---------------------------------------------------

// The remote side always uses '/'; the text is joined as it is.
Owned remote_path_of(Borrowed remote_job_dir, Borrowed entry) {
    return concat({remote_job_dir, "/", bridge::str(entry)});
}

Owned local_path_of(Borrowed local_dir, Borrowed entry) { return path_call(N::join, {local_dir, entry}); }

// ---- what to download -----------------------------------------------------

Owned category_files(Borrowed files_by_category, const char* category) {
    return bridge::mapping_get(files_by_category, bridge::str_from(category), bridge::new_list(), name(N::get));
}

void extend(Borrowed list, Borrowed iterable) {
    Owned iterator = bridge::check(PyObject_GetIter(iterable));
    while (Owned item = Owned::steal(PyIter_Next(iterator))) bridge::list_append(list, item);
    if (PyErr_Occurred()) bridge::throw_error();
}

// Large files come down when the options dict asks for it or, failing that,
// when the node's own "download_large_files" option (a parameter object or a
// plain value) does.
Owned large_file_flag(Borrowed flow_vars, Borrowed hpc_options) {
    Owned key = bridge::str_from("download_large_files");
    Owned flag = bridge::boolean(false);
    if (hpc_options.get() != Py_None && bridge::truthy(hpc_options))
        flag = bridge::mapping_get(hpc_options, key, bridge::boolean(false), name(N::get));
    if (bridge::truthy(flag)) return flag;

    Owned legacy = bridge::mapping_get(flow_vars, key, bridge::none(), name(N::get));
    if (!bridge::truthy(legacy)) return flag;
    if (bridge::hasattr(legacy, name(N::get_value))) return bridge::call_method(legacy, name(N::get_value), {});
    return bridge::boolean(true);
}

Owned skipped_record(Borrowed remote_job_dir, Borrowed entry) {
    Owned record = bridge::new_dict();
    bridge::dict_set(record, "remote_path", remote_path_of(remote_job_dir, entry));
    bridge::dict_set(record, "category", bridge::str_from("large"));
    bridge::dict_set(record, "reason", bridge::str_from(kLargeReason));
    return record;
}

// ---- one download ---------------------------------------------------------

// Identity and content stamp of a local file, or null when nothing is there.
Owned file_stamp(Borrowed path) {
    try {
        Owned st = bridge::call_method(global(N::os), name(N::stat), {path});
        return bridge::tuple_of(bridge::getattr(st, name(N::st_ino)), bridge::getattr(st, name(N::st_size)),
                                bridge::getattr(st, name(N::st_mtime_ns)));
    } catch (const bridge::PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_OSError)) throw;
        PyErr_Clear();
        return Owned{};
    }
}

// sftp.get opens (creating or truncating) the local file before it opens the
// remote one, so a missing remote file leaves an empty file behind and a
// broken transfer a truncated one.  Neither is the output the node expects,
// so a file that the failed attempt created or rewrote is removed; a file the
// attempt never touched (it could not open it) is left alone.
void discard_partial_download(Borrowed local_path, Borrowed stamp_before) {
    try {
        if (!path_test(N::isfile, local_path)) return;
        Owned stamp_after = file_stamp(local_path);
        if (!stamp_after) return;
        if (stamp_before && bridge::check_status(PyObject_RichCompareBool(stamp_before, stamp_after, Py_EQ))) return;
        bridge::call_method(global(N::os), name(N::remove), {local_path});
    } catch (const bridge::PyError&) {
        // The download's own error is the one reported; a leftover that
        // cannot be removed is overwritten by the next attempt.
        PyErr_Clear();
    }
}

// Within a pass the transfer is one bounded wait that each received chunk
// starts afresh.
void fetch(Borrowed sftp, Borrowed remote_path, Borrowed local_path) {
    Owned stamp_before = file_stamp(local_path);
    try {
        Owned progress = io::progress_callback(sftp);
        const bridge::Kw callback[] = {{name(N::callback), progress}};
        Owned get = bridge::getattr(sftp, name(N::get));
        io::bounded(sftp, [&] { return bridge::call(get, {remote_path, local_path}, callback); });
    } catch (const bridge::PyError&) {
        Owned error = bridge::fetch_error();
        discard_partial_download(local_path, stamp_before);
        bridge::restore_error(std::move(error));
    }
}

Owned local_size(Borrowed local_path) {
    if (!path_test(N::exists, local_path)) return bridge::integer(0);
    return path_call(N::getsize, {local_path});
}

void make_parent_dir(Borrowed local_path) {
    Owned parent = path_call(N::dirname, {local_path});
    if (!bridge::truthy(parent)) return;
    bridge::call(bridge::getattr(global(N::os), name(N::makedirs)), {parent}, {{name(N::exist_ok), Py_True}});
}

enum class Fetched { Yes, Missing, Failed };

// Downloads one entry.  Failures of this entry are logged and absorbed; a
// timeout ends the whole pass (a silent server would cost one timeout per
// file otherwise), and anything outside the Exception family propagates.
Fetched download_entry(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, Borrowed local_path) {
    try {
        make_parent_dir(local_path);
        fetch(sftp, remote_path, local_path);
        Owned size = local_size(local_path);
        hpc_log(self, "debug", concat({"Downloaded: ", bridge::str(entry), " (", bridge::str(size), " bytes)"}),
                {{name(N::file_name), entry}, {name(N::file_size), size}});
        return Fetched::Yes;
    } catch (const bridge::PyError&) {
        if (PyErr_ExceptionMatches(PyExc_FileNotFoundError)) {
            PyErr_Clear();
            hpc_log(self, "warning", concat({"Remote file not found: ", bridge::str(entry)}),
                    {{name(N::file_name), entry}});
            return Fetched::Missing;
        }
        if (PyErr_ExceptionMatches(PyExc_TimeoutError) || !PyErr_ExceptionMatches(PyExc_Exception)) throw;
        Owned error_text = bridge::str(bridge::fetch_error());
        hpc_log(self, "warning", concat({"Could not retrieve ", bridge::str(entry), ": ", error_text}),
                {{name(N::file_name), entry}, {name(N::error), error_text}});
        return Fetched::Failed;
    }
}

// An essential file that exists on the cluster but did not come down fails
// the pass: the result would be built without it.  The job stays recorded,
// so the next call downloads again.
void require_essential(Borrowed failed, Borrowed remote_job_dir) {
    if (PyList_GET_SIZE(failed.get()) == 0) return;
    Owned names = bridge::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(failed.get()); ++i)
        bridge::list_append(names, bridge::str(PyList_GET_ITEM(failed.get(), i)));
    Owned joined = bridge::check(PyUnicode_Join(bridge::str_from(", ").get(), names.get()));
    raise_node_exception("download", concat({"Could not download essential output files: ", joined,
                                             ". They stay on the cluster in ", remote_job_dir,
                                             " and are fetched again on the next call."}));
}

// ---- the two methods ------------------------------------------------------

Owned retrieve_ssh_body(bridge::CallFrame& args) {
    Borrowed self = args[0], sftp = args[1], flow_vars = args[2], remote_job_dir = args[3], hpc_options = args[4];

    Owned local_dir = call_self(self, N::_get_local_working_dir, {flow_vars});
    Owned files_by_category = call_self(self, N::get_output_files_by_category, {flow_vars});

    Owned download_large = large_file_flag(flow_vars, hpc_options);
    hpc_log(self, "debug", concat({"download_large_files = ", bridge::str(download_large)}));

    Owned files_to_download = bridge::new_list();
    extend(files_to_download, category_files(files_by_category, "essential"));
    const Py_ssize_t essential_count = PyList_GET_SIZE(files_to_download.get());
    extend(files_to_download, category_files(files_by_category, "standard"));
    if (bridge::truthy(download_large)) extend(files_to_download, category_files(files_by_category, "large"));

    Owned skipped_files = bridge::new_list();
    Owned remote_files_info = bridge::new_dict();
    Owned large_files = category_files(files_by_category, "large");
    Owned large_iterator = bridge::check(PyObject_GetIter(large_files));
    while (Owned entry = Owned::steal(PyIter_Next(large_iterator))) {
        if (bridge::check_status(PySequence_Contains(files_to_download, entry))) continue;
        bridge::list_append(skipped_files, entry);
        bridge::dict_set(remote_files_info, entry, skipped_record(remote_job_dir, entry));
    }
    if (PyErr_Occurred()) bridge::throw_error();

    Owned total_files = bridge::integer(PyList_GET_SIZE(files_to_download.get()));
    Owned skipped_count = bridge::integer(PyList_GET_SIZE(skipped_files.get()));
    hpc_log(self, "info",
            concat({"Downloading ", bridge::str(total_files), " output files (skipping ", bridge::str(skipped_count),
                    " large files)"}),
            {{name(N::num_files), total_files}, {name(N::num_skipped), skipped_count}});

    if (PyList_GET_SIZE(skipped_files.get()) > 0) {
        Owned joined = bridge::check(PyUnicode_Join(bridge::str_from(", ").get(), skipped_files.get()));
        hpc_log(self, "info", concat({"Skipped large files: ", joined}), {{name(N::skipped_files), skipped_files}});
    }

    Owned downloaded_files = bridge::new_list();
    Owned failed_essential = bridge::new_list();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(files_to_download.get()); ++i) {
        Borrowed entry = PyList_GET_ITEM(files_to_download.get(), i);
        Owned remote_path = remote_path_of(remote_job_dir, entry);
        Owned local_path = local_path_of(local_dir, entry);
        const Fetched fetched = download_entry(self, sftp, entry, remote_path, local_path);
        if (fetched == Fetched::Yes) bridge::list_append(downloaded_files, entry);
        if (fetched == Fetched::Failed && i < essential_count &&
            !bridge::check_status(PySequence_Contains(failed_essential, entry)))
            bridge::list_append(failed_essential, entry);
    }
    require_essential(failed_essential, remote_job_dir);

    Owned summary = bridge::new_dict();
    bridge::dict_set(summary, "downloaded", downloaded_files);
    bridge::dict_set(summary, "skipped", skipped_files);
    bridge::dict_set(summary, "remote_files", remote_files_info);
    return summary;
}

Owned retrieve_plain_body(bridge::CallFrame& args) {
    Borrowed self = args[0], executor = args[1], flow_vars = args[2], config = args[3];

    Owned remote_job_dir = concat({bridge::str(bridge::getattr(config, name(N::remote_work_dir))), "/job_",
                                   bridge::str(bridge::getattr(self, name(N::node_id)))});
    Owned local_dir = call_self(self, N::_get_local_working_dir, {flow_vars});
    Owned output_patterns = call_self(self, N::get_output_files, {flow_vars});

    Owned iterator = bridge::check(PyObject_GetIter(output_patterns));
    while (Owned entry = Owned::steal(PyIter_Next(iterator))) {
        Owned remote_path = remote_path_of(remote_job_dir, entry);
        Owned local_path = local_path_of(local_dir, entry);
        try {
            bridge::call_method(executor, name(N::download_file), {remote_path, local_path});
            log(concat({"Retrieved: ", bridge::str(entry)}));
        } catch (const bridge::PyError&) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
            Owned error_text = bridge::str(bridge::fetch_error());
            log(concat({"Warning: Could not retrieve ", bridge::str(entry), ": ", error_text}), "warning");
        }
    }
    if (PyErr_Occurred()) bridge::throw_error();
    return bridge::none();
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
    .body = retrieve_ssh_body,
};

const bridge::FunctionSpec retrieve_output_files{
    .name = "_retrieve_output_files",
    .qualname = "ClusterlaneBase._retrieve_output_files",
    .doc = "Download every output file through a job executor's download_file().",
    .params = kPlainParams,
    .return_annotation = "None",
    .body = retrieve_plain_body,
};

}  // namespace methods

}  // namespace clusterlane
