// The three shell methods of a node on a connected SSH client: the state of
// a job (squeue, then sacct), a remote path expanded by the cluster's shell,
// and a remote directory created.  And whether SLURM's controller answers.
#include "shell_methods.hpp"

#include "bridge/statements.hpp"
#include "methods.hpp"
#include "remote_command.hpp"
#include "slurm_states.hpp"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

namespace clusterlane {

// True when `scontrol ping` says the controller is down: a non-zero exit
// status and "DOWN" in what it printed.  A command that cannot run (no
// scontrol on the login node) or answers UP says nothing of the kind.
bool controller_down(Borrowed ssh) {
    remote_shell::CommandResult command = remote_shell::run(ssh, bridge::str_from("scontrol ping"));
    if (command.succeeded()) return false;
    Owned down = bridge::str_from("DOWN");
    for (Borrowed data : {command.stdout_data.borrow(), command.stderr_data.borrow()}) {
        if (bridge::contains(remote_shell::read_text(data), down)) return true;
    }
    return false;
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
    if (Owned state = state_in(squeue.output())) return state;

    auto sacct = remote_shell::run(ssh, concat({"sacct -j ", job, " -n -o State -X 2>/dev/null | head -1"}));
    if (Owned state = state_in(sacct.output())) return state;
    return bridge::str_from("UNKNOWN");
}

// The expanded text of a command that succeeded and printed something, else null.
Owned expansion_of(Borrowed ssh, Borrowed command_text) {
    auto command = remote_shell::run(ssh, command_text);
    if (!command.succeeded()) return {};
    Owned text = command.output();
    if (!bridge::truthy(text)) return {};
    return text;
}

// The same for a command that prints the path with printf '%s\n': its output
// less that one newline, with every other character kept (blanks at either
// end belong to the path).
Owned exact_expansion_of(Borrowed ssh, Borrowed command_text) {
    auto command = remote_shell::run(ssh, command_text);
    if (!command.succeeded()) return {};
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
    if (!mkdir.succeeded()) {
        Owned error = mkdir.error();
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
