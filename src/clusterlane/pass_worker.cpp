#include "pass_worker.hpp"

#include "bridge/background.hpp"
#include "bridge/statements.hpp"
#include "support.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <utility>

namespace clusterlane::io {

using Clock = std::chrono::steady_clock;

// Longer than any real wait and still accepted by threading's lock timeouts
// (threading.TIMEOUT_MAX is about 9.2e9 seconds).
constexpr double kLongestWait = 1e9;

// Transfers of files larger than this log their progress, every kLineEvery.
constexpr long long kProgressAbove = 64LL * 1024 * 1024;
constexpr auto kLineEvery = std::chrono::seconds(5);

// How long one slice of the wait for a worker whose transport was closed
// lasts; the wait itself goes on until the worker has finished.
constexpr double kCloseSlice = 1.0;

// What a pass shares with its worker thread.  Everything is touched with the
// GIL held, by the caller or by the worker.
struct PassState {
    Owned text;     // "No answer from <host> for <N> seconds"
    Clock::duration limit{};
    Clock::duration extra{};  // added to `limit` while an ExtraTime lives
    Clock::duration full{};  // ioTimeout; `limit` while no shorter bound applies
    Owned client;   // attached once connected
    Owned sftp;

    // The worker: a thread taking "run the current call" (True) or "stop"
    // (None) from `calls`.  `finished` is held by the caller from the start
    // of the thread on; the worker releases it when a call has ended.
    Owned thread;
    Owned calls;
    Owned finished;

    detail::CallRef call{};  // the current call, valid while it runs
    Owned result;            // what it returned, or
    Owned error;             // what it raised

    Clock::time_point last_answer{};      // the call's start or its latest chunk
    struct TransferProgress* transfer = nullptr;  // the transfer reporting chunks in the current call
    bool expired = false;

    bool attached(Borrowed connection) const {
        return (client && client.get() == connection.get()) || (sftp && sftp.get() == connection.get());
    }
};

// The closure of a transfer's progress callback: what its lines name, and
// what the server has sent or taken so far.
struct TransferProgress {
    Owned state_box;  // keeps `state` alive
    PassState* state;
    Owned node;
    Owned entry;
    const char* verb;
    long long done = 0;
    long long total = 0;
};

namespace {

thread_local PassWorker* t_running = nullptr;  // the innermost pass running on this thread

double seconds_until(Clock::time_point then) {
    return std::max(0.0, std::chrono::duration<double>(then - Clock::now()).count());
}

Owned float_of(double seconds) { return bridge::float_from(seconds); }

// ---- the worker thread ---------------------------------------------------------

constexpr bridge::Param kLoopParams[] = {bridge::any_param("calls")};

// The thread's loop: runs the current call each time it is asked to.
Owned worker_loop_body(const bridge::Args<kLoopParams>& args) {
    PassState& s = bridge::unbox<PassState>(args.closure());
    Borrowed calls = args.get<"calls">();
    Owned finished = s.finished;
    for (;;) {
        Owned request = bridge::call_method(calls, name(N::get));
        if (request.is_none()) return bridge::none();
        bridge::Outcome outcome = bridge::capture([&] { return s.call.invoke(s.call.callable); });
        s.result = std::move(outcome.result);
        s.error = std::move(outcome.error);
        bridge::call_method(finished, name(N::release));
    }
}

const bridge::FunctionSpec kWorkerLoop = bridge::function<kLoopParams, worker_loop_body>({
    .name = "clusterlane_pass_worker",
    .doc = "Runs the blocking SSH calls of one pass.",
});

// `state` is the box holding `s`: the thread keeps it alive.
void start_worker(PassState& s, Borrowed state) {
    const Bound& lib = bound();
    s.calls = bridge::call(lib.simple_queue);
    s.finished = bridge::call(lib.lock);
    bridge::call_method(s.finished, name(N::acquire));
    s.thread = bridge::start_daemon_thread({.thread_type = lib.thread,
                                            .function_type = runtime().function_type,
                                            .target = kWorkerLoop,
                                            .module = runtime().module,
                                            .closure = state,
                                            .args = bridge::tuple_of(s.calls)});
}

// Asks the worker to end; with `join`, waits until it has.
void stop_worker(PassState& s, bool join) {
    if (!s.thread) return;
    Owned thread = std::exchange(s.thread, Owned{});
    bridge::call_method(s.calls, name(N::put), bridge::none());
    if (join) bridge::call_method(thread, name(N::join));
}

}  // namespace

// Closing the transport ends its reader thread and closes every channel,
// which wakes every wait of paramiko's on that connection.  The reader is
// waited for (at most reader_exit_wait): until it has gone it may still
// signal data on a channel's pipe, which a worker closes with the channel on
// its way out.  A close cut short by an error (the host's handler runs
// during the close: a Ctrl-C, say) is made again (a transport already told
// to stop returns at once, its reader closes the rest), so whatever waits
// on the connection is always woken.
Owned close_transport(Borrowed ssh_client) {
    constexpr int kAttempts = 3;
    Owned first;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const bool closed = bridge::try_except(
            [&] {
                Owned transport = bridge::call_method(ssh_client, name(N::get_transport));
                if (transport.is_none()) return true;
                bridge::call_method(transport, name(N::close));
                bridge::call_method(transport, name(N::join), bound().reader_exit_wait);
                return true;
            },
            PyExc_BaseException, [&](Borrowed error) {
                if (!first) first = Owned::ref(error.get());
                return false;
            });
        if (closed) break;
    }
    return first;
}

