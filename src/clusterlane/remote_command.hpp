// Commands on the cluster over a connected SSH client: one way to run them,
// one result type, and quoting for the remote shell.
#pragma once

#include "runtime.hpp"

#include <string>
#include <string_view>

namespace clusterlane::remote_shell {

// What one command left: both of its output streams (bytes) and its exit
// status.
struct CommandResult {
    Owned stdout_data;
    Owned stderr_data;
    long exit_status = -1;

    bool succeeded() const noexcept { return exit_status == 0; }
    // The stream decoded as UTF-8 (an undecodable byte raises) and stripped
    // of surrounding whitespace.
    Owned output() const;
    Owned error() const;
};

// Sends the command and reads both of its output streams as they come, then
// its exit status.  Within a pass the whole command is one bounded wait (it
// has ioTimeout in total).  An answer longer than 16 MiB on either stream
// fails as the cluster's fault (NodeException "slurm"), with nothing of it
// used and the connection ended.
CommandResult run(Borrowed ssh, Borrowed command_text);

// The stripped UTF-8 text of one output stream, as CommandResult gives it.
Owned read_text(Borrowed data);

// True when nothing in `text` means anything to a POSIX shell: every
// character is in [a-zA-Z0-9@%+=:,./_-].
bool all_shell_safe(std::string_view text);

// The text in single quotes, each ' written as '"'"'.
std::string single_quoted(std::string_view text);

// The value as one shell word, quoted the way Python's shlex.quote does it.
Owned shell_quote(Borrowed value);

}  // namespace clusterlane::remote_shell
