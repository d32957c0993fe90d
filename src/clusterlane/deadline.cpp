#include "deadline.hpp"

#include "bridge/statements.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace clusterlane::io {

using Clock = std::chrono::steady_clock;

// Longer than any real wait and still accepted by threading's lock timeouts
// (threading.TIMEOUT_MAX is about 9.2e9 seconds).
constexpr double kLongestWait = 1e9;

// The state one pass shares with its watchdog thread.  Python objects are
// only touched with the GIL held; the thread holds it only to close the
// transport.
struct Watchdog {
    Owned client;        // the SSH client whose transport is closed on expiry
    Owned text;          // "No answer from <host> for <N> seconds"
    Owned seconds_obj;   // ioTimeout as a float, for Channel.settimeout
    Clock::duration limit{};

    // Ctrl-C while a wait is in progress (main thread only, see watch_client).
    Owned previous_handler;  // the SIGINT handler in place before the pass
    Owned own_handler;       // ours, while installed
    bool interrupted = false;

    std::mutex mutex;
    std::condition_variable wake;
    int waits = 0;  // waits in progress, timed or not (nested waits count once each)
    int depth = 0;  // timed waits in progress
    Clock::time_point deadline{};
    bool stopping = false;
    bool close_now = false;  // an interrupt asks for the transport to be closed
    std::atomic<bool> fired{false};
    std::thread thread;

    void arm(Timed timed) {
        {
            std::lock_guard lock(mutex);
            ++waits;
            if (timed == Timed::No) return;
            ++depth;
            deadline = Clock::now() + limit;
        }
        wake.notify_one();
    }

    void disarm(Timed timed) {
        std::lock_guard lock(mutex);
        --waits;
        if (timed == Timed::Yes) --depth;
    }

    // The server answered: the current wait starts afresh.  The thread is not
    // woken; it finds the later deadline when its current one comes.
    void touch() {
        std::lock_guard lock(mutex);
        deadline = Clock::now() + limit;
    }

    bool waiting() {
        std::lock_guard lock(mutex);
        return waits > 0;
    }

    void request_close() {
        {
            std::lock_guard lock(mutex);
            close_now = true;
        }
        wake.notify_one();
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (close_now) {
                close_now = false;
            } else if (depth == 0 || fired) {
                wake.wait(lock);
                continue;
            } else {
                wake.wait_until(lock, deadline);
                if (stopping || close_now || depth == 0 || fired || Clock::now() < deadline) continue;
                fired = true;
            }
            lock.unlock();
            close_transport();
            lock.lock();
        }
    }

    // Closing the transport ends its reader thread and closes every channel,
    // which sets the events and buffers all blocked waits sleep on.
    void close_transport() {
#if PY_VERSION_HEX >= 0x030D0000
        if (Py_IsFinalizing()) return;
#else
        if (_Py_IsFinalizing()) return;
#endif
        PyGILState_STATE gil = PyGILState_Ensure();
        // The waiting pass reports the timeout; a transport that cannot be
        // closed here is closed with the client at the end of the pass.
        bridge::try_except(
            [&] {
                Owned transport = bridge::call_method(client, name(N::get_transport));
                if (transport.get() != Py_None) bridge::call_method(transport, name(N::close));
            },
            PyExc_BaseException, [](Borrowed) {});
        PyGILState_Release(gil);
    }

    [[noreturn]] void raise_timeout() const { bridge::restore_error(bridge::call(PyExc_TimeoutError, text)); }

    // Hands a deferred Ctrl-C to the handler that was in place before the
    // pass (Python's own raises KeyboardInterrupt), now that paramiko is out
    // of the way.
    void deliver_interrupt() {
        interrupted = false;
        bridge::call(previous_handler, bridge::integer(SIGINT), bridge::none());
    }
};