namespace {

// Waits for a call whose transport has been closed; it ends soon.  Returns
// the first error the host's handlers raised meanwhile (a second Ctrl-C,
// say), null when none did.
Owned wait_for_worker(PassState& s) {
    Owned slice = float_of(kCloseSlice);
    Owned first;
    for (bool finished = false; !finished;) {
        finished = bridge::try_except(
            [&] { return bridge::truthy(bridge::call_method(s.finished, name(N::acquire), bridge::boolean(true), slice)); },
            PyExc_BaseException, [&](Borrowed error) {
                if (!first) first = Owned::ref(error.get());
                return false;
            });
    }
    return first;
}

// ---- progress of a transfer ----------------------------------------------------

constexpr bridge::Param kProgressParams[] = {bridge::any_param("transferred"), bridge::any_param("total")};

Owned progress_body(const bridge::Args<kProgressParams>& args) {
    TransferProgress& t = bridge::unbox<TransferProgress>(args.closure());
    t.done = bridge::to_long_long(args.get<"transferred">());
    t.total = bridge::to_long_long(args.get<"total">());
    t.state->last_answer = Clock::now();
    t.state->transfer = &t;
    return bridge::none();
}

const bridge::FunctionSpec kProgress = bridge::function<kProgressParams, progress_body>({
    .name = "transfer_progress",
    .doc = "Records a transferred chunk of a pass's transfer.",
});

Owned mebibytes(long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return bridge::str_from(text);
}

// "Downloading <entry>: <done> of <total> MiB (<percent>%)", for a transfer
// of a large file.
void log_progress(const TransferProgress* t) {
    if (!t || t->total <= kProgressAbove) return;
    const long long percent = std::clamp(t->done * 100 / t->total, 0LL, 100LL);
    Owned done = bridge::integer(t->done);
    Owned total = bridge::integer(t->total);
    hpc_log(t->node, "info",
            bridge::concat({t->verb, " ", bridge::str(t->entry), ": ", mebibytes(t->done), " of ", mebibytes(t->total),
                            " MiB (", bridge::str(bridge::integer(percent)), "%)"}),
            {{name(N::file_name), t->entry}, {name(N::bytes_done), done}, {name(N::bytes_total), total}});
}

// TimeoutError "No answer from ...", with the call's own error (if any) as
// its context.
[[noreturn]] void raise_timeout(PassState& s, Owned context) {
    bridge::raise_in_context(bridge::call(PyExc_TimeoutError, s.text), std::move(context));
}

// The caller's side of one call: waits in slices until the call has ended,
// its time has run out, or something was raised in the wait; writes the
// progress lines of a large transfer meanwhile.
void await_call(PassState& s, Clock::time_point started) {
    Clock::time_point next_line = started + kLineEvery;
    for (;;) {
        const Clock::time_point deadline = s.last_answer + s.limit + s.extra;
        if (Clock::now() >= deadline) {
            s.expired = true;
            // An interrupt that came while the transport closed or the worker
            // finished wins over the timeout.
            Owned raised = close_transport(s.client);
            Owned later = wait_for_worker(s);
            if (raised || later) bridge::restore_error(raised ? std::move(raised) : std::move(later));
            raise_timeout(s, std::exchange(s.error, Owned{}));
        }
        const bool finished = bridge::on_error(
            [&] {
                Owned slice = float_of(seconds_until(std::min(deadline, next_line)));
                if (bridge::truthy(bridge::call_method(s.finished, name(N::acquire), bridge::boolean(true), slice)))
                    return true;
                if (Clock::now() >= next_line) {
                    next_line += kLineEvery;
                    log_progress(s.transfer);
                }
                return false;
            },
            // KeyboardInterrupt, or whatever the host's handler or logger raised
            [&] {
                close_transport(s.client);  // later interrupts add nothing to this one
                wait_for_worker(s);
            });
        if (finished) return;
    }
}

}  // namespace

