// Downloads of a finished job's output files by size category.
//
// The node sorts its output files into "essential", "standard" and "large";
// large files (trajectories of many gigabytes) are fetched only on request and
// otherwise reported with their remote location.  A file that cannot be
// fetched is logged and its local path left untouched; the others still come
// down.  Once all have been tried, any essential file that exists on the
// cluster but did not come down fails the pass (NodeException "download",
// naming each such file with why; the job stays recorded, so the next call
// fetches them again).  A standard or large file that did not come down is
// reported in the summary's "remote_files" with why, so a completed result
// never rests silently on an older local copy.
#include "bridge/statements.hpp"
#include "methods.hpp"
#include "new_file.hpp"
#include "options.hpp"
#include "pass_worker.hpp"

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

constexpr const char* kLargeReason = "Large file - enable 'Download Large Files' option to include";

// ---- paths of one entry ---------------------------------------------------

// The remote side always uses '/'; the text is joined as it is.
Owned remote_path_of(Borrowed remote_job_dir, Borrowed entry) {
    return concat({remote_job_dir, "/", bridge::str(entry)});
}

Owned local_path_of(Borrowed local_dir, Borrowed entry) { return os_path(N::join, local_dir, entry); }

// ---- what to download -----------------------------------------------------

Owned category_files(Borrowed files_by_category, const char* category) {
    return option(files_by_category, category, bridge::new_list());
}

void extend(Borrowed list, Borrowed iterable) {
    bridge::for_each(iterable, [&](Borrowed item) { bridge::list_append(list, item); });
}

// Large files come down when the options dict asks for it or, failing that,
// when the node's own "download_large_files" option (a parameter object or a
// plain value) does.
Owned large_file_flag(Borrowed flow_vars, Borrowed hpc_options) {
    return option_flag(flow_vars, hpc_options, "download_large_files", Flag::own_value);
}

Owned remote_record(Borrowed remote_job_dir, Borrowed entry, const char* category, Borrowed reason) {
    return bridge::dict_of({{"remote_path", remote_path_of(remote_job_dir, entry)},
                            {"category", bridge::str_from(category)},
                            {"reason", reason}});
}

Owned skipped_record(Borrowed remote_job_dir, Borrowed entry) {
    return remote_record(remote_job_dir, entry, "large", bridge::str_from(kLargeReason));
}

// ---- one download ---------------------------------------------------------

// Within a pass the transfer is one bounded wait that each received chunk
// starts afresh; a large file's progress is logged under `entry`.  getfo
// writes into the file object we opened: the local path is never opened by
// name.
void transfer(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, Borrowed local_file) {
    Owned progress = io::progress_callback(sftp, {self, "Downloading", entry});
    const bridge::Kw callback[] = {{name(N::callback), progress}};
    Owned getfo = bridge::getattr(sftp, name(N::getfo));
    io::bounded(sftp, [&] { return bridge::call(getfo, {remote_path, local_file}, callback); });
}

// (size, mtime) of the remote file; a missing one raises FileNotFoundError.
Owned remote_stamp(Borrowed sftp, Borrowed remote_path) {
    Owned attributes = io::bounded(sftp, [&] { return bridge::call_method(sftp, name(N::stat), remote_path); });
    return bridge::tuple_of(bridge::getattr(attributes, name(N::st_size)),
                            bridge::getattr(attributes, bound().st_mtime_name));
}

enum class Fetch { Complete, Changed };

// Downloads into a new temporary file beside the target and renames it over
// the target only when the remote file's size and mtime did not change
// during the transfer and the local size is that size.  Otherwise, and on
// any failure, the target stays exactly as it was and the temporary file
// goes.  A link at the target is replaced, never written through.
Fetch fetch(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, Borrowed local_path) {
    Owned before = remote_stamp(sftp, remote_path);
    Owned directory = os_path(N::dirname, local_path);
    Owned prefix = os_path(N::join, directory, bridge::concat({".", bridge::str(os_path(N::basename, local_path))}));
    NewFile temp = create_new_file(prefix, "part", "wb");
    return bridge::on_error(
        [&] {
            bridge::with_block(temp.file, name(N::__enter__), name(N::__exit__),
                               [&](Borrowed file) { transfer(self, sftp, entry, remote_path, file); });
            Owned after = remote_stamp(sftp, remote_path);
            Owned size = os_path(N::getsize, temp.path);
            if (!bridge::equal(before, after) || !bridge::equal(size, bridge::tuple_item(before, 0))) {
                remove_quietly(temp.path);
                return Fetch::Changed;
            }
            bridge::call_method(global(N::os), name(N::replace), temp.path, local_path);
            return Fetch::Complete;
        },
        [&] { remove_quietly(temp.path); });
}

