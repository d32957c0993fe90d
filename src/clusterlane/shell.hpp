// Remote command plumbing shared by the shell helpers and the submission
// steps (defined in shell.cpp).
#pragma once

#include "runtime.hpp"

namespace clusterlane::remote_shell {

// Sends the command and reads its stdout, then its stderr, as stripped
// UTF-8 text; the exit status is not looked at.
void run_for_output(Borrowed ssh, Borrowed command_text, Owned& output, Owned& error);

struct CommandResult {
    Owned output;  // stdout, stripped text
    Owned error;   // stderr, stripped text
    long exit_status = 0;
};

// Sends the command, reads its stdout and stderr as stripped UTF-8 text and
// then waits for its exit status; every wait is bounded like the others.
CommandResult run_for_result(Borrowed ssh, Borrowed command_text);

// True when `scontrol ping` on the cluster reports the controller down.
bool controller_down(Borrowed ssh);

// The value as one shell word, quoted the way Python's shlex.quote does it.
Owned shell_quote(Borrowed value);

}  // namespace clusterlane::remote_shell

namespace clusterlane {

// Raises NodeException "configuration" when the remote work directory (as
// the profile gives it, or as the cluster expanded it) holds a line break
// or a NUL; a value that is not text is left to the steps that use it.
void check_work_dir(Borrowed work_dir);

// True when the failure is the NodeException check_work_dir raises, as it
// raised it.  Never raises.
bool is_work_dir_refusal(Borrowed failure);

}  // namespace clusterlane
