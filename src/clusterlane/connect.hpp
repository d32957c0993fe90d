// Connecting a pass's SSH client (defined in connect.cpp).
#pragma once

#include "pass.hpp"

namespace clusterlane {

// The SSH client a pass connects: paramiko.SSHClient with the policy that
// accepts host keys not known yet.
Owned new_ssh_client(Borrowed paramiko);

// Loads the known host keys, connects to the profile's host (logged before
// and after), hands the connected client to the pass's worker and sends
// without delay.
void connect(const PassContext& pass);

}  // namespace clusterlane
