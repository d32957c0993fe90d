// Bounds every wait of a pass on the cluster by the profile's ioTimeout, and
// keeps paramiko off the calling thread while it blocks.
//
// paramiko blocks without limit in several places (the reply to an exec
// request, a command's exit status, SFTP transfers) when the server stops
// answering.  Each pass therefore runs its blocking paramiko calls on a
// worker thread of its own, one call at a time, and the calling thread waits
// for each call with a timed wait on a lock.  That wait releases the GIL and
// lets the host's signal handlers run as usual: a handler that raises
// (Python's own raises KeyboardInterrupt) ends the wait, one that does not
// leaves the pass running.  Signal dispositions are never read or changed.
//
// A wait gives up when its call has made no progress for ioTimeout seconds:
// a command or a request gets ioTimeout in total, a transfer ioTimeout from
// its last chunk.  On giving up, and on anything raised in the wait, the SSH
// transport is closed (which wakes the worker's call), the caller waits for
// the worker to finish the call, and then raises TimeoutError "No answer from
// <host> for <N> seconds", or what was raised in the wait, as it was.
//
// The pass belongs to the thread that runs it: helpers that only receive the
// client (the overridable shell helpers) find it through the thread, when the
// client they were given is the pass's.  Calls on any other client, or
// outside a pass, run on the calling thread, unbounded, as paramiko makes
// them.  Host callbacks (logging, the node's methods) always run on the
// calling thread; transfer progress lines are written by the waiting caller.
#pragma once

#include "runtime.hpp"

#include <type_traits>

namespace clusterlane::io {

struct PassState;

namespace detail {
// A callable of the caller's, referenced for one call.
struct CallRef {
    void* callable;
    Owned (*invoke)(void* callable);
};
Owned run(Borrowed connection, CallRef call);
}  // namespace detail

// What the progress lines of one transfer name: the node that logs them,
// "Downloading" or "Uploading", and the entry (a file name).
struct Transfer {
    Borrowed node;
    const char* verb;
    Borrowed entry;
};

class PassWorker {
public:
    // `host` and `timeout` (as the profile wrote it) make up the timeout
    // text; `seconds` is that timeout as seconds_of converted it.
    PassWorker(Borrowed host, Borrowed timeout, double seconds);
    ~PassWorker();
    PassWorker(const PassWorker&) = delete;
    PassWorker& operator=(const PassWorker&) = delete;

    // From now on the calls on the connected client, and on the SFTP client
    // opened on it, are run by the worker.
    void attach_client(Borrowed ssh);
    void attach_sftp(Borrowed sftp);

    bool connected() const noexcept;
    // True once a wait of this pass has run out of time.
    bool expired() const noexcept;
    // "No answer from <host> for <N> seconds"
    Owned timeout_text() const;

    // ssh.close(), as a bounded call once the client is attached; the worker
    // thread ends afterwards, whatever the close did.
    void close_client(Borrowed ssh);

    // For a connection that stays open after the pass: sftp.close() (when
    // there is one) as a bounded call; the worker thread ends afterwards,
    // whatever the close did.
    void release_client(Borrowed sftp);

    // Each wait gets at most `seconds` (when that is less than ioTimeout)
    // until full_limit() restores ioTimeout.
    void shorten_limit(double seconds);
    void full_limit();

    // The pass goes on without its connection (closed) until a new one is
    // attached: waits are bounded again, as before the first connect.
    void detach();

private:
    friend Owned detail::run(Borrowed connection, detail::CallRef call);
    friend Owned progress_callback(Borrowed connection, const Transfer& transfer);
    friend Owned client_of(Borrowed connection);
    friend class ExtraTime;

    Owned box_;         // owns the PassState; the worker thread holds it as well
    PassState* state_;  // the one box_ holds
    PassWorker* outer_;  // a pass that was running on this thread before this one
};

// Closes the SSH transport of `ssh_client` (an SSHClient), which wakes every
// wait on that connection, and waits for its reader thread to end, at most
// a few seconds.  A close cut short by an error (an interrupt: the host's
// signal handler runs meanwhile) is made again, up to three times in all.
// Returns the first error raised meanwhile, null when none was: the caller
// reports it (an interrupt is never swallowed).  A client without a
// transport has nothing to close.
Owned close_transport(Borrowed ssh_client);

// "No answer from <host> for <N> seconds", the text of a wait that gave up
// (`timeout` as the profile wrote it).
Owned timeout_text(Borrowed host, Borrowed timeout);

// ioTimeout as a float of seconds, at most 1e9 (an int too large for a float
// counts as that long).
Owned seconds_of(Borrowed timeout);

// Runs `call` (returning Owned) as one bounded wait of the pass that
// `connection` belongs to, on that pass's worker; with no such pass, here.
// `call` may refer to the caller's locals: it has ended before this returns.
template <class F>
Owned bounded(Borrowed connection, F&& call) {
    using Callable = std::remove_reference_t<F>;
    auto invoke = [](void* callable) -> Owned { return (*static_cast<Callable*>(callable))(); };
    return detail::run(connection, {const_cast<void*>(static_cast<const void*>(&call)), invoke});
}

// The SSH client of the pass that `connection` (its client or SFTP client)
// belongs to on this thread; null outside such a pass.
Owned client_of(Borrowed connection);

// While it lives, every wait of the pass that `connection` belongs to gets
// `seconds` more than ioTimeout (a command that reads a whole file, say);
// outside a pass it does nothing.
class ExtraTime {
public:
    ExtraTime(Borrowed connection, double seconds);
    ~ExtraTime();
    ExtraTime(const ExtraTime&) = delete;
    ExtraTime& operator=(const ExtraTime&) = delete;

private:
    PassState* state_ = nullptr;
};

// For the `callback` keyword of SFTPClient.get/put: each reported chunk
// counts as an answer of the server (the transfer's clock starts afresh), and
// while a file larger than 64 MiB is being transferred the waiting caller
// logs "<verb> <entry>: <done> of <total> MiB (<percent>%)" every 5 seconds.
// Null when `connection` belongs to no pass of this thread, so the keyword is
// left out.
Owned progress_callback(Borrowed connection, const Transfer& transfer);

}  // namespace clusterlane::io