Owned local_size(Borrowed local_path) {
    if (!bridge::truthy(os_path(N::exists, local_path))) return bridge::integer(0);
    return os_path(N::getsize, local_path);
}

void make_parent_dir(Borrowed local_path) {
    Owned parent = os_path(N::dirname, local_path);
    if (!bridge::truthy(parent)) return;
    bridge::call(bridge::getattr(global(N::os), name(N::makedirs)), {parent}, {{name(N::exist_ok), bridge::boolean(true)}});
}

enum class Fetched { Yes, Missing, Failed };

// How one download ended; for a failed one, why (the text of its warning).
struct Outcome {
    Fetched fetched;
    Owned reason;
};

// Downloads one entry.  Failures of this entry are logged and absorbed; a
// timeout ends the whole pass (a silent server would cost one timeout per
// file otherwise), and anything outside the Exception family propagates.
Outcome download_entry(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, Borrowed local_path) {
    auto attempt = [&] {
        make_parent_dir(local_path);
        if (fetch(self, sftp, entry, remote_path, local_path) == Fetch::Changed) {
            hpc_log(self, "warning", concat({"Remote file changed while downloading: ", bridge::str(entry)}),
                    {{name(N::file_name), entry}});
            return Outcome{Fetched::Failed, bridge::str_from("changed while downloading")};
        }
        Owned size = local_size(local_path);
        hpc_log(self, "debug", concat({"Downloaded: ", bridge::str(entry), " (", bridge::str(size), " bytes)"}),
                {{name(N::file_name), entry}, {name(N::file_size), size}});
        return Outcome{Fetched::Yes, {}};
    };
    return bridge::try_except(attempt, PyExc_Exception, [&](Borrowed error) {
        if (bridge::error_matches(error, PyExc_FileNotFoundError)) {
            hpc_log(self, "warning", concat({"Remote file not found: ", bridge::str(entry)}),
                    {{name(N::file_name), entry}});
            return Outcome{Fetched::Missing, {}};
        }
        if (bridge::error_matches(error, PyExc_TimeoutError)) bridge::restore_error(Owned::ref(error.get()));
        Owned text = error_text(error);
        hpc_log(self, "warning", concat({"Could not retrieve ", bridge::str(entry), ": ", text}),
                {{name(N::file_name), entry}, {name(N::error), text}});
        return Outcome{Fetched::Failed, std::move(text)};
    });
}

// An essential file that exists on the cluster but did not come down fails
// the pass: the result would be built without it.  `failed` holds
// "<entry> (<reason>)" for each such file.  The job stays recorded, so the
// next call downloads again.
void require_essential(Borrowed failed, Borrowed remote_job_dir) {
    if (bridge::list_size(failed) == 0) return;
    Owned joined = bridge::join(", ", failed);
    raise_node_exception("download", concat({"Could not download essential output files: ", joined,
                                             ". They stay on the cluster in ", remote_job_dir,
                                             " and are fetched again on the next call."}));
}

// ---- the two methods ------------------------------------------------------

constexpr Param kSshParams[] = {bridge::self_param(), bridge::any_param("sftp"), bridge::dict_param("flow_vars"),
                                bridge::str_param("remote_job_dir"),
                                {"hpc_options", bridge::ArgType::Dict, true, bridge::DefaultValue::none(), "Optional[dict]"}};
constexpr Param kPlainParams[] = {bridge::self_param(), bridge::any_param("executor", "Any"), bridge::dict_param("flow_vars"),
                                  bridge::any_param("config", "Any")};


