// One pass at a time per node: an exclusive advisory lock next to the state file.
#pragma once

#include "runtime.hpp"

namespace clusterlane {

// Holds flock(LOCK_EX) on "<state file>.lock" (created when missing, never
// removed) while it lives.  Two passes of one node, in any thread or process,
// would otherwise both find no job and both submit one; the second now waits
// and then sees the first one's record.  The wait releases the GIL and gives
// way to signals (Ctrl-C).  The lock file is opened with O_NOFOLLOW (a link
// planted there is never followed) and mode 0600.  When it cannot be opened
// or locked, the pass goes on without the lock after a warning through the
// node's cluster log.
class PassLock {
public:
    PassLock(Borrowed self, Borrowed state_path);
    ~PassLock();
    PassLock(const PassLock&) = delete;
    PassLock& operator=(const PassLock&) = delete;

private:
    int fd_ = -1;
};

}  // namespace clusterlane
