// Bounds every wait of a pass on the cluster by the profile's ioTimeout.
//
// paramiko blocks without limit in several places (the reply to an exec
// request, a command's exit status, SFTP transfers) when the server stops
// answering.  A pass therefore gets a watchdog: each blocking call on the
// connection runs as one bounded wait, and when a wait hears nothing from the
// server for ioTimeout seconds the watchdog closes the SSH transport, which
// wakes every blocked wait; the wait then raises TimeoutError "No answer from
// <host> for <N> seconds" instead of whatever paramiko raised on waking.
//
// The watchdog belongs to the connection: the SSH client and its SFTP client
// are registered with it for the pass, so helpers that only receive the
// client (the overridable shell helpers) find it, and a client of another
// pass or thread never does.  Calls on an unregistered client run unbounded,
// as paramiko makes them.
#pragma once

#include "runtime.hpp"

#include <memory>

namespace clusterlane::io {

struct Watchdog;

class PassDeadline {
public:
    // `host` and `timeout` (as the profile wrote it) make up the timeout text.
    PassDeadline(Borrowed host, Borrowed timeout);
    ~PassDeadline();
    PassDeadline(const PassDeadline&) = delete;
    PassDeadline& operator=(const PassDeadline&) = delete;

    // Starts watching `ssh` once connect() has returned.
    void watch_client(Borrowed ssh);
    // Watches the SFTP client opened on that connection as well.
    void watch_sftp(Borrowed sftp);

    bool connected() const noexcept { return connected_; }
    // True once a wait of this pass has run out of time.
    bool expired() const noexcept;
    // "No answer from <host> for <N> seconds"
    Owned timeout_text() const;

private:
    std::shared_ptr<Watchdog> dog_;
    bool connected_ = false;
};

// One wait on the cluster through the pass that watches `connection`
// (nothing when none does).  A timed wait arms the watchdog; an untimed one
// (reading a command's output, which its channel's timeout bounds) only
// shelters paramiko from Ctrl-C.  A wait that starts after the watchdog has
// fired raises the timeout at once.
enum class Timed : bool { No, Yes };

class Wait {
public:
    Wait(Borrowed connection, Timed timed);
    ~Wait();
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;

    // The call returned: its result, or the timeout when the watchdog fired meanwhile.
    Owned returned(Owned result);
    // The call raised (the error is set): the timeout replaces an Exception
    // when the watchdog fired meanwhile (the error stays as its context);
    // anything else propagates unchanged.
    [[noreturn]] void raised();

private:
    std::shared_ptr<Watchdog> dog_;
    Timed timed_;
};

// Runs `call` as one wait on `connection`, bounded by the watchdog unless untimed.
template <class F>
Owned bounded(Borrowed connection, F&& call, Timed timed = Timed::Yes) {
    Wait wait(connection, timed);
    Owned result;
    try {
        result = call();
    } catch (const bridge::PyError&) {
        wait.raised();
    }
    return wait.returned(std::move(result));
}

// For the `callback` keyword of SFTPClient.get/put: a callable that counts
// each reported chunk as an answer of the server (the wait starts afresh).
// Null when `connection` is not watched, so the keyword is left out.
Owned progress_callback(Borrowed connection);

// Sets the read timeout of a command's channel to ioTimeout, so reading its
// output stops after that long without data (socket.timeout, a TimeoutError),
// and lets the channel stand for the connection in untimed waits.  Does
// nothing when `connection` is not watched.
void bound_reads(Borrowed connection, Borrowed channel);

}  // namespace clusterlane::io
