// _run_remote: one pass of a node's cluster job (submit, report, or collect).
//
// A pass validates the profile, connects over SSH, expands the remote work
// directory, and then looks at the job recorded by the previous pass: a job
// SLURM still holds is reported, a completed one is collected, an ended one
// is reported as a failure, and anything else leads to a new submission
// (which first looks for a job still running in the job directory).
// Every failure after the connection attempt starts is mapped to a
// NodeException ("authentication", "ssh" or "remote_execution"), and the SSH
// client is closed on every way out of that phase.
#include "bridge/statements.hpp"
#include "jump_hosts.hpp"
#include "methods.hpp"
#include "options.hpp"
#include "pass_lock.hpp"
#include "pass_worker.hpp"
#include "redaction.hpp"
#include "shell.hpp"
#include "slurm_states.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string_view>
#include <vector>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace clusterlane {

namespace {

using bridge::concat;
using bridge::Param;

constexpr long long kDefaultIoTimeout = 300;

// The ImportError stays attached as the context of the NodeException.
Owned import_paramiko() {
    return bridge::try_except([] { return bridge::import("paramiko"); }, PyExc_ImportError, [](Borrowed) -> Owned {
        raise_node_exception("dependency", bridge::str_from("Remote HPC execution requires paramiko. Install with: "
                                                            "pip install paramiko"));
    });
}

// A required profile value is missing when it is falsy or only whitespace.
bool is_missing(Borrowed value) {
    if (!bridge::truthy(value)) return true;
    if (!PyUnicode_Check(value.get())) return false;
    return !bridge::truthy(bridge::call_method(value, name(N::strip)));
}

// The profile must name a host, a user and a remote work directory.  The
// profile goes to the log with its key passphrase masked.
void validate_profile(Borrowed profile, Secrets& secrets) {
    Owned missing = bridge::new_list();
    for (const char* key : {"host", "username", "remoteWorkDir"})
        if (is_missing(option(profile, key))) bridge::list_append(missing, bridge::str_from(key));
    if (!bridge::truthy(missing)) return;

    log(secrets.masked(concat({"HPC profile validation failed. Profile data: ", bridge::str(profile)})));
    Owned names = bridge::check(PyUnicode_Join(bridge::str_from(", ").get(), missing.get()));
    raise_node_exception("configuration", concat({"HPC profile is missing required fields: ", names,
                                                  ". Please check your HPC profile configuration in Settings."}));
}

// The options' script, else the one execute() stored on the node.
Owned script_template(Borrowed self, Borrowed hpc_options) {
    Owned script = option(hpc_options, "slurm_script", bridge::str_from(""));
    if (bridge::truthy(script)) return script;
    Owned stored = bridge::getattr_optional(self, name(N::_slurm_script));
    return stored ? stored : bridge::none();
}

// The options' flag as found there when it is set, else the truth value of
// the node's own "force_resubmit" option.
Owned force_resubmit(Borrowed flow_vars, Borrowed hpc_options) {
    return option_flag(flow_vars, hpc_options, "force_resubmit", Flag::truth_value);
}

// ---- checked profile values ---------------------------------------------------

// A port is an int (not a bool) or a text of ASCII digits, from 1 to 65535.
// The socket layer would wrap a larger number around to some other port of
// the host and trust whatever answers there.
bool is_valid_port(Borrowed port) {
    if (PyLong_Check(port.get()) && !PyBool_Check(port.get())) {
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(port.get(), &overflow);
        if (value == -1 && PyErr_Occurred()) bridge::throw_error();
        return overflow == 0 && value >= 1 && value <= 65535;
    }
    if (!PyUnicode_Check(port.get())) return false;
    std::string_view text = bridge::utf8(port);
    if (text.empty()) return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = std::min(value * 10 + (c - '0'), 65536L);  // saturates: any larger value is out of range
    }
    return value >= 1 && value <= 65535;
}

