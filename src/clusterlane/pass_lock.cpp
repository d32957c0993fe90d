// One pass at a time per node: an exclusive advisory lock next to the state file.
#include "pass_lock.hpp"

#include "bridge/statements.hpp"
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
    fd_ = ::open(bridge::FsPath(lock_path).c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
        warn_unlocked(self, lock_path, errno);
        return;
    }
    int error = 0;
    for (;;) {
        const int rc = bridge::without_gil([&] { return ::flock(fd_, LOCK_EX) == 0 ? 0 : errno; });
        if (rc == 0) return;
        error = rc;
        if (error != EINTR) break;  // no locking on this file system
        bridge::on_error([] { bridge::check_signals(); },
                         [&] {
                             ::close(fd_);
                             fd_ = -1;
                         });
    }
    ::close(fd_);
    fd_ = -1;
    warn_unlocked(self, lock_path, error);
}

PassLock::~PassLock() {
    if (fd_ >= 0) ::close(fd_);  // closing the only descriptor releases the lock
}

}  // namespace clusterlane
