// The HPC profile and the options of a pass, checked and converted once
// (defined in profile.cpp): everything later steps of the pass need, so none
// of them reads the options again.
#pragma once

#include "redaction.hpp"
#include "runtime.hpp"

#include <string>

namespace clusterlane {

struct Profile {
    Owned host;             // as the profile gives it: the host of log lines and messages
    Owned port;             // an int or a text of digits, from 1 to 65535
    Owned username;
    Owned remote_work_dir;  // as the profile gives it; the cluster's shell expands it
    Owned io_timeout;       // as the profile wrote it (300 when it has none), for the timeout text
    double io_seconds = 0;  // ioTimeout in seconds (at most 1e9)
    Owned connect_kwargs;   // the keyword arguments of SSHClient.connect
    // What the way to the cluster depends on besides (jump_hosts.hpp), each
    // as the profile gives it, None when it has none.
    Owned port_given;       // "port"
    Owned passphrase;       // "keyPassphrase"
    bool key_auth = true;   // authMethod "key"
    Owned proxy_jump;       // "proxyJump"
    Owned ssh_config;       // "sshConfig"
    Owned host_key_policy;  // "hostKeyPolicy"
    Owned script;           // the SLURM script template
    bool force = false;     // "Force Resubmit"
    // "keepConnection": how long the connection stays open for later passes
    // once this one is done with it, in seconds; 0 (the default): closed
    // at the end of the pass.
    double keep_seconds = 0;
    // The connection's settings as one text (connection_key), empty when
    // the connection is not kept.
    std::string keep_key;
};

// Checks the profile in hpc_options and the script, in this order: a
// profile at all, its required fields (the profile logged with its
// passphrase masked when one is missing), a script, port, ioTimeout and
// remoteWorkDir values, hostKeyPolicy, sshConfig and proxyJump, the node ID; each refusal is a NodeException
// "configuration".  Then converts them and logs the force flag at "debug".
Profile resolve_profile(Borrowed self, Borrowed flow_vars, Borrowed hpc_options, Secrets& secrets);

// The text that tells kept connections apart (connection_pool.hpp): host,
// address, port, user, key file and passphrase (from `connect_kwargs`, once
// the route has added what the ssh config gives), jump hosts, ssh config,
// host key policy, authentication method and ioTimeout.  Empty when a value
// cannot be written out (the connection is then not kept).  Call it once the
// route is planned.
std::string connection_key(const Profile& profile);

// Raises NodeException "configuration" when the remote work directory (as
// the profile gives it, or as the cluster expanded it) holds a line break
// or a NUL; a value that is not text is left to the steps that use it.
void check_work_dir(Borrowed work_dir);

// True when the failure is the NodeException check_work_dir raises, as it
// raised it.  Never raises.
bool is_work_dir_refusal(Borrowed failure);

}  // namespace clusterlane