// Seconds are an int or a float (not a bool), greater than 0 and finite.
bool is_valid_seconds(Borrowed seconds) {
    if (PyBool_Check(seconds.get())) return false;
    if (PyLong_Check(seconds.get())) {
        Owned zero = bridge::integer(0);
        return bridge::compare(seconds, bridge::Order::greater, zero);
    }
    if (!PyFloat_Check(seconds.get())) return false;
    const double value = bridge::float_value(seconds);
    return std::isfinite(value) && value > 0;
}

void check_profile_values(Borrowed profile) {
    if (!is_valid_port(option(profile, "port", bridge::integer(22))))
        raise_node_exception("configuration",
                             bridge::str_from("HPC profile field 'port' must be a whole number from 1 to 65535"));
    if (!is_valid_seconds(option(profile, "ioTimeout", bridge::integer(kDefaultIoTimeout))))
        raise_node_exception("configuration",
                             bridge::str_from("HPC profile field 'ioTimeout' must be a positive number of seconds"));
    check_work_dir(option(profile, "remoteWorkDir"));
    known_hosts::policy_of(option(profile, "hostKeyPolicy"));
    ssh_config::check_setting(option(profile, "sshConfig"));
    jump_hosts::check_setting(option(profile, "proxyJump"));
}

// ---- the node ID names files -------------------------------------------------

// The node ID names the job directory ("job_" + ID) and the local state and
// lock files (".zentrel_hpc_" + ID + ".json.lock" the longest of them): an
// ID with a '/' would point elsewhere, a line break would make the job
// directory's `pwd -P` line match another node's directory, a NUL cannot be
// in a file name, and a name must fit in 255 bytes.  Checked before anything
// is created, locally or on the cluster.
constexpr size_t kLongestFileName = 255;
constexpr size_t kLongestNodeId =
    kLongestFileName - kStateFilePrefix.size() - kStateFileSuffix.size() - kLockFileSuffix.size();

void check_node_id(Borrowed self) {
    Owned id = bridge::str(bridge::getattr(self, name(N::node_id)));
    std::string_view text;
    const bool encodable = bridge::attempt([&] { text = bridge::utf8(id); });
    constexpr std::string_view kRefused("/\n\r\0", 4);
    if (encodable && text.size() <= kLongestNodeId && text.find_first_of(kRefused) == std::string_view::npos) return;
    raise_node_exception("configuration",
                         concat({"Node ID ", bridge::repr(id),
                                 " cannot name a job directory and state file: it must not contain '/', line breaks "
                                 "or NUL characters and must be at most ",
                                 bridge::str(bridge::integer(static_cast<long long>(kLongestNodeId))),
                                 " bytes long"}));
}

struct Connection {
    Owned host;
    Owned port;
    Owned username;
    Owned remote_work_dir;
    Owned io_timeout;      // seconds of silence after which a wait on the cluster gives up
    Owned connect_kwargs;  // the keyword arguments of SSHClient.connect
};

Connection connection_settings(Borrowed profile) {
    Connection c{option(profile, "host"),
                 option(profile, "port", bridge::integer(22)),
                 option(profile, "username"),
                 option(profile, "remoteWorkDir"),
                 option(profile, "ioTimeout", bridge::integer(kDefaultIoTimeout)),
                 bridge::new_dict()};
    Owned auth_method = option(profile, "authMethod", bridge::str_from("key"));
    Owned key_filename = option(profile, "keyFilename");
    Owned passphrase = option(profile, "keyPassphrase");
    if (bridge::truthy(key_filename) && PyUnicode_Check(key_filename.get()) &&
        bridge::truthy(bridge::call_method(key_filename, name(N::startswith), bridge::str_from("~")))) {
        key_filename = os_path(N::expanduser, key_filename);
    }

    bridge::dict_set(c.connect_kwargs, name(N::hostname), c.host);
    bridge::dict_set(c.connect_kwargs, name(N::port), c.port);
    bridge::dict_set(c.connect_kwargs, name(N::username), c.username);
    // Asked for a bound on waits, the connection gets it too (TCP connect,
    // the server's banner, authentication).
    if (Owned io_timeout = option(profile, "ioTimeout"); io_timeout.get() != Py_None) {
        Owned seconds = io::seconds_of(io_timeout);
        for (N keyword : {N::timeout, N::banner_timeout, N::auth_timeout})
            bridge::dict_set(c.connect_kwargs, name(keyword), seconds);
    }
    if (bridge::equal(auth_method, bridge::str_from("key")) && bridge::truthy(key_filename)) {
        bridge::dict_set(c.connect_kwargs, name(N::key_filename), key_filename);
        if (bridge::truthy(passphrase)) bridge::dict_set(c.connect_kwargs, name(N::passphrase), passphrase);
    }
    return c;
}

