// Running one command on the cluster: the exec request, both output streams
// read as they come (neither can fill the channel's window while the other
// is read), each up to 16 MiB, then the exit status.  And quoting values for
// the remote shell.
#include "remote_command.hpp"

#include "bridge/statements.hpp"
#include "pass_worker.hpp"
#include "support.hpp"

#include <algorithm>

namespace clusterlane::remote_shell {

namespace {

// Each stream of a command's answer is read up to this many bytes.
constexpr Py_ssize_t kAnswerLimit = 16 * 1024 * 1024;
constexpr long kChunk = 64 * 1024;

// One output stream of a command, as its chunks arrive.
struct Stream {
    Owned chunks = bridge::new_list();
    Py_ssize_t size = 0;
};

// Reads what the channel holds of one stream; true when it read anything.
bool drain(Borrowed channel, N ready, N receive, Stream& stream) {
    bool read = false;
    Owned chunk_size = bridge::integer(kChunk);
    while (stream.size <= kAnswerLimit && bridge::truthy(bridge::call_method(channel, name(ready)))) {
        Owned data = bridge::call_method(channel, name(receive), chunk_size);
        if (bridge::length(data) == 0) break;  // the stream has ended
        stream.size += bridge::length(data);
        bridge::list_append(stream.chunks, data);
        read = true;
    }
    return read;
}

Owned joined(const Stream& stream) {
    return bridge::call_method(bridge::bytes_from(""), name(N::join), stream.chunks);
}

// Ends the connection of a command whose answer does not stop; the pass
// fails anyway.  Closing only the channel would race paramiko's reader
// thread, which still signals each arriving chunk on the channel's pipe
// (the one poll waits on): a write to the closed pipe kills the transport
// with EBADF, or lands in whatever file took the descriptor's number.  So
// the reader goes first, and the channel (and its pipe) only after it.
// An error raised meanwhile (an interrupt, say) is raised once the transport
// is closed.
void drop_connection(Borrowed ssh) {
    if (Owned raised = io::close_transport(ssh)) bridge::restore_error(std::move(raised));
}

// The command's answer, or nothing with `too_long` set when a stream passed
// the limit (the connection is then ended).
void exec_and_collect(Borrowed ssh, Borrowed command_text, CommandResult& command, bool& too_long) {
    // stdin, stdout, stderr = ssh.exec_command(command)
    auto [input, output, errors] = bridge::unpack<3>(bridge::call_method(ssh, name(N::exec_command), command_text));
    Owned channel = bridge::getattr(output, name(N::channel));
    Stream out, err;
    Owned poller;
    for (;;) {
        // Both streams have all their data once the end of the output has come.
        const bool ended = bridge::truthy(bridge::getattr(channel, name(N::eof_received))) ||
                           bridge::truthy(bridge::getattr(channel, name(N::closed)));
        const bool read_out = drain(channel, N::recv_ready, N::recv, out);
        const bool read_err = drain(channel, N::recv_stderr_ready, N::recv_stderr, err);
        if (out.size > kAnswerLimit || err.size > kAnswerLimit) {
            too_long = true;
            drop_connection(ssh);
            return;
        }
        if (read_out || read_err) continue;
        if (ended) break;
        // Sleeps until either stream has data, the output ends or the channel closes.
        if (!poller) {
            poller = bridge::call(bound().poll);
            bridge::call_method(poller, bound().register_name, channel);
        }
        bridge::call_method(poller, name(N::poll));
    }
    Owned status = bridge::call_method(channel, name(N::recv_exit_status));
    command.exit_status = bridge::to_long(status);
    bridge::call_method(channel, name(N::close));
    command.stdout_data = joined(out);
    command.stderr_data = joined(err);
}

// The program a command line runs, for messages: the first word of its last
// `&&` part (quotes respected).
Owned program_of(Borrowed command_text) {
    const std::string_view text = bridge::utf8(command_text);
    size_t last_part = 0;
    char quote = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote) {
            if (c == quote) quote = 0;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '&' && i + 1 < text.size() && text[i + 1] == '&') {
            last_part = i + 2;
        }
    }
    std::string_view part = text.substr(last_part);
    const size_t begin = part.find_first_not_of(" \t\n");
    if (begin == std::string_view::npos) return bridge::str_from("");
    part = part.substr(begin);
    return bridge::str_from(part.substr(0, part.find_first_of(" \t\n")));
}

bool is_shell_safe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

CommandResult run(Borrowed ssh, Borrowed command_text) {
    CommandResult command;
    bool too_long = false;
    io::bounded(ssh, [&] {
        exec_and_collect(ssh, command_text, command, too_long);
        return bridge::none();
    });
    if (too_long)
        raise_node_exception("slurm",
                             bridge::concat({"The cluster's answer to ", program_of(command_text), " exceeds 16 MiB"}));
    return command;
}

Owned read_text(Borrowed data) {
    Owned text = bridge::call_method(data, name(N::decode), bridge::str_from("utf-8"));
    return bridge::call_method(text, name(N::strip));
}

Owned CommandResult::output() const { return read_text(stdout_data); }
Owned CommandResult::error() const { return read_text(stderr_data); }

bool all_shell_safe(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return is_shell_safe(c); });
}

std::string single_quoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\"'\"'";
        else quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// Unchanged when every character is shell-safe, '' when empty, otherwise in
// single quotes.
Owned shell_quote(Borrowed value) {
    std::string_view text = bridge::utf8(value);
    if (text.empty()) return bridge::str_from("''");
    if (all_shell_safe(text)) return Owned::ref(value.get());
    return bridge::str_from(single_quoted(text));
}

}  // namespace clusterlane::remote_shell
