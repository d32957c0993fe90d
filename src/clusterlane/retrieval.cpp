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
// never rests silently on an older local copy.  A download that breaks off
// is resumed by a later pass from its partial file (partial_files.hpp); an
// output that came down before and has not changed since on either side is
// not fetched again (download_record.hpp).
#include "bridge/statements.hpp"
#include "download_record.hpp"
#include "methods.hpp"
#include "new_file.hpp"
#include "options.hpp"
#include "partial_files.hpp"
#include "pass_worker.hpp"
#include "remote_command.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <vector>

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

// The remote file is read in chunks of paramiko's request size: a read of
// one prefetched answer is handed over as it came, a larger read is pieced
// together by repeated bytes concatenation (a 1 MiB read copies 16 MiB).
constexpr long long kReadChunk = 32 * 1024;

// paramiko's prefetch (and so its get and getfo) sends its read requests
// from a thread while the reader takes the answers; once the answers have
// caught up with the requests sent so far, the file counts its prefetch as
// done, reads the rest one request at a time and keeps the thread's later
// answers unread (paramiko PR #2519).  Under load a resumed 1 GiB download
// so read the whole file on the cluster and held the unread half in memory.
// A file is therefore read in windows of kWindow bytes, each prefetched on
// one of kHandles handles of the file kHandles - 1 windows before it is
// read: a window's 128 requests are all sent long before its answers are
// taken, and one caught out all the same is read twice at most, its unread
// answers held until the download ends.  No request waits for an answer
// between windows, so the transfer never pauses for a round trip.
constexpr long long kWindow = 4 * 1024 * 1024;
constexpr long long kHandles = 4;

// Opens `count` handles of the remote file, each closed again on the way
// out, and runs body over them.
template <typename Body>
void with_remote_files(Borrowed sftp, Borrowed remote_path, long long count, std::vector<Borrowed>& files,
                       Body&& body) {
    if (count == 0) return body();
    Owned remote = bridge::call_method(sftp, name(N::open), remote_path, bridge::str_from("rb"));
    bridge::with_block(remote, name(N::__enter__), name(N::__exit__), [&](Borrowed file) {
        files.push_back(file);
        with_remote_files(sftp, remote_path, count - 1, files, body);
    });
}

// A resumed file's SHA-256 is computed on the cluster within ioTimeout plus
// one second per this many bytes.
constexpr double kHashBytesPerSecond = 100.0 * 1024 * 1024;

// Errors of the local disk while writing: the partial file is of no use.
bool is_local_write_error(Borrowed error) {
    if (!bridge::error_matches(error, PyExc_OSError)) return false;
    Owned code = bridge::getattr_optional(error, bridge::intern("errno"));
    if (!code || !PyLong_Check(code.get())) return false;
    const long value = bridge::to_long(code);
    return value == ENOSPC || value == EDQUOT || value == EFBIG || value == EROFS || value == EIO;
}

Owned mebibytes_text(long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return bridge::str_from(text);
}

// The remote file from the partial file's end on (its start for a new
// partial file), appended to it window by window as above: the local path
// is never opened by name.  Within a pass the transfer is one bounded wait
// that each received chunk starts afresh; a large file's progress, counting
// the whole file, is logged under `entry`.  `local_failed` is set when
// writing to the partial file failed.
void transfer(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, const Partial& partial,
              long long total, bool& local_failed) {
    Owned progress = io::progress_callback(sftp, {self, "Downloading", entry});
    const long long start = partial.offset;
    // an empty file is opened all the same: an unreadable one fails as any other
    const long long windows = std::max(1LL, (total - start + kWindow - 1) / kWindow);
    io::bounded(sftp, [&] {
        std::vector<Borrowed> files;
        with_remote_files(sftp, remote_path, std::min(windows, kHandles), files, [&] {
            auto arm = [&](long long window) {
                if (window >= windows) return;
                Borrowed file = files[static_cast<size_t>(window % kHandles)];
                const long long from = start + window * kWindow;
                bridge::call_method(file, name(N::seek), bridge::integer(from));
                bridge::call_method(file, name(N::prefetch), bridge::integer(std::min(from + kWindow, total)));
            };
            for (long long window = 0; window < kHandles - 1; ++window) arm(window);
            long long done = start;
            for (long long window = 0; window < windows; ++window) {
                arm(window + kHandles - 1);
                Borrowed file = files[static_cast<size_t>(window % kHandles)];
                const long long end = std::min(start + (window + 1) * kWindow, total);
                while (done < end) {
                    Owned want = bridge::integer(std::min(kReadChunk, end - done));
                    Owned data = bridge::call_method(file, name(N::read), want);
                    const Py_ssize_t size = bridge::length(data);
                    if (size == 0) return;  // shorter than it was: the checks after the transfer tell
                    bridge::on_error([&] { bridge::call_method(partial.file, name(N::write), data); },
                                     [&] { local_failed = true; });
                    done += size;
                    if (progress) bridge::call(progress, bridge::integer(done), bridge::integer(total));
                }
            }
        });
        return bridge::none();
    });
}