// Requests go out at once.  With Nagle's algorithm a download's small read
// requests can wait for the server's delayed ACKs: two passes downloading on
// two threads of one process were seen to fall into that rhythm, about 7 ms
// per 32 KiB chunk (45 s instead of 3 s for 200 MiB).  Best effort: a
// transport that is no TCP socket (a proxy command, say) is left as it is.
void send_without_delay(Borrowed ssh) {
    bridge::try_except(
        [&] {
            Owned transport = bridge::call_method(ssh, name(N::get_transport));
            Owned sock = transport.get() == Py_None ? Owned{} : bridge::getattr_optional(transport, name(N::sock));
            if (!sock) return;
            const long fd = PyLong_AsLong(bridge::call_method(sock, name(N::fileno)).get());
            if (fd == -1 && PyErr_Occurred()) bridge::throw_error();
            const int on = 1;
            ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // refused: nothing lost
        },
        PyExc_Exception, [](Borrowed) {});
}

// ---- the guarded phase --------------------------------------------------------

struct Pass {
    Borrowed self;
    Borrowed flow_vars;
    Borrowed hpc_options;
    Borrowed ssh;
    const Connection& connection;
    io::PassWorker& worker;
    Borrowed script;
    bool force;
    Secrets& secrets;  // masked in the texts of a failure
    jump_hosts::Route& route;  // ssh config, jump hosts and host keys of the connection
};

// The state as text to compare with SLURM's state names.  A state that is
// not text (an override may return anything) matches none of them.
std::string_view comparable_text(Borrowed state) {
    if (!PyUnicode_Check(state.get())) return {};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(state.get(), &size);
    if (!data) {  // lone surrogates: no SLURM state name either
        PyErr_Clear();
        return {};
    }
    return {data, static_cast<size_t>(size)};
}

Owned length_of(Borrowed summary, const char* key) {
    Owned value = option(summary, key, bridge::new_list());
    return bridge::integer(bridge::length(value));
}

// Downloads the outputs of the completed job and builds the node's result data.
Owned collect_completed_job(const Pass& p, Borrowed sftp, Borrowed remote_job_dir, Borrowed job_id) {
    hpc_log(p.self, "info", bridge::str_from("Job completed, downloading output files"), {{name(N::job_id), job_id}});
    Owned local_dir = call_self(p.self, N::_get_local_working_dir, p.flow_vars);
    Owned summary =
        call_self(p.self, N::_retrieve_output_files_ssh, sftp, p.flow_vars, remote_job_dir, p.hpc_options);
    Owned data = call_self(p.self, N::build_hpc_result_data, p.flow_vars, local_dir);

    Owned skipped = option(summary, "skipped");
    Owned remote_files = option(summary, "remote_files");
    if (bridge::truthy(remote_files)) {
        bridge::check_status(PyObject_SetItem(data.get(), bridge::str_from("remote_files").get(), remote_files.get()));
        bridge::check_status(PyObject_SetItem(data.get(), bridge::str_from("skipped_large_files").get(), skipped.get()));
    }

    Owned result_keys = bridge::truthy(data)
                            ? bridge::check(PySequence_List(bridge::call_method(data, name(N::keys)).get()))
                            : bridge::new_list();
    hpc_log(p.self, "info", bridge::str_from("Results retrieved successfully"),
            {{name(N::job_id), job_id},
             {name(N::result_keys), result_keys},
             {name(N::downloaded), length_of(summary, "downloaded")},
             {name(N::skipped), length_of(summary, "skipped")}});

    Owned message = bridge::str_from("Job completed, results retrieved");
    if (bridge::truthy(skipped))
        message = concat({message, " (", bridge::str(bridge::integer(bridge::length(skipped))), " large files skipped)"});

    Owned result = run_result(true, bridge::str_from("completed"), job_id);
    bridge::dict_set(result, "message", message);
    bridge::dict_set(result, "data", data);
    return result;
}

