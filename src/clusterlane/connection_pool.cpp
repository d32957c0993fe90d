#include "connection_pool.hpp"

#include "bridge/background.hpp"
#include "bridge/statements.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <utility>

namespace clusterlane::pool {

namespace {

using Clock = std::chrono::steady_clock;

// The daemon thread looks at the pool at least this often while anything is
// kept, so a connection is closed at most this long after its time.
constexpr double kLookEvery = 1.0;
constexpr double kShortestLook = 0.05;

struct Idle {
    Connection connection;
    Clock::time_point since;
    Clock::time_point until;
};

struct Pool {
    std::map<std::string, std::vector<Idle>> idle;  // per key, the oldest first
    pid_t owner = ::getpid();
    bool watching = false;        // the daemon thread runs
    Owned thread;                 // that thread, and
    Owned wake;                   // the threading.Event that ends its wait at exit
    bool closed_at_exit = false;  // registered with atexit
};

void forget(Connection& c) {
    c.client.leak();
    for (Owned& hop : c.hops) hop.leak();
    c.proxy.leak();
}

// The pool of this process: in a forked child the parent's connections are
// forgotten (neither used nor closed) the first time the child looks.  The
// daemon thread did not come along either.
Pool& the_pool() {
    Pool& p = bridge::unbox<Pool>(bound().kept_connections);
    if (p.owner != ::getpid()) {
        for (auto& entry : p.idle)
            for (Idle& idle : entry.second) forget(idle.connection);
        p.idle.clear();
        p.owner = ::getpid();
        p.watching = false;
        p.thread = Owned{};
        p.wake = Owned{};
    }
    return p;
}

// Takes the connections idle past their time out of the pool (no call into
// Python), for the caller to close.
std::vector<Connection> take_expired(Pool& p, Clock::time_point now) {
    std::vector<Connection> ended;
    for (auto it = p.idle.begin(); it != p.idle.end();) {
        std::vector<Idle> kept;
        for (Idle& idle : it->second) {
            if (idle.until <= now) ended.push_back(std::move(idle.connection));
            else kept.push_back(std::move(idle));
        }
        it->second = std::move(kept);
        it = it->second.empty() ? p.idle.erase(it) : std::next(it);
    }
    return ended;
}

// Closes each of them; an interrupt is raised again after the last one.
void close_each(std::vector<Connection>& connections) {
    Owned first;
    for (Connection& c : connections)
        bridge::try_except([&] { close(c); }, PyExc_BaseException, [&](Borrowed error) {
            if (!first) first = Owned::ref(error.get());
        });
    if (first) bridge::restore_error(std::move(first));
}

// ---- the daemon thread --------------------------------------------------------

constexpr std::array<bridge::Param, 0> kNoParams{};

// Closes what has been idle for too long, until nothing is kept or the
// interpreter exits (its event set).  It looks first after one slice, so a
// thread started for a connection about to be kept finds it there.
Owned watch_body(const bridge::Args<kNoParams>& args) {
    Borrowed wake = args.closure();
    for (;;) {
        double slice = kLookEvery;
        {
            Pool& p = the_pool();
            const Clock::time_point now = Clock::now();
            for (const auto& entry : p.idle)
                for (const Idle& idle : entry.second)
                    slice = std::min(slice, std::chrono::duration<double>(idle.until - now).count());
        }
        Owned woken = bridge::call_method(wake, name(N::wait), bridge::float_from(std::max(slice, kShortestLook)));
        if (bridge::truthy(woken)) return bridge::none();
        Pool& p = the_pool();
        std::vector<Connection> ended = take_expired(p, Clock::now());
        if (p.idle.empty()) p.watching = false;
        const bool watching = p.watching;
        bridge::try_except([&] { close_each(ended); }, PyExc_BaseException, [](Borrowed) {});
        if (!watching) return bridge::none();
    }
}

const bridge::FunctionSpec kWatch = bridge::function<kNoParams, watch_body>({
    .name = "clusterlane_kept_connections",
    .doc = "Closes the SSH connections kept idle for longer than their keepConnection.",
});

// How long the exit waits for the daemon thread to end (it ends at once
// when woken; a daemon thread still running while the interpreter
// finalizes is stopped in the middle of what it does).
constexpr double kThreadExitWait = 2.0;

// At interpreter exit: ends the daemon thread and closes every connection
// this process kept; nothing raised meanwhile reaches the exit.
Owned close_all_body(const bridge::Args<kNoParams>&) {
    Pool& p = the_pool();
    std::vector<Connection> all;
    for (auto& entry : p.idle)
        for (Idle& idle : entry.second) all.push_back(std::move(idle.connection));
    p.idle.clear();
    p.watching = false;
    Owned thread = std::exchange(p.thread, Owned{});
    Owned wake = std::exchange(p.wake, Owned{});
    bridge::try_except(
        [&] {
            if (wake) bridge::call_method(wake, name(N::set));
            if (thread) bridge::call_method(thread, name(N::join), bridge::float_from(kThreadExitWait));
        },
        PyExc_BaseException, [](Borrowed) {});
    bridge::try_except([&] { close_each(all); }, PyExc_BaseException, [](Borrowed) {});
    return bridge::none();
}

const bridge::FunctionSpec kCloseAll = bridge::function<kNoParams, close_all_body>({
    .name = "close_kept_connections",
    .doc = "Closes the SSH connections kept between passes.",
});

// The exit hook once per interpreter (the module lives in one), the daemon
// thread once while anything is kept.
void watch(Pool& p) {
    if (!p.closed_at_exit) {
        bridge::call(bound().atexit_register,
                     bridge::make_function(runtime().function_type, kCloseAll, runtime().module));
        p.closed_at_exit = true;
    }
    if (p.watching) return;
    const Bound& lib = bound();
    Owned wake = bridge::call(lib.event);
    Owned thread = bridge::start_daemon_thread({.thread_type = lib.thread,
                                                .function_type = runtime().function_type,
                                                .target = kWatch,
                                                .module = runtime().module,
                                                .closure = wake});
    p.watching = true;
    p.thread = std::move(thread);
    p.wake = std::move(wake);
}

}  // namespace

Owned new_pool() { return bridge::box(std::make_unique<Pool>()); }

std::optional<Taken> take(const std::string& key) {
    Pool& p = the_pool();
    const Clock::time_point now = Clock::now();
    std::vector<Connection> ended = take_expired(p, now);
    std::optional<Taken> taken;
    if (auto it = p.idle.find(key); it != p.idle.end()) {
        Idle& newest = it->second.back();
        taken = Taken{std::move(newest.connection), std::chrono::duration<double>(now - newest.since).count()};
        it->second.pop_back();
        if (it->second.empty()) p.idle.erase(it);
    }
    // Interrupted while closing the others: this one is not used either.
    bridge::on_error([&] { close_each(ended); }, [&] {
        if (taken) close(taken->connection);
    });
    return taken;
}

void keep(const std::string& key, Connection connection, double seconds) {
    Pool& p = the_pool();
    // Neither the exit hook nor the thread in place: the caller closes it.
    bridge::on_error([&] { watch(p); }, [&] { close(connection); });
    const Clock::time_point now = Clock::now();
    std::vector<Connection> ended = take_expired(p, now);
    std::vector<Idle>& idle = p.idle[key];
    const auto keep_for = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    idle.push_back(Idle{std::move(connection), now, now + keep_for});
    if (idle.size() > kMaxIdle) {
        ended.push_back(std::move(idle.front().connection));
        idle.erase(idle.begin());
    }
    close_each(ended);
}

void close(Connection& c) {
    Owned first;
    auto step = [&](const Owned& object) {
        if (!object) return;
        bridge::try_except([&] { bridge::call_method(object, name(N::close)); }, PyExc_BaseException,
                           [&](Borrowed error) {
                               if (!first && !bridge::error_matches(error, PyExc_Exception))
                                   first = Owned::ref(error.get());
                           });
    };
    step(c.client);
    for (const Owned& hop : c.hops) step(hop);
    step(c.proxy);
    c = Connection{};
    if (first) bridge::restore_error(std::move(first));
}

}  // namespace clusterlane::pool
