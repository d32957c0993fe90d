// Local files a library reads and appends to on the user's behalf (host
// keys, ssh config): read without ever blocking on something that is not a
// regular file, and appended to under an exclusive lock whose wait the
// host's signal handlers can end.
#pragma once

#include "ref.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace bridge {

// The first `limit` bytes of the file at `path` (a str, following symbolic
// links), and whether there was more; nullopt when it is missing,
// unreadable, a directory or cannot seek (a FIFO, a socket, a terminal),
// none of which is waited for.  Never raises but for an unencodable path.
struct FileText {
    std::string data;
    bool truncated = false;
};
std::optional<FileText> read_regular_file(Borrowed path, size_t limit);

// mkdir(path, mode): 0 when made or already there, else the errno.
int make_directory(Borrowed path, unsigned mode);

// A file opened for appending (created with `mode` when missing) and locked
// exclusively (flock) while this lives.  The wait for the lock releases the
// GIL; a signal handler that raises ends it (PyError).
class AppendLock {
public:
    AppendLock(Borrowed path, unsigned mode);
    ~AppendLock();
    AppendLock(const AppendLock&) = delete;
    AppendLock& operator=(const AppendLock&) = delete;

    // 0 once the lock is held, else the errno of the open or the lock.
    int error() const noexcept { return error_; }
    // The whole file as it is now, up to `limit` bytes.
    std::optional<FileText> read(size_t limit) const;
    // Writes all of `text` at the end and flushes it to the disk: 0 or the errno.
    int append(std::string_view text);

private:
    int fd_ = -1;
    int error_ = 0;
};

}  // namespace bridge
