#include "deadline.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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

    std::mutex mutex;
    std::condition_variable wake;
    int depth = 0;  // bounded waits in progress (nested waits count once each)
    Clock::time_point deadline{};
    bool stopping = false;
    std::atomic<bool> fired{false};
    std::thread thread;

    void arm() {
        {
            std::lock_guard lock(mutex);
            ++depth;
            deadline = Clock::now() + limit;
        }
        wake.notify_one();
    }

    void disarm() {
        std::lock_guard lock(mutex);
        --depth;
    }

    // The server answered: the current wait starts afresh.  The thread is not
    // woken; it finds the later deadline when its current one comes.
    void touch() {
        std::lock_guard lock(mutex);
        deadline = Clock::now() + limit;
    }

    void run() {
        std::unique_lock lock(mutex);
        while (!stopping) {
            if (depth == 0 || fired) {
                wake.wait(lock);
                continue;
            }
            wake.wait_until(lock, deadline);
            if (stopping || depth == 0 || fired || Clock::now() < deadline) continue;
            fired = true;
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
        try {
            Owned transport = bridge::call_method(client, name(N::get_transport), {});
            if (transport.get() != Py_None) bridge::call_method(transport, name(N::close), {});
        } catch (const bridge::PyError&) {
            // The waiting pass reports the timeout; a transport that cannot
            // be closed here is closed with the client at the end of the pass.
            PyErr_Clear();
        }
        PyGILState_Release(gil);
    }

    [[noreturn]] void raise_timeout() const { bridge::restore_error(bridge::call(PyExc_TimeoutError, {text})); }
};

namespace {

// The clients watched by running passes (with the GIL held).  Allocated once
// and never freed, so no destructor runs after the interpreter has gone.
std::vector<std::pair<PyObject*, std::shared_ptr<Watchdog>>>& watched() {
    static auto* clients = new std::vector<std::pair<PyObject*, std::shared_ptr<Watchdog>>>();
    return *clients;
}

std::shared_ptr<Watchdog> watchdog_of(Borrowed connection) {
    for (const auto& [client, dog] : watched())
        if (client == connection.get()) return dog;
    return {};
}

double seconds_of(Borrowed timeout) {
    double seconds = PyFloat_AsDouble(timeout);
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

Owned progress_body(bridge::CallFrame& args) {
    auto* dog = static_cast<std::shared_ptr<Watchdog>*>(PyCapsule_GetPointer(args.closure(), kCapsuleName));
    if (!dog) bridge::throw_error();
    (*dog)->touch();
    return bridge::none();
}

constexpr bridge::Param kProgressParams[] = {bridge::any_param("transferred"), bridge::any_param("total")};

const bridge::FunctionSpec kProgress{
    .name = "transfer_progress",
    .qualname = "transfer_progress",
    .doc = "Counts a transferred chunk as an answer of the server.",
    .params = kProgressParams,
    .body = progress_body,
};

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
    dog_->client = Owned::ref(ssh);
    watched().emplace_back(ssh.get(), dog_);
    connected_ = true;
    if (!dog_->thread.joinable()) dog_->thread = std::thread([dog = dog_.get()] { dog->run(); });
}

void PassDeadline::watch_sftp(Borrowed sftp) { watched().emplace_back(sftp.get(), dog_); }

bool PassDeadline::expired() const noexcept { return dog_->fired; }

Owned PassDeadline::timeout_text() const { return dog_->text; }

// ---- Wait -------------------------------------------------------------------

Wait::Wait(Borrowed connection) : dog_(watchdog_of(connection)) {
    if (!dog_) return;
    if (dog_->fired) {
        auto dog = std::exchange(dog_, nullptr);
        dog->raise_timeout();
    }
    dog_->arm();
}

Wait::~Wait() {
    if (dog_) dog_->disarm();
}

Owned Wait::returned(Owned result) {
    if (dog_ && dog_->fired) dog_->raise_timeout();
    return result;
}

void Wait::raised() {
    if (!dog_ || !dog_->fired || !PyErr_ExceptionMatches(PyExc_Exception)) bridge::throw_error();
    Owned woken = bridge::fetch_error();  // what paramiko raised when the transport closed
    Owned timeout = bridge::call(PyExc_TimeoutError, {dog_->text});
    PyException_SetContext(timeout.get(), woken.release());
    bridge::restore_error(std::move(timeout));
}

// ---- transfers and reads ----------------------------------------------------

Owned progress_callback(Borrowed connection) {
    std::shared_ptr<Watchdog> dog = watchdog_of(connection);
    if (!dog) return {};
    auto* holder = new std::shared_ptr<Watchdog>(std::move(dog));
    PyObject* capsule = PyCapsule_New(holder, kCapsuleName, release_capsule);
    if (!capsule) {
        delete holder;
        bridge::throw_error();
    }
    Owned closure = Owned::steal(capsule);
    return bridge::make_function(runtime().function_type, kProgress, runtime().module, closure);
}

void bound_reads(Borrowed connection, Borrowed channel) {
    std::shared_ptr<Watchdog> dog = watchdog_of(connection);
    if (dog) bridge::call_method(channel, name(N::settimeout), {dog->seconds_obj});
}

}  // namespace clusterlane::io
