// One pass at a time per node: an exclusive advisory lock next to the state file.
#include "pass_lock.hpp"

#include "support.hpp"

#include "cluster_log.hpp"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace clusterlane {

// Going on unlocked is still better than no pass at all, but the user
// learns that the guard is off.
static void warn_unlocked(Borrowed self, Borrowed lock_path, int error) {
    hpc_log(self, "warning", bridge::concat({"Cannot lock ", lock_path, ": ", std::strerror(error),
                                             "; two passes of this node at once may submit twice"}));
}

PassLock::PassLock(Borrowed self, Borrowed state_path) {
    Owned lock_path = bridge::concat({state_path, kLockFileSuffix});
    Owned encoded = bridge::check(PyUnicode_EncodeFSDefault(lock_path.get()));
    fd_ = ::open(bridge::bytes_view(encoded).data(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        warn_unlocked(self, lock_path, errno);
        return;
    }
    int error = 0;
    for (;;) {
        int rc;
        Py_BEGIN_ALLOW_THREADS
        rc = ::flock(fd_, LOCK_EX);
        Py_END_ALLOW_THREADS
        if (rc == 0) return;
        error = errno;
        if (error != EINTR) break;  // no locking on this file system
        if (PyErr_CheckSignals() < 0) {
            ::close(fd_);
            fd_ = -1;
            bridge::throw_error();
        }
    }
    ::close(fd_);
    fd_ = -1;
    warn_unlocked(self, lock_path, error);
}

PassLock::~PassLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

}  // namespace clusterlane
