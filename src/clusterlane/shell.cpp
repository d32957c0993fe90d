// Shell commands on the cluster over a connected SSH client: job state, path expansion, directory creation.
//
// Also the small command plumbing that the submission steps share
// (remote_shell:: below): sending a command, its exit status, its output as
// text, and quoting a value for the remote shell.
#include "methods.hpp"

#include "bridge/statements.hpp"
#include "deadline.hpp"
#include "shell.hpp"
#include "slurm_states.hpp"

#include <string>
#include <string_view>

namespace clusterlane {

namespace remote_shell {

namespace {

// The (stdin, stdout, stderr) channel files of one exec_command call.
struct Command {
    Owned stdin_file;
    Owned stdout_file;
    Owned stderr_file;
    Owned connection;  // the client the command was sent on
};

}  // namespace

// Within a pass, opening the channel and the exec request are one bounded
// wait, and reading the output stops after ioTimeout without data.
static Command run(Borrowed ssh, Borrowed command_text) {
    Owned triple = bridge::check(PySequence_Tuple(
        io::bounded(ssh, [&] { return bridge::call_method(ssh, name(N::exec_command), command_text); }).get()));
    const Py_ssize_t size = PyTuple_GET_SIZE(triple.get());
    if (size != 3) {
        if (size > 3) bridge::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
        bridge::raise_format(PyExc_ValueError, "not enough values to unpack (expected 3, got %zd)", size);
    }
    Command command{Owned::ref(PyTuple_GET_ITEM(triple.get(), 0)), Owned::ref(PyTuple_GET_ITEM(triple.get(), 1)),
                    Owned::ref(PyTuple_GET_ITEM(triple.get(), 2)), Owned::ref(ssh.get())};
    io::bound_reads(ssh, bridge::getattr(command.stdout_file, name(N::channel)));
    return command;
}

// Waits for the remote command to end; true when its exit status is 0.
static bool succeeded(const Command& command) {
    Owned channel = bridge::getattr(command.stdout_file, name(N::channel));
    Owned status = io::bounded(command.connection,
                               [&] { return bridge::call_method(channel, name(N::recv_exit_status)); });
    return bridge::equal(status, bridge::integer(0));
}

// The whole output of a channel file, decoded as UTF-8 (an undecodable byte
// raises) and stripped of surrounding whitespace.  Within a pass the read
// gives up after ioTimeout without data (the channel's timeout, see run).
static Owned read_text(Borrowed channel_file) {
    Owned channel = bridge::getattr(channel_file, name(N::channel));
    Owned data =
        io::bounded(channel, [&] { return bridge::call_method(channel_file, name(N::read)); }, io::Timed::No);
    Owned text = bridge::call_method(data, name(N::decode), bridge::str_from("utf-8"));
    return bridge::call_method(text, name(N::strip));
}

static bool is_empty(Borrowed text) { return !bridge::truthy(text); }

// Sends the command and reads its stdout, then its stderr, as text; the exit
// status is not looked at.
void run_for_output(Borrowed ssh, Borrowed command_text, Owned& output, Owned& error) {
    Command command = run(ssh, command_text);
    output = read_text(command.stdout_file);
    error = read_text(command.stderr_file);
}

// Sends the command and reads its stdout and stderr as text, then its exit status.
CommandResult run_for_result(Borrowed ssh, Borrowed command_text) {
    Command command = run(ssh, command_text);
    CommandResult result;
    result.output = read_text(command.stdout_file);
    result.error = read_text(command.stderr_file);
    Owned channel = bridge::getattr(command.stdout_file, name(N::channel));
    Owned status = io::bounded(command.connection,
                               [&] { return bridge::call_method(channel, name(N::recv_exit_status)); });
    result.exit_status = PyLong_AsLong(status.get());
    if (result.exit_status == -1 && PyErr_Occurred()) bridge::throw_error();
    return result;
}

// True when `scontrol ping` says the controller is down: a non-zero exit
// status and "DOWN" in what it printed.  A command that cannot run (no
// scontrol on the login node) or answers UP says nothing of the kind.
bool controller_down(Borrowed ssh) {
    Command command = run(ssh, bridge::str_from("scontrol ping"));
    if (succeeded(command)) return false;
    Owned down = bridge::str_from("DOWN");
    for (Borrowed file : {command.stdout_file.borrow(), command.stderr_file.borrow()}) {
        if (bridge::check_status(PySequence_Contains(read_text(file).get(), down.get())) != 0) return true;
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
    if (Owned state = state_in(remote_shell::read_text(squeue.stdout_file))) return state;

    auto sacct = remote_shell::run(ssh, concat({"sacct -j ", job, " -n -o State -X 2>/dev/null | head -1"}));
    if (Owned state = state_in(remote_shell::read_text(sacct.stdout_file))) return state;
    return bridge::str_from("UNKNOWN");
}

// The expanded text of a command that succeeded and printed something, else null.
Owned expansion_of(Borrowed ssh, Borrowed command_text) {
    auto command = remote_shell::run(ssh, command_text);
    if (!remote_shell::succeeded(command)) return {};
    Owned text = remote_shell::read_text(command.stdout_file);
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
        Owned error = remote_shell::read_text(mkdir.stderr_file);
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
