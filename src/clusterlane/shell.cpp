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

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

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
    const Py_ssize_t size = bridge::tuple_size(triple);
    if (size != 3) {
        if (size > 3) bridge::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        bridge::raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
    }
    Owned channel = bridge::getattr(bridge::tuple_item(triple, 1), name(N::channel));
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

// The characters a shell word may hold unquoted: nothing in
// [a-zA-Z0-9@%+=:,./_-] means anything to a POSIX shell.
static bool is_shell_safe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("@%+=:,./_-").find(static_cast<char>(c)) != std::string_view::npos;
}

static bool all_shell_safe(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return is_shell_safe(c); });
}

// The text in single quotes, each ' written as '"'"'.
static std::string single_quoted(std::string_view text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') quoted += "'\"'\"'";
        else quoted += c;
    }
    quoted += '\'';
    return quoted;
}

// The value as one shell word, quoted the way Python's shlex.quote does it:
// unchanged when every character is shell-safe, '' when empty, otherwise in
// single quotes.
Owned shell_quote(Borrowed value) {
    std::string_view text = bridge::utf8(value);
    if (text.empty()) return bridge::str_from("''");
    if (all_shell_safe(text)) return Owned::ref(value.get());
    return bridge::str_from(single_quoted(text));
}

}  // namespace remote_shell

// ---- the remote work directory -------------------------------------------------

namespace {

constexpr std::string_view kWorkDirBreaks =
    "HPC profile field 'remoteWorkDir' must not contain line breaks or NUL characters";

}  // namespace

// A line break would end the commands the directory goes into (and a NUL
// cannot be sent at all); SLURM and the job query read it line by line too.
void check_work_dir(Borrowed work_dir) {
    if (PyUnicode_Check(work_dir.get()) && bridge::str_has_any_of(work_dir, {U'\n', U'\r', U'\0'}))
        raise_node_exception("configuration", bridge::str_from(kWorkDirBreaks));
}

bool is_work_dir_refusal(Borrowed failure) {
    return bridge::error_is(failure, global(N::NodeException), {"configuration", kWorkDirBreaks});
}

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

// The same for a command that prints the path with printf '%s\n': its output
// less that one newline, with every other character kept (blanks at either
// end belong to the path).
Owned exact_expansion_of(Borrowed ssh, Borrowed command_text) {
    auto command = remote_shell::run(ssh, command_text);
    if (!remote_shell::succeeded(command)) return {};
    Owned decoded = bridge::call_method(command.stdout_data, name(N::decode), bridge::str_from("utf-8"));
    std::string_view text = bridge::utf8(decoded);
    if (text.ends_with('\n')) text.remove_suffix(1);
    if (text.empty()) return {};
    return bridge::str_from(text);
}

// One part of a remote path: literal text, a leading "~" or "~name" with the
// "/" after it, or a reference to a variable ("$NAME" or "${NAME}").
struct PathPart {
    enum Kind { literal, tilde, variable } kind;
    std::string_view text;
};

bool is_name_start(char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool is_name_char(char c) { return is_name_start(c) || (c >= '0' && c <= '9'); }

// Length of the variable reference at the start of text ("$NAME", "${NAME}"),
// 0 when there is none there: a "$" before anything else, and a "${" without
// a name and its closing brace, are literal text.
size_t reference_length(std::string_view text) {
    if (text.size() < 2 || text[0] != '$') return 0;
    size_t name_at = text[1] == '{' ? 2 : 1;
    if (name_at >= text.size() || !is_name_start(text[name_at])) return 0;
    size_t end = name_at;
    while (end < text.size() && is_name_char(text[end])) ++end;
    if (name_at == 1) return end;
    return end < text.size() && text[end] == '}' ? end + 1 : 0;
}

// The path cut into its parts.  A leading "~name" counts only when the name
// is made of shell-safe characters (a login name): any other is literal.
std::vector<PathPart> parts_of(std::string_view path) {
    std::vector<PathPart> parts;
    size_t start = 0;
    if (path.starts_with('~')) {
        const size_t slash = path.find('/');
        const size_t end = slash == std::string_view::npos ? path.size() : slash;
        if (remote_shell::all_shell_safe(path.substr(1, end - 1))) {
            start = std::min(end + 1, path.size());  // the "/" too: a quoted one would stop the expansion
            parts.push_back({PathPart::tilde, path.substr(0, start)});
        }
    }
    size_t i = start;
    while (i < path.size()) {
        const size_t reference = path[i] == '$' ? reference_length(path.substr(i)) : 0;
        if (reference == 0) {
            ++i;
            continue;
        }
        if (i > start) parts.push_back({PathPart::literal, path.substr(start, i - start)});
        parts.push_back({PathPart::variable, path.substr(i, reference)});
        i += reference;
        start = i;
    }
    if (start < path.size()) parts.push_back({PathPart::literal, path.substr(start)});
    return parts;
}

// True when nothing but the "~" prefix and the variables is there for the
// shell to read: every literal part is shell-safe.
bool is_plain(const std::vector<PathPart>& parts) {
    return std::all_of(parts.begin(), parts.end(), [](const PathPart& part) {
        return part.kind != PathPart::literal || remote_shell::all_shell_safe(part.text);
    });
}

// The path as one shell word that expands the "~" prefix and the variables
// and nothing else: literal parts in single quotes, each variable in double
// quotes (its value stays one piece of the word), the prefix unquoted.
std::string shell_word(const std::vector<PathPart>& parts) {
    std::string word;
    for (const PathPart& part : parts) {
        if (part.kind == PathPart::tilde) word += part.text;
        else if (part.kind == PathPart::variable) word.append("\"").append(part.text).append("\"");
        else if (remote_shell::all_shell_safe(part.text)) word += part.text;
        else word += remote_shell::single_quoted(part.text);
    }
    return word;
}

// A path of shell-safe characters, "~" prefix and variables goes through
// eval, as it always has (the cluster's shell expands ~, $HOME, $USER and
// the like in it).  Any other path is never evaluated: it goes out as one
// word printed by printf, first through bash, then through the login shell
// itself (no bash there), so blanks, quotes, "#", globs, ";" and "$(...)"
// stay literal.
Owned expand_remote_path_body(const bridge::Args<kExpandParams>& args) {
    Borrowed ssh = args.get<"ssh">();
    Borrowed path = args.get<"path">();
    const std::vector<PathPart> parts = parts_of(bridge::utf8(path));
    if (is_plain(parts)) {
        if (Owned expanded = expansion_of(ssh, concat({"bash -c 'eval echo \"", path, "\"'"}))) return expanded;
        if (Owned expanded = expansion_of(ssh, concat({"echo \"", path, "\""}))) return expanded;
    } else {
        Owned print = bridge::str_from("printf '%s\\n' " + shell_word(parts));
        if (Owned expanded = exact_expansion_of(ssh, concat({"bash -c ", remote_shell::shell_quote(print)})))
            return expanded;
        if (Owned expanded = exact_expansion_of(ssh, print)) return expanded;
    }
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