// Reports, collects or drops the job recorded by the previous pass.  Returns
// null when a new job is to be submitted.
Owned follow_previous_job(const Pass& p, Borrowed sftp, Borrowed remote_job_dir, Borrowed job_id) {
    hpc_log(p.self, "info", concat({"Checking existing job status: ", bridge::str(job_id)}),
            {{name(N::job_id), job_id}});
    Owned state = call_self(p.self, N::_get_slurm_job_status, p.ssh, job_id);
    hpc_log(p.self, "info", concat({"SLURM job status: ", bridge::str(state)}),
            {{name(N::job_id), job_id}, {name(N::status), state}});

    const std::string_view state_text = comparable_text(state);
    if (state_text == "COMPLETED") return collect_completed_job(p, sftp, remote_job_dir, job_id);

    if (slurm_states::job_is_alive(state_text)) return held_job_result(state, job_id);
    if (slurm_states::job_ended_without_success(state_text)) {
        Owned lower = bridge::call_method(state, name(N::lower));
        hpc_log(p.self, "warning", concat({"Previous job ", lower}),
                {{name(N::job_id), job_id}, {name(N::status), state}});
        Owned result = run_result(false, lower, job_id);
        bridge::dict_set(result, "message",
                         concat({"Previous job ", lower, ". Set 'Force Resubmit' to try again."}));
        return result;
    }
    // squeue and sacct both print nothing while the controller is down; the
    // job may well still run, so nothing is submitted until SLURM answers.
    if (state_text == "UNKNOWN" && remote_shell::controller_down(p.ssh))
        raise_node_exception("slurm", concat({"SLURM controller unreachable; state of job ", bridge::str(job_id),
                                              " unknown, nothing resubmitted"}));
    return {};  // gone or in a state we cannot follow: submit afresh
}

// How long a forced submission waits for cancelled jobs to go: 30 seconds,
// or ioTimeout when that is shorter.
double cancel_wait_limit(const Connection& c) {
    constexpr double kLongest = 30;
    return std::min(kLongest, bridge::float_value(io::seconds_of(c.io_timeout)));
}

