// The SSH connections kept open between passes ("keepConnection"), defined
// in connection_pool.cpp.
//
// A pass done with its connection hands it here under the key of its
// connection settings (connection_key in profile.hpp); a later pass with
// the same settings takes it back, so that it sends its first command
// without a new login.  A connection is used by one pass at a time: taking
// it removes it from the pool.  At most kMaxIdle connections are kept per
// key, the oldest closed first; one idle for longer than its pass's
// "keepConnection" is closed when a pass next takes or keeps one, and by the
// pool's daemon thread, which runs while anything is kept.  All are closed
// at interpreter exit.
//
// The pool belongs to the module (the one interpreter that loaded it) and to
// the process that kept its connections: a process forked from it finds the
// pool empty, and lets go of the parent's connections without closing them
// (closing a channel sends its close on the parent's session).
//
// Everything here runs with the GIL held; the pool's entries are moved in and
// out without a call into Python in between, and connections are closed only
// once they have left the pool, so no lock is ever held across a network
// wait.
#pragma once

#include "runtime.hpp"

#include <optional>
#include <string>
#include <vector>

namespace clusterlane::pool {

inline constexpr size_t kMaxIdle = 4;

// One SSH connection and what it goes through.
struct Connection {
    Owned client;             // the cluster's SSHClient
    std::vector<Owned> hops;  // the jump hosts' SSHClients, the nearest first
    Owned proxy;              // the ProxyCommand socket, null when none
};

struct Taken {
    Connection connection;
    double idle_seconds = 0;  // since its last pass handed it back
};

// A new, empty pool, boxed (the module keeps it in its state).
Owned new_pool();

// The connection of `key` handed back last, out of the pool; nullopt when
// none is idle.  Connections idle for longer than their time are closed first.
std::optional<Taken> take(const std::string& key);

// Keeps `connection` under `key` for `seconds` of idleness.
void keep(const std::string& key, Connection connection, double seconds);

// Closes the client, then the jump hosts, then the proxy: all of them,
// whatever happens.  What closing raises of the Exception family is dropped
// (the connection is being thrown away); an interrupt is raised again once
// everything is closed.
void close(Connection& connection);

}  // namespace clusterlane::pool