namespace {

// The clients (and command channels) watched by running passes, kept alive
// while they are, so no other object can take their address.  Used with the
// GIL held; allocated once and never freed, so no destructor runs after the
// interpreter has gone.
std::vector<std::pair<Owned, std::shared_ptr<Watchdog>>>& watched() {
    static auto* clients = new std::vector<std::pair<Owned, std::shared_ptr<Watchdog>>>();
    return *clients;
}

std::shared_ptr<Watchdog> watchdog_of(Borrowed connection) {
    for (const auto& [client, dog] : watched())
        if (client.get() == connection.get()) return dog;
    return {};
}

void watch(Borrowed connection, const std::shared_ptr<Watchdog>& dog) {
    watched().emplace_back(Owned::ref(connection.get()), dog);
}

double seconds_of(Borrowed timeout) {
    double seconds = PyFloat_AsDouble(timeout.get());
    if (seconds == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) bridge::throw_error();
        PyErr_Clear();  // an int too large for a float: as good as forever
        seconds = kLongestWait;
    }
    return std::min(seconds, kLongestWait);
}

// ---- the progress callback ------------------------------------------------

constexpr const char* kCapsuleName = "zentrel_core.clusterlane.watchdog";

void release_capsule(PyObject* capsule) {
    delete static_cast<std::shared_ptr<Watchdog>*>(PyCapsule_GetPointer(capsule, kCapsuleName));
}

constexpr bridge::Param kProgressParams[] = {bridge::any_param("transferred"), bridge::any_param("total")};

Owned progress_body(const bridge::Args<kProgressParams>& args) {
    auto* dog = static_cast<std::shared_ptr<Watchdog>*>(PyCapsule_GetPointer(args.closure().get(), kCapsuleName));
    if (!dog) bridge::throw_error();
    (*dog)->touch();
    return bridge::none();
}

// ---- Ctrl-C during a wait ------------------------------------------------------
//
// A KeyboardInterrupt raised inside paramiko can leave one of its locks held
// (the SFTP client's request lock, the transport's send lock), and the next
// request of the same thread - closing the remote file on the way out of
// put() - then blocks forever.  While a pass waits on the cluster, Ctrl-C is
// therefore taken by a handler of ours that raises nothing: it asks the
// watchdog thread to close the transport, which ends the wait, and the wait
// then hands the interrupt to the previous handler, outside paramiko.
// Outside a wait the previous handler runs at once, as usual.

constexpr bridge::Param kHandlerParams[] = {bridge::any_param("signum"), bridge::any_param("frame")};

Owned signal_handler_body(const bridge::Args<kHandlerParams>& args) {
    auto* dog = static_cast<std::shared_ptr<Watchdog>*>(PyCapsule_GetPointer(args.closure().get(), kCapsuleName));
    if (!dog) bridge::throw_error();
    Watchdog& d = **dog;
    if (!d.waiting()) return bridge::call(d.previous_handler, args.get<"signum">(), args.get<"frame">());
    d.interrupted = true;
    d.request_close();
    return bridge::none();
}

const bridge::FunctionSpec kSignalHandler = bridge::function<kHandlerParams, signal_handler_body>({
    .name = "interrupt_during_wait",
    .doc = "Ends a pass's wait on the cluster before the interrupt is raised.",
});

Owned function_with(const bridge::FunctionSpec& spec, const std::shared_ptr<Watchdog>& dog) {
    auto* holder = new std::shared_ptr<Watchdog>(dog);
    PyObject* capsule = PyCapsule_New(holder, kCapsuleName, release_capsule);
    if (!capsule) {
        delete holder;
        bridge::throw_error();
    }
    Owned closure = Owned::steal(capsule);
    return bridge::make_function(runtime().function_type, spec, runtime().module, closure);
}

// Puts our handler in place when this is the main thread and Ctrl-C has a
// Python handler (not ignored, not the OS default).
void take_interrupts(const std::shared_ptr<Watchdog>& dog) {
    Owned signal_module = bridge::import("signal");
    Owned signum = bridge::integer(SIGINT);
    Owned previous = bridge::call_method(signal_module, name(N::getsignal), signum);
    if (!PyCallable_Check(previous.get())) return;
    Owned handler = function_with(kSignalHandler, dog);
    const bool installed = bridge::try_except(
        [&] {
            bridge::call_method(signal_module, name(N::signal), signum, handler);
            return true;
        },
        PyExc_ValueError, [](Borrowed) { return false; });  // not the main thread: signals are not ours to see
    if (!installed) return;
    dog->previous_handler = previous;
    dog->own_handler = handler;
}

