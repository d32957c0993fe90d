// Host keys as OpenSSH reads them, for every connection of a pass (the
// cluster's and each jump host's): ~/.ssh/known_hosts and the system-wide
// /etc/ssh/ssh_known_hosts, revoked keys refused, and the key of a host seen
// for the first time pinned in ~/.ssh/known_hosts (accept-new).
//
// paramiko's load_system_host_keys() reads ~/.ssh/known_hosts; when it
// raises (a line it cannot parse: @cert-authority, @revoked, garbage, a
// broken hashed entry) the file is read line by line instead, as is the
// system-wide file always, and a line that cannot be read is skipped.
// @cert-authority lines are skipped (paramiko checks no host certificates):
// such a host's plain key counts as unknown.  The keys of @revoked lines are
// refused whatever host shows them.
#pragma once

#include "runtime.hpp"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace clusterlane::known_hosts {

// The profile's "hostKeyPolicy".
enum class Policy {
    accept_new,  // an unknown host's key is accepted and pinned (the default)
    strict,      // an unknown host is refused before authentication
    accept,      // an unknown host's key is accepted for this connection only
};

// "accept-new", "strict" or "accept"; absent (None) is accept-new.  Any
// other value raises the "configuration" NodeException.
Policy policy_of(Borrowed value);

class HostKeys {
public:
    HostKeys(Borrowed paramiko, Borrowed self, Policy policy);

    // Before client.connect(): the policy for an unknown host, then the known
    // hosts.  `host` names the host in messages.
    void prepare(Borrowed client, Borrowed host);

    // Right after client.connect(), before anything else uses the
    // connection: a revoked key ends the pass ("ssh"); the key of a host
    // that was unknown is pinned when the policy says so, hashed when
    // `hash_wanted()` (HashKnownHosts applies to the host).
    void connected(Borrowed client, Borrowed host, const std::function<bool()>& hash_wanted);

    // True when `failure` is a refusal of this pass's host keys (an unknown
    // host under "strict", a revoked key); its text is the whole message.
    // Never raises.
    bool refused(Borrowed failure) const;

private:
    struct File {
        Owned path;
        std::vector<Owned> entries;  // paramiko HostKeyEntry objects
        bool parsed = false;
    };
    void scan(File& file, bool entries_wanted);
    void load_entries(Borrowed client, const File& file);
    [[noreturn]] void refuse(Owned message);
    void pin(Borrowed host, Borrowed pattern, Borrowed key, bool hash);

    Borrowed paramiko_;
    Borrowed self_;
    Policy policy_;
    File user_;
    File system_;
    bool scanned_ = false;
    std::map<std::string, Owned> revoked_;  // base64 key blob -> the file revoking it
    std::vector<std::pair<Owned, Owned>> watches_;  // client -> what its policy saw
    Owned refusals_;  // every refusal raised, for refused()
};

}  // namespace clusterlane::known_hosts
