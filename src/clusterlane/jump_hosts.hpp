// The way from here to the cluster: the profile's host looked up in the
// user's ssh config (HostName, Port, IdentityFile, ProxyJump, ProxyCommand,
// ServerAliveInterval; the profile's own fields win), then the jump hosts
// connected in order, each through a direct-tcpip channel of the one
// before, and finally the cluster through the last one's channel (or a
// ProxyCommand without jump hosts).  Every connection gets the pass's host
// key rules (known_hosts.hpp) for its own host pattern, and the connect
// bounds of the cluster's (ioTimeout).
#pragma once

#include "connection_pool.hpp"
#include "known_hosts.hpp"
#include "runtime.hpp"
#include "ssh_config.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace clusterlane::jump_hosts {

// One jump host as a proxyJump value writes it: [user@]host[:port].
struct Jump {
    Owned user;  // null when not written
    Owned host;
    Owned port;  // an int, null when not written
};

// "[user@]host[:port]", several separated by commas ("ssh://" before one
// and a bracketed IPv6 address are taken too); "none" is no jump host.
// nullopt when the text is not of that form.
std::optional<std::vector<Jump>> parse(Borrowed text);

// The profile's "proxyJump": absent, None, False, blank (all: no jump host
// of the profile's own) or text parse() takes; anything else raises the
// "configuration" NodeException.
void check_setting(Borrowed value);

// The profile values the way depends on.
struct Target {
    Borrowed host;             // "host", as messages name it
    Borrowed port;             // "port", null when the profile sets none
    Borrowed username;         // "username"
    Borrowed passphrase;       // "keyPassphrase", null when none
    bool key_auth;             // authMethod "key": an IdentityFile may apply
    Borrowed proxy_jump;       // "proxyJump", null when none
    Borrowed ssh_config;       // "sshConfig", null when none
    Borrowed host_key_policy;  // "hostKeyPolicy", null when none
    Borrowed io_timeout;       // ioTimeout in seconds (the profile's or the default)
};

// Whom a failure of the pass was met at: the cluster, or a jump host.
struct Peer {
    Owned host;
    Owned username;
    Owned client;  // its SSHClient (None before it was made)
    bool jump_host = false;
};

class Route {
public:
    // Looks the host up in the ssh config and plans the jump hosts.
    // `connect_kwargs` (the cluster's SSHClient.connect keywords from the
    // profile) gets the address, port and key file the ssh config adds.
    Route(Borrowed paramiko, Borrowed self, const Target& target, Borrowed connect_kwargs);
    Route(const Route&) = delete;
    Route& operator=(const Route&) = delete;

    // The port connected to on the cluster.
    Owned port() const { return port_; }

    // Connects the jump hosts, then `ssh` with `connect_kwargs` (and the
    // socket the way gives it), and checks each host key.  `tune` is applied
    // to each jump host's connected client (the cluster's is the caller's).
    void connect(Borrowed ssh, Borrowed connect_kwargs, void (*tune)(Borrowed client));

    // The cluster (`host`, `username`, `ssh`), or the jump host whose
    // connection was being made.
    Peer failed_at(Borrowed host, Borrowed username, Borrowed ssh) const;

    // True when `failure` is a host key refusal: its text is the message.
    bool refused(Borrowed failure) const { return host_keys_.refused(failure); }

    // Closes every jump host, the one nearest to us first (closing it ends
    // the channels of the others without a word on the network), after the
    // cluster's connection was closed; all of them whatever happens, then
    // re-raises the first error met.  The route can connect again afterwards.
    void close(Borrowed ssh);

    // The connection `ssh` made along this route, with its jump hosts and
    // proxy, for the pool: the route closes none of them any more.
    pool::Connection hand_over(Borrowed ssh);

    // A kept connection of the same settings: its jump hosts and proxy are
    // the route's from now on (closed by close()), and a failure is met at
    // the cluster.  Its client stays the caller's.
    void take_over(pool::Connection& kept);

    Borrowed paramiko() const { return paramiko_; }

private:
    struct Hop {
        Jump jump;
        Owned user;      // who logs in there
        Owned address;   // HostName, else the host
        Owned port;      // an int
        Owned key_file;  // null: paramiko's own search
        Owned keepalive; // ServerAliveInterval as an int, null when none
    };
    Owned open_channel(Borrowed through, Borrowed address, Borrowed port);
    void connect_one(Borrowed client, Borrowed host, Borrowed kwargs, Borrowed keepalive);

    Borrowed paramiko_;
    Borrowed self_;
    Target target_;
    ssh_config::Config config_;
    known_hosts::HostKeys host_keys_;
    Owned address_;
    Owned port_;
    Owned proxy_command_;  // ProxyCommand text (without jump hosts), null when none
    Owned keepalive_;
    Owned proxy_;          // the ProxyCommand socket once made
    Owned channel_timeout_;
    bool profile_key_ = false;  // the profile names the key file (else each host's IdentityFile)
    std::vector<Hop> hops_;
    std::vector<Owned> clients_;  // the jump hosts' SSHClients, in order
    size_t at_ = 0;               // the hop being connected; hops_.size(): the cluster
};

}  // namespace clusterlane::jump_hosts