// (size, mtime) of the remote file; a missing one raises FileNotFoundError.
Owned remote_stamp(Borrowed sftp, Borrowed remote_path) {
    Owned attributes = io::bounded(sftp, [&] { return bridge::call_method(sftp, name(N::stat), remote_path); });
    return bridge::tuple_of(bridge::getattr(attributes, name(N::st_size)),
                            bridge::getattr(attributes, bound().st_mtime_name));
}

enum class Check { Match, Mismatch };

// The resumed file compared with the cluster's copy by SHA-256
// (`sha256sum`, one command of ioTimeout plus a second per 100 MiB).  A
// cluster without sha256sum leaves the size and mtime checks to decide.
Check verify_resumed(Borrowed self, Borrowed ssh, Borrowed entry, Borrowed remote_path, Borrowed partial_path,
                     long long size) {
    remote_shell::CommandResult hashed = [&] {
        io::ExtraTime extra(ssh, static_cast<double>(size) / kHashBytesPerSecond);
        return remote_shell::run(ssh, concat({"sha256sum < ", remote_shell::shell_quote(remote_path)}));
    }();
    if (hashed.exit_status == 127) {
        hpc_log(self, "debug",
                concat({"No sha256sum on the cluster: resumed download of ", bridge::str(entry),
                        " checked by its size and modification time only"}),
                {{name(N::file_name), entry}});
        return Check::Match;
    }
    if (!hashed.succeeded()) return Check::Mismatch;
    Owned text = bridge::call_method(hashed.stdout_data, name(N::decode), bridge::str_from("ascii"),
                                     bridge::str_from("replace"));
    const std::optional<std::string_view> answer = bridge::try_utf8(text);
    Owned local = file_sha256(partial_path);
    if (!answer || answer->size() < 64 || answer->substr(0, 64) != bridge::utf8(local)) return Check::Mismatch;
    return Check::Match;
}

enum class Fetch { Complete, Changed, Mismatch };

// What one entry's download works with.
struct Target {
    Borrowed self;
    Borrowed sftp;
    Borrowed entry;
    Borrowed remote_path;
    Borrowed local_path;
    Borrowed stamp;  // (size, mtime) of the remote file before the transfer
    DownloadRecord& record;
};

