// Shell commands on the cluster over a connected SSH client: job state, path expansion, directory creation.
//
// Also the small command plumbing that the submission steps share
// (remote_shell:: below): sending a command, its exit status, its output as
// text, and quoting a value for the remote shell.
#include "methods.hpp"

#include "bridge/statements.hpp"
#include "pass_worker.hpp"
#include "shell.hpp"
#include "slurm_states.hpp"

#include <string>
#include <string_view>

namespace clusterlane {

namespace remote_shell {

namespace {

// Each stream of a command's answer is read up to this many bytes.
constexpr Py_ssize_t kAnswerLimit = 16 * 1024 * 1024;
constexpr long kChunk = 64 * 1024;

// What one command left: its standard output and error (bytes) and its exit
// status; `too_long` when a stream passed the limit (the command was then
// cut off).
struct Command {
    Owned stdout_data;
    Owned stderr_data;
    long exit_status = -1;
    bool too_long = false;
};

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
    return bridge::call_method(bridge::check(PyBytes_FromStringAndSize(nullptr, 0)), name(N::join), stream.chunks);
}

// Ends the connection of a command whose answer does not stop; the pass
// fails anyway.  Closing only the channel would race paramiko's reader
// thread, which still signals each arriving chunk on the channel's pipe
// (the one poll waits on): a write to the closed pipe kills the transport
// with EBADF, or lands in whatever file took the descriptor's number.  So
// the reader goes first, and the channel (and its pipe) only after it.
void drop_connection(Borrowed ssh) {
    Owned transport = bridge::call_method(ssh, name(N::get_transport));
    if (transport.get() == Py_None) return;
    bridge::call_method(transport, name(N::close));
    bridge::call_method(transport, name(N::join), bound().reader_exit_wait);
}

// Sends the command and reads both of its output streams as they come
// (neither can fill the channel's window while the other is read), up to
// kAnswerLimit each, then its exit status.  Runs as one bounded call of the
// pass: the command has ioTimeout in total.
void exec_and_collect(Borrowed ssh, Borrowed command_text, Command& command) {
    Owned triple = bridge::check(PySequence_Tuple(bridge::call_method(ssh, name(N::exec_command), command_text).get()));
    const Py_ssize_t size = PyTuple_GET_SIZE(triple.get());
    if (size != 3) {
        if (size > 3) bridge::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        bridge::raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
    }
    Owned channel = bridge::getattr(PyTuple_GET_ITEM(triple.get(), 1), name(N::channel));
    Stream out, err;
    Owned poller;
    for (;;) {
        // Both streams have all their data once the end of the output has come.
        const bool ended = bridge::truthy(bridge::getattr(channel, name(N::eof_received))) ||
                           bridge::truthy(bridge::getattr(channel, name(N::closed)));
        const bool read_out = drain(channel, N::recv_ready, N::recv, out);
        const bool read_err = drain(channel, N::recv_stderr_ready, N::recv_stderr, err);
        if (out.size > kAnswerLimit || err.size > kAnswerLimit) {
            command.too_long = true;
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
    command.exit_status = PyLong_AsLong(status.get());
    if (command.exit_status == -1 && PyErr_Occurred()) bridge::throw_error();
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

}  // namespace

// Within a pass the whole command (exec request, both outputs, exit status)
// is one bounded wait.  An answer longer than kAnswerLimit fails as the
// cluster's fault, with nothing of it used.
static Command run(Borrowed ssh, Borrowed command_text) {
    Command command;
    io::bounded(ssh, [&] {
        exec_and_collect(ssh, command_text, command);
        return bridge::none();
    });
    if (command.too_long)
        raise_node_exception("slurm",
                             bridge::concat({"The cluster's answer to ", program_of(command_text), " exceeds 16 MiB"}));
    return command;
}

static bool succeeded(const Command& command) { return command.exit_status == 0; }

// An output stream decoded as UTF-8 (an undecodable byte raises) and
// stripped of surrounding whitespace.
static Owned read_text(Borrowed data) {
    Owned text = bridge::call_method(data, name(N::decode), bridge::str_from("utf-8"));
    return bridge::call_method(text, name(N::strip));
}

static bool is_empty(Borrowed text) { return !bridge::truthy(text); }

// Sends the command and reads its stdout, then its stderr, as text; the exit
// status is not looked at.
void run_for_output(Borrowed ssh, Borrowed command_text, Owned& output, Owned& error) {
    Command command = run(ssh, command_text);
    output = read_text(command.stdout_data);
    error = read_text(command.stderr_data);
}

// Sends the command and reads its stdout and stderr as text, and its exit status.
CommandResult run_for_result(Borrowed ssh, Borrowed command_text) {
    Command command = run(ssh, command_text);
    return CommandResult{read_text(command.stdout_data), read_text(command.stderr_data), command.exit_status};
}

// True when `scontrol ping` says the controller is down: a non-zero exit
// status and "DOWN" in what it printed.  A command that cannot run (no
// scontrol on the login node) or answers UP says nothing of the kind.
bool controller_down(Borrowed ssh) {
    Command command = run(ssh, bridge::str_from("scontrol ping"));
    if (succeeded(command)) return false;
    Owned down = bridge::str_from("DOWN");
    for (Borrowed data : {command.stdout_data.borrow(), command.stderr_data.borrow()}) {
        if (bridge::check_status(PySequence_Contains(read_text(data).get(), down.get())) != 0) return true;
    }
    return false;
}

// The value as one shell word, quoted the way Python's shlex.quote does it:
// unchanged when every character is in [a-zA-Z0-9@%+=:,./_-], '' when empty,
// otherwise in single quotes with each ' written as '"'"'.
Owned shell_quote(Borrowed value) {
    std::string_view text = bridge::utf8(value);
    if (text.empty()) return bridge::str_from("''");
    auto safe = [](unsigned char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("@%+=:,./_-").find(static_cast<char>(c)) != std::string_view::npos;
    };
    bool all_safe = true;
    for (unsigned char c : text) all_safe = all_safe && safe(c);
    if (all_safe) return Owned::ref(value.get());

    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\"'\"'";
        else quoted += c;
    }
    quoted += '\'';
    return bridge::str_from(quoted);
}

}  // namespace remote_shell

namespace {

using bridge::concat;
using bridge::Param;

constexpr Param kStatusParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("job_id")};
constexpr Param kExpandParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("path")};
constexpr Param kEnsureParams[] = {bridge::self_param(), bridge::any_param("ssh"), bridge::str_param("remote_dir")};

// The state named by the query's output, or null when it names none.
Owned state_in(Borrowed output) {
    const std::string state = slurm_states::state_of_output(bridge::utf8(output));
    if (state.empty()) return {};
    return bridge::str_from(state);
}

// squeue knows queued, running and (with SQUEUE_STATES=all) recently ended
// jobs; sacct answers for jobs squeue has forgotten.  Only state words count
// (see slurm_states): output without one is read as no output at all.
Owned get_slurm_job_status_body(const bridge::Args<kStatusParams>& args) {
    Borrowed ssh = args.get<"ssh">();
    Owned job = remote_shell::shell_quote(args.get<"job_id">());

    auto squeue = remote_shell::run(ssh, concat({"squeue -j ", job, " -h -o %T 2>/dev/null"}));
    if (Owned state = state_in(remote_shell::read_text(squeue.stdout_data))) return state;

    auto sacct = remote_shell::run(ssh, concat({"sacct -j ", job, " -n -o State -X 2>/dev/null | head -1"}));
    if (Owned state = state_in(remote_shell::read_text(sacct.stdout_data))) return state;
    return bridge::str_from("UNKNOWN");
}

// The expanded text of a command that succeeded and printed something, else null.
Owned expansion_of(Borrowed ssh, Borrowed command_text) {
    auto command = remote_shell::run(ssh, command_text);
    if (!remote_shell::succeeded(command)) return {};
    Owned text = remote_shell::read_text(command.stdout_data);
    if (remote_shell::is_empty(text)) return {};
    return text;
}

// The path goes inside double quotes on purpose: the cluster's shell is meant
// to expand ~, $HOME, $USER and the like in it.
Owned expand_remote_path_body(const bridge::Args<kExpandParams>& args) {
    Borrowed ssh = args.get<"ssh">();
    Borrowed path = args.get<"path">();
    if (Owned expanded = expansion_of(ssh, concat({"bash -c 'eval echo \"", path, "\"'"}))) return expanded;
    if (Owned expanded = expansion_of(ssh, concat({"echo \"", path, "\""}))) return expanded;
    log(concat({"Could not expand remote path: ", path}), "info");
    return Owned::ref(path.get());
}

Owned ensure_remote_dir_body(const bridge::Args<kEnsureParams>& args) {
    Borrowed ssh = args.get<"ssh">();
    Borrowed remote_dir = args.get<"remote_dir">();
    auto mkdir = remote_shell::run(ssh, concat({"mkdir -p ", remote_shell::shell_quote(remote_dir)}));
    if (!remote_shell::succeeded(mkdir)) {
        Owned error = remote_shell::read_text(mkdir.stderr_data);
        raise_node_exception("remote_dir", concat({"Failed to create remote directory ", remote_dir, ": ", error}));
    }
    return bridge::none();
}

}  // namespace

namespace methods {

const bridge::FunctionSpec get_slurm_job_status = bridge::function<kStatusParams, get_slurm_job_status_body>({
    .name = "_get_slurm_job_status",
    .doc = "Return the SLURM state of job_id in upper case (squeue, then sacct), or 'UNKNOWN'.",
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
});

const bridge::FunctionSpec expand_remote_path = bridge::function<kExpandParams, expand_remote_path_body>({
    .name = "_expand_remote_path",
    .doc = "Expand ~ and variables of path in the cluster's shell; path unchanged if that fails.",
    .return_annotation = "str",
    .result = bridge::ResultType::Str,
});

const bridge::FunctionSpec ensure_remote_dir = bridge::function<kEnsureParams, ensure_remote_dir_body>({
    .name = "_ensure_remote_dir",
    .doc = "Create remote_dir on the cluster (mkdir -p); NodeException 'remote_dir' on failure.",
    .return_annotation = "None",
});

}  // namespace methods

}  // namespace clusterlane
