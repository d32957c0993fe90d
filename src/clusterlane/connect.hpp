// Connecting a pass's SSH client, or taking a kept one, and what becomes of
// the connection at the end of the pass (defined in connect.cpp).
#pragma once

#include "pass.hpp"

namespace clusterlane {

// The SSH client a pass connects (paramiko.SSHClient; the route gives it its
// host key policy).
Owned new_ssh_client(Borrowed paramiko);

// With "keepConnection": takes the newest kept connection of the profile's
// settings whose transport is still active (closing the dead ones met on the
// way), logs "Reusing the SSH connection to <host>:<port> (idle <s> s)" and
// hands it to the pass's worker.  Otherwise connects to the profile's host
// along the pass's route (jump hosts first; the known host keys loaded
// before each connect and checked after it), logged before and after, hands
// the connected client to the pass's worker and sends without delay.
void connect(PassContext& pass);

// Runs `first` (the pass's first command).  On a kept connection its waits
// get min(ioTimeout, 15) seconds; when it gets no answer in time, or the
// connection turns out dead (whether `first` raised or not), that
// connection is closed, the pass connects afresh and runs `first` again,
// bounded by ioTimeout.  An interrupt ends the pass as always.
Owned first_command(PassContext& pass, Owned (*first)(PassContext& pass));

// At the end of the pass: with "keepConnection", a connection still active
// after a pass that was `healthy` (no SSH failure, timeout or interrupt)
// closes its SFTP client and goes to the pool; every other one is closed,
// its jump hosts after it.
void end_connection(PassContext& pass, bool healthy);

}  // namespace clusterlane