Owned guarded_phase(const Pass& p) {
    const Connection& c = p.connection;
    hpc_log(p.self, "info", concat({"Connecting to HPC cluster: ", bridge::str(c.host), ":", bridge::str(c.port)}),
            {{name(N::hostname), c.host}, {name(N::port), c.port}, {name(N::username), c.username}});
    // Jump hosts first; known hosts loaded before each connect, so a host
    // whose key contradicts them is refused, and checked again after it.
    p.route.connect(p.ssh, c.connect_kwargs, send_without_delay);
    p.worker.attach_client(p.ssh);
    send_without_delay(p.ssh);
    hpc_log(p.self, "info", bridge::str_from("SSH connection established"));

    Owned work_dir = call_self(p.self, N::_expand_remote_path, p.ssh, c.remote_work_dir);
    check_work_dir(work_dir);  // a variable's value may hold the line break; nothing is created yet
    if (!bridge::equal(work_dir, c.remote_work_dir))
        hpc_log(p.self, "debug",
                concat({"Expanded remote work dir: ", bridge::str(c.remote_work_dir), " -> ", bridge::str(work_dir)}));

    Owned sftp = io::bounded(p.ssh, [&] { return bridge::call_method(p.ssh, name(N::open_sftp)); });
    p.worker.attach_sftp(sftp);
    Owned job_dir = remote_job_dir(work_dir, p.self);

    // From here to the end of the pass no other pass of this node runs.
    Owned state_path = call_self(p.self, N::_get_state_file_path);
    PassLock lock(p.self, state_path);
    Owned previous = call_self(p.self, N::_load_previous_result);
    if (bridge::truthy(previous)) {
        Owned job_id = option(previous, "remote_job_id");
        if (bridge::truthy(job_id) && !p.force) {
            if (Owned outcome = follow_previous_job(p, sftp, job_dir, job_id)) return outcome;
        }
    }
    check_record_writable(state_path);
    return submit_job(p.self, p.ssh, sftp, p.flow_vars, job_dir, p.script, p.force, cancel_wait_limit(c));
}

// Logs the failure and raises the NodeException that replaces it, with the
// failure as its context.  Runs while the failure is being handled, so the
// logging hook sees it and anything raised there chains to it.
//
// Before the client is connected, only SSHClient.connect waits on the
// server.  When ioTimeout bounds that wait (its timeout, banner_timeout and
// auth_timeout), paramiko reports running out of time as:
// - the TCP connect: socket.timeout (TimeoutError) from socket.connect;
// - the server's banner: SSHException "Error reading SSH protocol banner"
//   raised while handling the read's socket.timeout (its __context__).  More
//   often start_client's own wait (the same `timeout`) for the key exchange,
//   banner included, ends first; connect's get_remote_server_key then raises
//   SSHException "No existing session" while the transport is still
//   negotiating, or has just ended on that banner timeout;
// - authentication: AuthenticationException "Authentication timeout."
// A refusal ("Authentication failed."), a connection that ended before or
// after the key exchange and every other SSH error keep their own mapping.
[[noreturn]] void raise_mapped_failure(const Pass& p, Borrowed paramiko, Borrowed failure) {
    // The expanded work directory refused: the profile's fault, not the
    // cluster's, so it reaches the caller as raised, without an error line.
    if (is_work_dir_refusal(failure)) bridge::restore_error(Owned::ref(failure.get()));
    const Connection& c = p.connection;
    // The cluster, or the jump host being connected when it failed.
    const jump_hosts::Peer at = p.route.failed_at(c.host, c.username, p.ssh);
    Owned text = p.secrets.masked(error_text(failure));
    Owned origin;
    Owned message;
    Owned ssh_error = bridge::getattr(paramiko, name(N::SSHException));
    Owned auth_error = bridge::getattr(paramiko, name(N::AuthenticationException));
    auto says = [](Borrowed error, const char* words) {
        return bridge::equal(bridge::str(error), bridge::str_from(words));
    };
    auto wait_timed_out = [&](Borrowed error) {
        if (bridge::error_matches(error, PyExc_TimeoutError)) return true;
        if (!bridge::error_matches(error, ssh_error)) return false;
        if (bridge::error_matches(error, auth_error)) return says(error, "Authentication timeout.");
        for (Owned link : {bridge::exception_cause(error), bridge::exception_context(error)})
            if (link && bridge::error_matches(link, PyExc_TimeoutError)) return true;
        return false;
    };
    auto negotiation_timed_out = [&] {
        if (!bridge::error_matches(failure, ssh_error) || bridge::error_matches(failure, auth_error) ||
            !says(failure, "No existing session"))
            return false;
        Owned transport = bridge::call_method(at.client, name(N::get_transport));
        if (transport.get() == Py_None || bridge::truthy(bridge::getattr(transport, name(N::initial_kex_done))))
            return false;
        if (bridge::truthy(bridge::call_method(transport, name(N::is_active)))) return true;
        Owned ended_on = bridge::getattr(transport, name(N::saved_exception));
        return ended_on.get() != Py_None && wait_timed_out(ended_on);
    };
    // Only before connecting and only when ioTimeout bounded the connect; a
    // paramiko object that cannot be read here means no timeout, never a new failure.
    auto connect_timed_out = [&] {
        if (p.worker.connected() || !bridge::dict_get(c.connect_kwargs, name(N::timeout))) return false;
        return bridge::try_except([&] { return wait_timed_out(failure) || negotiation_timed_out(); },
                                  PyExc_Exception, [](Borrowed) { return false; });
    };
    // A silent server, however the wait that noticed it ended.
    if (p.route.refused(failure)) {  // a host key refused: its text says it all
        hpc_log(p.self, "error", concat({"SSH error: ", text}), {{name(N::hostname), at.host}, {name(N::error), text}});
        origin = bridge::str_from("ssh");
        message = text;
    } else if (p.worker.expired() || (p.worker.connected() && bridge::error_matches(failure, PyExc_TimeoutError)) ||
               connect_timed_out()) {
        Owned timeout = at.jump_host ? io::timeout_text(at.host, c.io_timeout) : p.worker.timeout_text();
        hpc_log(p.self, "error", concat({"Remote execution error: ", timeout}), {{name(N::error), timeout}});
        origin = bridge::str_from("remote_execution");
        message = timeout;
    } else if (bridge::error_matches(failure, auth_error)) {
        Owned who = concat({"SSH authentication failed for ", bridge::str(at.username), "@", bridge::str(at.host),
                            at.jump_host ? " (jump host)" : ""});
        hpc_log(p.self, "error", who, {{name(N::hostname), at.host}, {name(N::username), at.username}});
        origin = bridge::str_from("authentication");
        message = concat({who, ". Please check your SSH key or credentials."});
    } else if (bridge::error_matches(failure, ssh_error)) {
        hpc_log(p.self, "error", concat({"SSH error: ", text}), {{name(N::hostname), at.host}, {name(N::error), text}});
        origin = bridge::str_from("ssh");
        message = concat({"SSH error connecting to ", bridge::str(at.host), ": ", text});
    } else {
        hpc_log(p.self, "error", concat({"Remote execution error: ", text}), {{name(N::error), text}});
        origin = bridge::str_from("remote_execution");
        message = text;
    }
    bridge::raise_in_context(bridge::call(global(N::NodeException), origin, message), Owned::ref(failure.get()));
}