// Puts the previous handler back unless someone replaced ours meanwhile.
void give_back_interrupts(Watchdog& dog) {
    if (!dog.own_handler) return;
    Owned own = std::exchange(dog.own_handler, Owned{});
    Owned signal_module = bridge::import("signal");
    Owned signum = bridge::integer(SIGINT);
    Owned current = bridge::call_method(signal_module, name(N::getsignal), signum);
    if (current.get() == own.get()) bridge::call_method(signal_module, name(N::signal), signum, dog.previous_handler);
}

const bridge::FunctionSpec kProgress = bridge::function<kProgressParams, progress_body>({
    .name = "transfer_progress",
    .doc = "Counts a transferred chunk as an answer of the server.",
});

}  // namespace

// ---- PassDeadline -----------------------------------------------------------

PassDeadline::PassDeadline(Borrowed host, Borrowed timeout) : dog_(std::make_shared<Watchdog>()) {
    const double seconds = seconds_of(timeout);
    dog_->limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    dog_->seconds_obj = bridge::check(PyFloat_FromDouble(seconds));
    dog_->text = bridge::concat({"No answer from ", bridge::str(host), " for ", bridge::str(timeout), " seconds"});
}

PassDeadline::~PassDeadline() {
    auto& clients = watched();
    std::erase_if(clients, [&](const auto& entry) { return entry.second == dog_; });
    Owned pending = bridge::fetch_error();  // the pass's own failure, if it is leaving with one
    try {
        give_back_interrupts(*dog_);
    } catch (const bridge::PyError&) {
        PyErr_WriteUnraisable(nullptr);
    }
    if (pending) PyErr_SetRaisedException(pending.release());
    if (!dog_->thread.joinable()) return;
    {
        std::lock_guard lock(dog_->mutex);
        dog_->stopping = true;
    }
    dog_->wake.notify_one();
    // The thread may be waiting for the GIL to close the transport.
    Py_BEGIN_ALLOW_THREADS
    dog_->thread.join();
    Py_END_ALLOW_THREADS
}

void PassDeadline::watch_client(Borrowed ssh) {
    dog_->client = Owned::ref(ssh.get());
    watch(ssh, dog_);
    connected_ = true;
    if (!dog_->thread.joinable()) dog_->thread = std::thread([dog = dog_.get()] { dog->run(); });
    if (!dog_->own_handler) take_interrupts(dog_);
}

void PassDeadline::watch_sftp(Borrowed sftp) { watch(sftp, dog_); }

bool PassDeadline::expired() const noexcept { return dog_->fired; }

Owned PassDeadline::timeout_text() const { return dog_->text; }

// ---- Wait -------------------------------------------------------------------

Wait::Wait(Borrowed connection, Timed timed) : dog_(watchdog_of(connection)), timed_(timed) {
    if (!dog_) return;
    if (dog_->fired) {
        auto dog = std::exchange(dog_, nullptr);
        dog->raise_timeout();
    }
    dog_->arm(timed_);
}

Wait::~Wait() {
    if (dog_) dog_->disarm(timed_);
}

Owned Wait::returned(Owned result) {
    if (dog_ && dog_->interrupted) dog_->deliver_interrupt();
    if (dog_ && dog_->fired) dog_->raise_timeout();
    return result;
}

void Wait::raised() {
    Owned woken = bridge::fetch_error();  // what paramiko raised, e.g. when the transport closed
    // A deferred Ctrl-C is raised now, with paramiko's error as its context.
    if (dog_ && dog_->interrupted) bridge::reraise_after(std::move(woken), [&] { dog_->deliver_interrupt(); });
    if (!dog_ || !dog_->fired || !bridge::error_matches(woken, PyExc_Exception)) bridge::restore_error(std::move(woken));
    bridge::raise_in_context(bridge::call(PyExc_TimeoutError, dog_->text), std::move(woken));
}

// ---- transfers and reads ----------------------------------------------------

Owned progress_callback(Borrowed connection) {
    std::shared_ptr<Watchdog> dog = watchdog_of(connection);
    if (!dog) return {};
    return function_with(kProgress, dog);
}

void bound_reads(Borrowed connection, Borrowed channel) {
    std::shared_ptr<Watchdog> dog = watchdog_of(connection);
    if (!dog) return;
    bridge::call_method(channel, name(N::settimeout), dog->seconds_obj);
    watch(channel, dog);
}

}  // namespace clusterlane::io
