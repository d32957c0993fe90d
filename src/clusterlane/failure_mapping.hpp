// How a failed pass reaches the caller (defined in failure_mapping.cpp).
#pragma once

#include "pass.hpp"

namespace clusterlane {

// Raises what replaces `failure`, which is being handled: an interrupt or
// exit request found in its chain of causes and contexts, as it was; the
// refusal of the expanded work directory, as it was; anything else logged
// at "error" and mapped to NodeException "remote_execution" (a silent
// server, or any other error), "authentication" or "ssh", with the failure
// as its context.
[[noreturn]] void raise_pass_failure(const PassContext& pass, Borrowed paramiko, Borrowed failure);

// True when a pass that failed with `failure` must not leave its connection
// to later passes: an interrupt or exit request, a timeout, an SSH error
// (paramiko's SSHException), an OS or socket error or a connection that
// ended (EOFError), as the failure or anywhere in its chain of causes and
// contexts.  Never raises (when in doubt: true).
bool ends_connection(Borrowed paramiko, Borrowed failure) noexcept;

}  // namespace clusterlane
