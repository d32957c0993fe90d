#include "files.hpp"

#include "error.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>  // mkdir
#include <unistd.h>

namespace bridge {

namespace {

Owned encoded(Borrowed path) { return check(PyUnicode_EncodeFSDefault(path.get())); }

const char* c_path(const Owned& bytes) { return PyBytes_AsString(bytes.get()); }

// Reads from offset 0 up to `limit` bytes (one more to learn whether there is more).
std::optional<FileText> read_from_start(int fd, size_t limit) {
    FileText text;
    std::string buffer(64 * 1024, '\0');
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::nullopt;
        }
        if (n == 0) return text;
        offset += n;
        const size_t room = limit - text.data.size();
        if (static_cast<size_t>(n) > room) {
            text.data.append(buffer.data(), room);
            text.truncated = true;
            return text;
        }
        text.data.append(buffer.data(), static_cast<size_t>(n));
    }
}

// 0 when the file can be read from a position of our choosing, as regular
// files can (a FIFO, a socket or a terminal cannot: ESPIPE).  fstat would
// tell as much, but glibc 2.33 versioned it, which would raise the wheel's
// manylinux tag; a directory is refused by read() itself (EISDIR).
int seekable(int fd) { return ::lseek(fd, 0, SEEK_CUR) < 0 ? errno : 0; }

}  // namespace

std::optional<FileText> read_regular_file(Borrowed path, size_t limit) {
    Owned bytes = encoded(path);
    // O_NONBLOCK: opening a FIFO must not wait for a writer
    const int fd = ::open(c_path(bytes), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::optional<FileText> text;
    if (seekable(fd) == 0) text = read_from_start(fd, limit);
    ::close(fd);
    return text;
}

int make_directory(Borrowed path, unsigned mode) {
    Owned bytes = encoded(path);
    if (::mkdir(c_path(bytes), static_cast<mode_t>(mode)) == 0 || errno == EEXIST) return 0;
    return errno;
}

AppendLock::AppendLock(Borrowed path, unsigned mode) {
    Owned bytes = encoded(path);
    fd_ = ::open(c_path(bytes), O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOCTTY,
                 static_cast<mode_t>(mode));
    if (fd_ < 0) {
        error_ = errno;
        return;
    }
    if ((error_ = seekable(fd_)) != 0) {  // a FIFO takes no host keys (a directory cannot be opened so)
        ::close(fd_);
        fd_ = -1;
        return;
    }
    for (;;) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = ::flock(fd_, LOCK_EX);
        Py_END_ALLOW_THREADS
        if (rc == 0) return;
        error_ = errno;
        if (error_ != EINTR) break;
        error_ = 0;
        if (PyErr_CheckSignals() < 0) {
            ::close(fd_);
            fd_ = -1;
            throw_error();
        }
    }
    ::close(fd_);
    fd_ = -1;
}

AppendLock::~AppendLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

std::optional<FileText> AppendLock::read(size_t limit) const {
    if (fd_ < 0) return std::nullopt;
    return read_from_start(fd_, limit);
}

int AppendLock::append(std::string_view text) {
    if (fd_ < 0) return error_ ? error_ : EBADF;
    while (!text.empty()) {
        const ssize_t n = ::write(fd_, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return errno;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    return ::fsync(fd_) == 0 ? 0 : errno;
}

}  // namespace bridge
