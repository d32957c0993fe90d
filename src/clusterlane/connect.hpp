// Connecting a pass's SSH client (defined in connect.cpp).
#pragma once

#include "pass.hpp"

namespace clusterlane {

// The SSH client a pass connects (paramiko.SSHClient; the route gives it its
// host key policy).
Owned new_ssh_client(Borrowed paramiko);

// Connects to the profile's host along the pass's route (jump hosts first;
// the known host keys loaded before each connect and checked after it),
// logged before and after, hands the connected client to the pass's worker
// and sends without delay.
void connect(const PassContext& pass);

}  // namespace clusterlane