Owned retrieve_ssh_body(const bridge::Args<kSshParams>& args) {
    Borrowed self = args.self(), sftp = args.get<"sftp">(), flow_vars = args.get<"flow_vars">(),
             remote_job_dir = args.get<"remote_job_dir">(), hpc_options = args.get<"hpc_options">();

    Owned local_dir = call_self(self, N::_get_local_working_dir, flow_vars);
    Owned files_by_category = call_self(self, N::get_output_files_by_category, flow_vars);

    Owned download_large = large_file_flag(flow_vars, hpc_options);
    hpc_log(self, "debug", concat({"download_large_files = ", bridge::str(download_large)}));

    Owned files_to_download = bridge::new_list();
    extend(files_to_download, category_files(files_by_category, "essential"));
    const Py_ssize_t essential_count = bridge::list_size(files_to_download);
    extend(files_to_download, category_files(files_by_category, "standard"));
    const Py_ssize_t standard_end = bridge::length(files_to_download);
    if (bridge::truthy(download_large)) extend(files_to_download, category_files(files_by_category, "large"));

    Owned skipped_files = bridge::new_list();
    Owned remote_files_info = bridge::new_dict();
    Owned large_files = category_files(files_by_category, "large");
    bridge::for_each(large_files, [&](Borrowed entry) {
        if (bridge::contains(files_to_download, entry)) return;
        bridge::list_append(skipped_files, entry);
        bridge::dict_set(remote_files_info, entry, skipped_record(remote_job_dir, entry));
    });

    Owned total_files = bridge::integer(bridge::list_size(files_to_download));
    Owned skipped_count = bridge::integer(bridge::list_size(skipped_files));
    hpc_log(self, "info",
            concat({"Downloading ", bridge::str(total_files), " output files (skipping ", bridge::str(skipped_count),
                    " large files)"}),
            {{name(N::num_files), total_files}, {name(N::num_skipped), skipped_count}});

    if (bridge::list_size(skipped_files) > 0) {
        Owned joined = bridge::join(", ", skipped_files);
        hpc_log(self, "info", concat({"Skipped large files: ", joined}), {{name(N::skipped_files), skipped_files}});
    }

    // An entry may be listed more than once (in two categories, say) and is
    // then fetched once per listing.  An essential listing that failed fails
    // the download, even when another listing of the entry came down; each
    // such entry is named once, with the reason of its first failure.  Any
    // other failed entry is reported only when none of its downloads of this
    // pass succeeded (the local file is then not this job's), once, with the
    // category and reason of its first failure.
    Owned downloaded_files = bridge::new_list();
    Owned failed_essential = bridge::new_list();
    Owned essential_reasons = bridge::new_list();  // "<entry> (<reason>)"
    Owned failed_others = bridge::new_dict();      // entry -> its record, in order of failure
    Py_ssize_t position = 0;
    bridge::for_each(files_to_download, [&](Borrowed entry) {
        const Py_ssize_t at = position++;
        Owned remote_path = remote_path_of(remote_job_dir, entry);
        Owned local_path = local_path_of(local_dir, entry);
        Outcome outcome = download_entry(self, sftp, entry, remote_path, local_path);
        if (outcome.fetched == Fetched::Yes) bridge::list_append(downloaded_files, entry);
        if (outcome.fetched != Fetched::Failed) return;
        if (at < essential_count) {
            if (bridge::contains(failed_essential, entry)) return;
            bridge::list_append(failed_essential, entry);
            bridge::list_append(essential_reasons, concat({bridge::str(entry), " (", outcome.reason, ")"}));
        } else if (!bridge::dict_get(failed_others, entry)) {
            const char* category = at < standard_end ? "standard" : "large";
            bridge::dict_set(failed_others, entry,
                             remote_record(remote_job_dir, entry, category,
                                           concat({"Download failed: ", outcome.reason})));
        }
    });
    require_essential(essential_reasons, remote_job_dir);
    // After the skipped large files (never downloaded, so never among these).
    bridge::for_each(failed_others, [&](Borrowed entry) {
        if (!bridge::contains(downloaded_files, entry))
            bridge::dict_set(remote_files_info, entry, bridge::dict_get(failed_others, entry));
    });

    return bridge::dict_of(
        {{"downloaded", downloaded_files}, {"skipped", skipped_files}, {"remote_files", remote_files_info}});
}

Owned retrieve_plain_body(const bridge::Args<kPlainParams>& args) {
    Borrowed self = args.self(), executor = args.get<"executor">(), flow_vars = args.get<"flow_vars">();

    Owned job_dir = remote_job_dir(bridge::getattr(args.get<"config">(), name(N::remote_work_dir)), self);
    Owned local_dir = call_self(self, N::_get_local_working_dir, flow_vars);
    Owned output_patterns = call_self(self, N::get_output_files, flow_vars);

    bridge::for_each(output_patterns, [&](Borrowed entry) {
        Owned remote_path = remote_path_of(job_dir, entry);
        Owned local_path = local_path_of(local_dir, entry);
        bridge::try_except(
            [&] {
                bridge::call_method(executor, name(N::download_file), remote_path, local_path);
                log(concat({"Retrieved: ", bridge::str(entry)}));
            },
            PyExc_Exception,
            [&](Borrowed error) {
                log(concat({"Warning: Could not retrieve ", bridge::str(entry), ": ", error_text(error)}), "warning");
            });
    });
    return bridge::none();
}


}  // namespace

namespace methods {

const bridge::FunctionSpec retrieve_output_files_ssh = bridge::function<kSshParams, retrieve_ssh_body>({
    .name = "_retrieve_output_files_ssh",
    .doc = "Download the output files over SFTP by category and return the download summary.",
    .return_annotation = "Dict[str, Any]",
});

const bridge::FunctionSpec retrieve_output_files = bridge::function<kPlainParams, retrieve_plain_body>({
    .name = "_retrieve_output_files",
    .doc = "Download every output file through a job executor's download_file().",
    .return_annotation = "None",
});

}  // namespace methods

}  // namespace clusterlane