// An interrupt or exit request (outside the Exception family) that is the
// failure or anywhere in its chain of causes and contexts: paramiko called by
// a node's own code on the calling thread turns a Ctrl-C during a transfer
// into an error of its own, and the worker must still learn that it was
// asked to stop.
Owned interruption_in(Borrowed failure) {
    std::vector<Borrowed> pending{failure};
    std::vector<Borrowed> seen;
    while (!pending.empty()) {
        Borrowed e = pending.back();
        pending.pop_back();
        if (std::find(seen.begin(), seen.end(), e) != seen.end()) continue;
        seen.push_back(e);
        if (!bridge::error_matches(e, PyExc_Exception)) return Owned::ref(e.get());
        // The links stay alive: each exception holds the next one.
        for (Owned next : {Owned::steal(PyException_GetCause(e.get())), Owned::steal(PyException_GetContext(e.get()))})
            if (next) pending.push_back(next.get());
    }
    return {};
}

// Runs the guarded phase; whatever happens, the client is closed afterwards,
// then the jump hosts.
Owned run_guarded(const Pass& p, Borrowed paramiko) {
    auto phase = [&] {
        Owned outcome = guarded_phase(p);
        // A wait that ran out of time ends the pass even when an override
        // absorbed the error it raised.
        if (p.worker.expired()) bridge::restore_error(bridge::call(PyExc_TimeoutError, p.worker.timeout_text()));
        return outcome;
    };
    auto mapped = [&](Borrowed failure) -> Owned {
        // Interrupts and exits pass unchanged, without an error line.
        if (Owned interruption = interruption_in(failure)) bridge::restore_error(std::move(interruption));
        raise_mapped_failure(p, paramiko, failure);
    };
    return bridge::try_finally([&] { return bridge::try_except(phase, PyExc_BaseException, mapped); },
                               [&] {
                                   bridge::try_finally([&] { p.worker.close_client(p.ssh); },
                                                       [&] { p.route.close(p.ssh); });
                               });
}

