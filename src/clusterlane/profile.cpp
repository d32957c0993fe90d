// The HPC profile of a pass, checked and converted once: the required
// fields, the port, ioTimeout and the remote work directory, the script, the
// force flag, and SSHClient.connect's keyword arguments.
#include "profile.hpp"

#include "bridge/statements.hpp"
#include "jump_hosts.hpp"
#include "node_id.hpp"
#include "options.hpp"
#include "pass_worker.hpp"
#include "support.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <string_view>

namespace clusterlane {

namespace {

using bridge::concat;

constexpr long long kDefaultIoTimeout = 300;

constexpr std::string_view kWorkDirBreaks =
    "HPC profile field 'remoteWorkDir' must not contain line breaks or NUL characters";

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
    Owned names = bridge::join(", ", missing);
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

// A port is an int (not a bool) or a text of ASCII digits, from 1 to 65535.
// The socket layer would wrap a larger number around to some other port of
// the host and trust whatever answers there.
bool is_valid_port(Borrowed port) {
    if (PyLong_Check(port.get()) && !PyBool_Check(port.get())) {
        const std::optional<long long> value = bridge::to_long_long_if_fits(port);
        return value && *value >= 1 && *value <= 65535;
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

// "keepConnection" 0 (int or float, not False) keeps nothing, as no value does.
bool is_off(Borrowed seconds) {
    if (PyBool_Check(seconds.get())) return false;
    if (PyLong_Check(seconds.get())) return !bridge::truthy(seconds);
    return PyFloat_Check(seconds.get()) && bridge::float_value(seconds) == 0.0;
}

void check_profile_values(Borrowed profile) {
    if (!is_valid_port(option(profile, "port", bridge::integer(22))))
        raise_node_exception("configuration",
                             bridge::str_from("HPC profile field 'port' must be a whole number from 1 to 65535"));
    if (!is_valid_seconds(option(profile, "ioTimeout", bridge::integer(kDefaultIoTimeout))))
        raise_node_exception("configuration",
                             bridge::str_from("HPC profile field 'ioTimeout' must be a positive number of seconds"));
    Owned keep = option(profile, "keepConnection", bridge::integer(0));
    if (!is_off(keep) && !is_valid_seconds(keep))
        raise_node_exception("configuration", bridge::str_from("HPC profile field 'keepConnection' must be a "
                                                               "positive number of seconds"));
    check_work_dir(option(profile, "remoteWorkDir"));
    known_hosts::policy_of(option(profile, "hostKeyPolicy"));
    ssh_config::check_setting(option(profile, "sshConfig"));
    jump_hosts::check_setting(option(profile, "proxyJump"));
}

// The connection's values and SSHClient.connect's keyword arguments: host,
// port and user always; the key file (a leading "~" expanded) and its
// passphrase for key authentication; when the profile sets ioTimeout, the
// same bound on the connect's waits (TCP connect, the server's banner,
// authentication).
void connection_settings(Borrowed profile, Profile& p) {
    p.host = option(profile, "host");
    p.port = option(profile, "port", bridge::integer(22));
    p.username = option(profile, "username");
    p.remote_work_dir = option(profile, "remoteWorkDir");
    p.io_timeout = option(profile, "ioTimeout", bridge::integer(kDefaultIoTimeout));
    Owned seconds = io::seconds_of(p.io_timeout);
    p.io_seconds = bridge::float_value(seconds);
    p.connect_kwargs = bridge::new_dict();

    Owned auth_method = option(profile, "authMethod", bridge::str_from("key"));
    Owned key_filename = option(profile, "keyFilename");
    Owned passphrase = option(profile, "keyPassphrase");
    if (bridge::truthy(key_filename) && PyUnicode_Check(key_filename.get()) &&
        bridge::truthy(bridge::call_method(key_filename, name(N::startswith), bridge::str_from("~")))) {
        key_filename = os_path(N::expanduser, key_filename);
    }

    bridge::dict_set(p.connect_kwargs, name(N::hostname), p.host);
    bridge::dict_set(p.connect_kwargs, name(N::port), p.port);
    bridge::dict_set(p.connect_kwargs, name(N::username), p.username);
    if (!option(profile, "ioTimeout").borrow().is_none()) {
        for (N keyword : {N::timeout, N::banner_timeout, N::auth_timeout})
            bridge::dict_set(p.connect_kwargs, name(keyword), seconds);
    }
    p.port_given = option(profile, "port");
    p.passphrase = passphrase;
    p.key_auth = bridge::equal(auth_method, bridge::str_from("key"));
    p.proxy_jump = option(profile, "proxyJump");
    p.ssh_config = option(profile, "sshConfig");
    p.host_key_policy = option(profile, "hostKeyPolicy");
    Owned keep = option(profile, "keepConnection", bridge::integer(0));
    if (!is_off(keep)) p.keep_seconds = bridge::float_value(io::seconds_of(keep));
    if (p.key_auth && bridge::truthy(key_filename)) {
        bridge::dict_set(p.connect_kwargs, name(N::key_filename), key_filename);
        if (bridge::truthy(passphrase)) bridge::dict_set(p.connect_kwargs, name(N::passphrase), passphrase);
    }
}

}  // namespace

Profile resolve_profile(Borrowed self, Borrowed flow_vars, Borrowed hpc_options, Secrets& secrets) {
    Owned profile = option(hpc_options, "hpc_profile");
    if (!bridge::truthy(profile))
        raise_node_exception("configuration", bridge::str_from("HPC profile data not provided. Please select an HPC "
                                                               "profile in the Advanced Options panel."));
    validate_profile(profile, secrets);
    Profile p;
    p.script = script_template(self, hpc_options);
    if (!bridge::truthy(p.script))
        raise_node_exception("configuration", bridge::str_from("SLURM script is required for remote execution."));

    check_profile_values(profile);
    check_node_id(self);
    connection_settings(profile, p);

    // The options' flag as found there when it is set, else the truth value
    // of the node's own "force_resubmit" option.
    Owned force = option_flag(flow_vars, hpc_options, "force_resubmit", Flag::truth_value);
    hpc_log(self, "debug", concat({"force_resubmit = ", bridge::str(force)}));
    p.force = bridge::truthy(force);
    return p;
}

std::string connection_key(const Profile& p) {
    if (p.keep_seconds <= 0) return {};
    std::string key;
    // repr() of the profile's values: a value of the caller's whose repr
    // fails (or that is no plain value at all) leaves the connection unkept.
    bridge::attempt([&] {
        Owned settings = bridge::tuple_of(p.host, p.connect_kwargs, p.proxy_jump, p.ssh_config, p.host_key_policy,
                                          bridge::boolean(p.key_auth), p.io_timeout);
        key = std::string(bridge::utf8(bridge::repr(settings)));
    });
    return key;
}

// A line break would end the commands the directory goes into (and a NUL
// cannot be sent at all); SLURM and the job query read it line by line too.
void check_work_dir(Borrowed work_dir) {
    if (PyUnicode_Check(work_dir.get()) && bridge::str_has_any_of(work_dir, {U'\n', U'\r', U'\0'}))
        raise_node_exception("configuration", bridge::str_from(kWorkDirBreaks));
}

bool is_work_dir_refusal(Borrowed failure) {
    return bridge::error_is(failure, global(N::NodeException), {"configuration", kWorkDirBreaks});
}

}  // namespace clusterlane
