// One pass at a time per node: an exclusive advisory lock next to the state file.
#include "pass_lock.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace clusterlane {

PassLock::PassLock(Borrowed state_path) {
    Owned lock_path = bridge::concat({state_path, ".lock"});
    Owned encoded = bridge::check(PyUnicode_EncodeFSDefault(lock_path.get()));
    fd_ = ::open(PyBytes_AS_STRING(encoded.get()), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    for (;;) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = ::flock(fd_, LOCK_EX);
        Py_END_ALLOW_THREADS
        if (rc == 0) return;
        if (errno != EINTR) break;  // no locking on this file system: go on unlocked
        if (PyErr_CheckSignals() < 0) {
            ::close(fd_);
            fd_ = -1;
            bridge::throw_error();
        }
    }
    ::close(fd_);
    fd_ = -1;
}

PassLock::~PassLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

}  // namespace clusterlane