constexpr Param kRunRemoteParams[] = {bridge::self_param(), bridge::list_param("predecessor_data"),
                                      bridge::dict_param("flow_vars"), bridge::dict_param("hpc_options")};

Owned run_remote_body(const bridge::Args<kRunRemoteParams>& args) {
    Borrowed self = args.self();
    Borrowed flow_vars = args.get<"flow_vars">();
    Borrowed hpc_options = args.get<"hpc_options">();

    // Within execute(), the options it looked into are not walked again.
    Secrets own_secrets;
    Secrets* outer = SecretsScope::current();
    const bool reuse = outer && outer->scanned(hpc_options);
    Secrets& secrets = reuse ? *outer : own_secrets;
    if (!reuse) secrets.scan(hpc_options);

    Owned paramiko = import_paramiko();
    Owned profile = option(hpc_options, "hpc_profile");
    if (!bridge::truthy(profile))
        raise_node_exception("configuration", bridge::str_from("HPC profile data not provided. Please select an HPC "
                                                               "profile in the Advanced Options panel."));
    validate_profile(profile, secrets);
    Owned script = script_template(self, hpc_options);
    if (!bridge::truthy(script))
        raise_node_exception("configuration", bridge::str_from("SLURM script is required for remote execution."));

    check_profile_values(profile);
    check_node_id(self);

    Connection connection = connection_settings(profile);
    Owned force = force_resubmit(flow_vars, hpc_options);
    hpc_log(self, "debug", concat({"force_resubmit = ", bridge::str(force)}));

    // The way to the cluster: ssh config, jump hosts, host keys.
    Owned port = option(profile, "port");
    Owned passphrase = option(profile, "keyPassphrase");
    Owned proxy_jump = option(profile, "proxyJump");
    Owned ssh_config = option(profile, "sshConfig");
    Owned host_key_policy = option(profile, "hostKeyPolicy");
    jump_hosts::Route route(
        paramiko, self,
        {.host = connection.host,
         .port = port.get() == Py_None ? Borrowed{} : port.borrow(),
         .username = connection.username,
         .passphrase = passphrase.get() == Py_None ? Borrowed{} : passphrase.borrow(),
         .key_auth = bridge::equal(option(profile, "authMethod", bridge::str_from("key")), bridge::str_from("key")),
         .proxy_jump = proxy_jump,
         .ssh_config = ssh_config,
         .host_key_policy = host_key_policy,
         .io_timeout = connection.io_timeout},
        connection.connect_kwargs);
    connection.port = route.port();
    Owned ssh = bridge::call(bridge::getattr(paramiko, name(N::SSHClient)));

    io::PassWorker worker(connection.host, connection.io_timeout);
    return run_guarded(
        Pass{self, flow_vars, hpc_options, ssh, connection, worker, script, bridge::truthy(force), secrets, route},
        paramiko);
}

}  // namespace

namespace methods {

const bridge::FunctionSpec run_remote = bridge::function<kRunRemoteParams, run_remote_body>({
    .name = "_run_remote",
    .doc = "Run one pass of the node's SLURM job over SSH and return the run result dict.",
    .return_annotation = "dict",
    .result = bridge::ResultType::Dict,
});

}  // namespace methods

}  // namespace clusterlane