// Downloads into the entry's partial file beside the target (resuming it
// when `resume` and it holds the start of this very remote file) and
// renames it over the target only when the remote file's size and mtime did
// not change during the transfer, the local size is that size and, for a
// resumed file, its SHA-256 is the cluster's.  Until then the target stays
// exactly as it was.  A download that breaks off keeps the partial file for
// the next pass; one that makes it useless (the remote file changed, a
// local write error, a failed check) removes it.  A link at the target is
// replaced, never written through.
Fetch fetch(const Target& t, bool resume) {
    Owned ssh = resume ? io::client_of(t.sftp) : Owned();  // a resumed file needs the cluster's hash
    Owned node_id = bridge::getattr(t.self, name(N::node_id));
    Owned path = os_path(N::join, os_path(N::dirname, t.local_path), partial_name(node_id, t.entry, t.stamp));
    t.record.use_partial(t.entry, path);
    const long long total = bridge::to_long_long(bridge::tuple_item(t.stamp, 0));
    Partial partial = open_partial(path, total, static_cast<bool>(ssh));
    auto discard = [&] {
        remove_quietly(partial.path);
        t.record.partial_removed(t.entry);
    };
    bool local_failed = false;
    return bridge::try_except(
        [&] {
            bridge::with_block(partial.file, name(N::__enter__), name(N::__exit__), [&](Borrowed) {
                if (partial.offset > 0)
                    hpc_log(t.self, "info",
                            concat({"Resuming ", bridge::str(t.entry), " at ", mebibytes_text(partial.offset), " of ",
                                    mebibytes_text(total), " MiB"}),
                            {{name(N::file_name), t.entry},
                             {name(N::bytes_done), bridge::integer(partial.offset)},
                             {name(N::bytes_total), bridge::integer(total)}});
                transfer(t.self, t.sftp, t.entry, t.remote_path, partial, total, local_failed);
            });
            Owned after = remote_stamp(t.sftp, t.remote_path);
            Owned size = os_path(N::getsize, partial.path);
            if (!bridge::equal(t.stamp, after) || !bridge::equal(size, bridge::tuple_item(t.stamp, 0))) {
                discard();
                return Fetch::Changed;
            }
            if (partial.offset > 0 &&
                verify_resumed(t.self, ssh, t.entry, t.remote_path, partial.path, total) == Check::Mismatch) {
                discard();
                return Fetch::Mismatch;
            }
            // a target that cannot be replaced (a directory stands there) would fail again next time
            bridge::on_error([&] { bridge::call_method(global(N::os), name(N::replace), partial.path, t.local_path); },
                             discard);
            return Fetch::Complete;
        },
        PyExc_BaseException, [&](Borrowed error) -> Fetch {
            // A broken connection, a timeout, an interrupt: the next pass resumes.
            if (local_failed || is_local_write_error(error)) discard();
            bridge::restore_error(Owned::ref(error.get()));
        });
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

// Downloads one entry, unless the record shows that the local copy is this
// very remote file already.  A resumed file that does not match the
// cluster's copy is downloaded whole once more.  Failures of this entry are
// logged and absorbed; a timeout ends the whole pass (a silent server would
// cost one timeout per file otherwise), and anything outside the Exception
// family propagates.
Outcome download_entry(Borrowed self, Borrowed sftp, Borrowed entry, Borrowed remote_path, Borrowed local_path,
                       DownloadRecord& record) {
    auto attempt = [&] {
        Owned stamp = remote_stamp(sftp, remote_path);
        if (record.up_to_date(entry, stamp, local_path)) {
            Owned size = Owned::ref(bridge::tuple_item(stamp, 0).get());
            hpc_log(self, "debug", concat({"Up to date: ", bridge::str(entry), " (", bridge::str(size), " bytes)"}),
                    {{name(N::file_name), entry}, {name(N::file_size), size}});
            return Outcome{Fetched::Yes, {}};
        }
        make_parent_dir(local_path);
        const Target target{self, sftp, entry, remote_path, local_path, stamp, record};
        Fetch fetched = fetch(target, true);
        if (fetched == Fetch::Mismatch) {
            hpc_log(self, "warning",
                    concat({"Resumed download of ", bridge::str(entry),
                            " did not match the cluster's copy; downloading it again"}),
                    {{name(N::file_name), entry}});
            fetched = fetch(target, false);
        }
        if (fetched == Fetch::Changed) {
            hpc_log(self, "warning", concat({"Remote file changed while downloading: ", bridge::str(entry)}),
                    {{name(N::file_name), entry}});
            return Outcome{Fetched::Failed, bridge::str_from("changed while downloading")};
        }
        record.completed(entry, stamp, local_path);
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
    DownloadRecord record(self, remote_job_dir);
    Owned downloaded_files = bridge::new_list();
    Owned failed_essential = bridge::new_list();
    Owned essential_reasons = bridge::new_list();  // "<entry> (<reason>)"
    Owned failed_others = bridge::new_dict();      // entry -> its record, in order of failure
    Py_ssize_t position = 0;
    bridge::for_each(files_to_download, [&](Borrowed entry) {
        const Py_ssize_t at = position++;
        Owned remote_path = remote_path_of(remote_job_dir, entry);
        Owned local_path = local_path_of(local_dir, entry);
        Outcome outcome = download_entry(self, sftp, entry, remote_path, local_path, record);
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