Owned seconds_of(Borrowed timeout) {
    const double seconds = bridge::try_except([&] { return bridge::to_double(timeout); }, PyExc_OverflowError,
                                              // an int too large for a float: as good as forever
                                              [](Borrowed) { return kLongestWait; });
    return float_of(std::min(seconds, kLongestWait));
}

Owned timeout_text(Borrowed host, Borrowed timeout) {
    return bridge::concat({"No answer from ", bridge::str(host), " for ", bridge::str(timeout), " seconds"});
}

// ---- PassWorker -----------------------------------------------------------------

PassWorker::PassWorker(Borrowed host, Borrowed timeout, double seconds)
    : box_(bridge::box(std::make_unique<PassState>())), state_(&bridge::unbox<PassState>(box_)), outer_(t_running) {
    state_->limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    state_->full = state_->limit;
    state_->text = io::timeout_text(host, timeout);
    t_running = this;
}

PassWorker::~PassWorker() {
    t_running = outer_;
    if (!state_->thread) return;
    // Only when the pass left before close_client: the worker is idle and
    // ends by itself.
    bridge::unraisable([&] { stop_worker(*state_, false); });
}

void PassWorker::attach_client(Borrowed ssh) { state_->client = Owned::ref(ssh.get()); }

void PassWorker::attach_sftp(Borrowed sftp) { state_->sftp = Owned::ref(sftp.get()); }

bool PassWorker::connected() const noexcept { return static_cast<bool>(state_->client); }

bool PassWorker::expired() const noexcept { return state_->expired; }

Owned PassWorker::timeout_text() const { return state_->text; }

void PassWorker::close_client(Borrowed ssh) {
    bridge::try_finally(
        [&] {
            // The transport of an expired pass is closed already: nothing there can block.
            if (state_->expired) bridge::call_method(ssh, name(N::close));
            else bounded(ssh, [&] { return bridge::call_method(ssh, name(N::close)); });
        },
        [&] { stop_worker(*state_, true); });
}

void PassWorker::release_client(Borrowed sftp) {
    bridge::try_finally(
        [&] {
            if (sftp && !sftp.is_none()) bounded(sftp, [&] { return bridge::call_method(sftp, name(N::close)); });
        },
        [&] { stop_worker(*state_, true); });
}

void PassWorker::shorten_limit(double seconds) {
    state_->limit =
        std::min(state_->full, std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

void PassWorker::full_limit() { state_->limit = state_->full; }

void PassWorker::detach() {
    state_->expired = false;
    state_->sftp = Owned{};
    state_->client = Owned{};
}

// ---- one call -------------------------------------------------------------------

Owned detail::run(Borrowed connection, CallRef call) {
    PassState* s = t_running ? t_running->state_ : nullptr;
    if (!s || !s->attached(connection)) return call.invoke(call.callable);
    if (s->expired) raise_timeout(*s, {});
    if (!s->thread) start_worker(*s, t_running->box_);

    s->call = call;
    s->result = {};
    s->error = {};
    s->transfer = nullptr;
    const Clock::time_point started = Clock::now();
    s->last_answer = started;
    bridge::call_method(s->calls, name(N::put), bridge::boolean(true));
    bridge::try_finally([&] { await_call(*s, started); },
                        [&] {
                            s->call = {};
                            s->transfer = nullptr;
                        });
    if (s->error) bridge::restore_error(std::exchange(s->error, Owned{}));
    return std::exchange(s->result, Owned{});
}

Owned client_of(Borrowed connection) {
    PassState* s = t_running ? t_running->state_ : nullptr;
    if (!s || !s->attached(connection) || !s->client) return {};
    return Owned::ref(s->client.get());
}

ExtraTime::ExtraTime(Borrowed connection, double seconds) {
    PassState* s = t_running ? t_running->state_ : nullptr;
    if (!s || !s->attached(connection)) return;
    state_ = s;
    s->extra = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(seconds, kLongestWait)));
}

ExtraTime::~ExtraTime() {
    if (state_) state_->extra = {};
}

Owned progress_callback(Borrowed connection, const Transfer& transfer) {
    PassState* s = t_running ? t_running->state_ : nullptr;
    if (!s || !s->attached(connection)) return {};
    Owned progress = bridge::box(std::make_unique<TransferProgress>(TransferProgress{
        t_running->box_, s, Owned::ref(transfer.node.get()), Owned::ref(transfer.entry.get()), transfer.verb}));
    return bridge::make_function(runtime().function_type, kProgress, runtime().module, progress);
}

}  // namespace clusterlane::io
