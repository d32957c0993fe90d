// The partial file of a download: the file an output comes down into,
// beside its target, under a short name of its own, kept when a download
// breaks off so that the next pass resumes it.
#pragma once

#include "runtime.hpp"

#include <string_view>

namespace clusterlane {

// ".zentrel-" + 16 hex digits of a SHA-256 of the node ID, the entry and the
// remote file's (size, mtime) + ".part": 31 bytes whatever the entry, and
// another name as soon as the remote file is another.
Owned partial_name(Borrowed node_id, Borrowed entry, Borrowed remote_stamp);

// True for a name partial_name can give.
bool is_partial_name(std::string_view name);

// An open partial file: `offset` bytes of the remote file are in it already
// (0 for a new one), and `file` appends after them.
struct Partial {
    Owned path;
    Owned file;  // binary, opened for appending
    long long offset = 0;
};

// Opens the partial file at `path` for appending when, with `resume`, it is
// a non-empty regular file no longer than `size`; anything else there (a
// link, a longer or empty file) is removed and a new file created with
// O_CREAT | O_EXCL | O_NOFOLLOW.  Never opens through a link, never blocks
// on something that is not a regular file.  Raises the OSError of open(2).
Partial open_partial(Borrowed path, long long size, bool resume);

// The SHA-256 of the file at `path` (opened without following a link) as
// 64 hex digits; read in chunks, so an interrupt ends it.
Owned file_sha256(Borrowed path);

}  // namespace clusterlane
