// The node's download record, .zentrel_hpc_<node_id>.downloads.json beside
// its state file: for each output of the recorded job that came down
// completely, the remote file's size and mtime and the local copy's size,
// mtime (ns) and inode as they were then; and the partial file each entry
// is being downloaded into.  A record that is missing, not a regular file,
// not valid JSON, larger than 16 MiB or of another job is not trusted: it
// counts as empty (only its partial files are still removed) and is
// replaced by the next write.
#pragma once

#include "runtime.hpp"

namespace clusterlane {

class DownloadRecord {
public:
    // The record of `self` for the downloads from `remote_job_dir`.
    DownloadRecord(Borrowed self, Borrowed remote_job_dir);

    // True when the entry came down completely before and neither the remote
    // file (`stamp`: size, mtime) nor the local copy has changed since.
    bool up_to_date(Borrowed entry, Borrowed stamp, Borrowed local_path) const;

    // The entry is about to be downloaded into the partial file `path`: a
    // partial file listed for it under another name (an earlier version of
    // the remote file) is removed, and `path` is listed before it exists, so
    // that a process killed at any point leaves nothing unlisted.
    void use_partial(Borrowed entry, Borrowed path);

    // The entry came down into `local_path`: recorded, its partial file
    // delisted.
    void completed(Borrowed entry, Borrowed stamp, Borrowed local_path);

    // The entry's partial file was removed.
    void partial_removed(Borrowed entry);

private:
    void save();

    Owned self_;
    Owned path_;
    Owned document_;
    Owned files_;     // entry -> what was recorded of its complete download
    Owned partials_;  // entry -> path of its partial file
    bool warned_ = false;
};

// For a new submission: removes the partial files the record lists and the
// record itself.  Never raises but for interrupts; a failure is a warning.
void clear_download_record(Borrowed self);

}  // namespace clusterlane
