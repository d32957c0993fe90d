// How a failed pass reaches the caller: an interrupt or exit request as it
// was raised, the expanded work directory's refusal as raised, and every
// other failure logged and replaced by a NodeException ("authentication",
// "ssh" or "remote_execution") with the failure as its context.
#include "failure_mapping.hpp"

#include "bridge/statements.hpp"
#include "support.hpp"

#include <algorithm>
#include <vector>

namespace clusterlane {

namespace {

using bridge::concat;

// Logs the failure and raises the NodeException that replaces it, with the
// failure as its context.  Runs while the failure is being handled, so the
// logging hook sees it and anything raised there chains to it.
//
// Before the client is connected, only SSHClient.connect waits on the
// server.  When ioTimeout bounds that wait (its timeout, banner_timeout and
// auth_timeout), paramiko reports running out of time as:
// - the TCP connect: socket.timeout (TimeoutError) from socket.connect;
// - the server's banner: SSHException "Error reading SSH protocol banner"
//   raised while handling the read's socket.timeout (its __context__).  More
//   often start_client's own wait (the same `timeout`) for the key exchange,
//   banner included, ends first; connect's get_remote_server_key then raises
//   SSHException "No existing session" while the transport is still
//   negotiating, or has just ended on that banner timeout;
// - authentication: AuthenticationException "Authentication timeout."
// A refusal ("Authentication failed."), a connection that ended before or
// after the key exchange and every other SSH error keep their own mapping.
[[noreturn]] void raise_mapped_failure(const PassContext& p, Borrowed paramiko, Borrowed failure) {
    // The expanded work directory refused: the profile's fault, not the
    // cluster's, so it reaches the caller as raised, without an error line.
    if (is_work_dir_refusal(failure)) bridge::restore_error(Owned::ref(failure.get()));
    const Profile& c = p.profile;
    // The cluster, or the jump host being connected when it failed.
    const jump_hosts::Peer at = p.route.failed_at(c.host, c.username, p.ssh);
    Owned text = p.secrets.masked(error_text(failure));
    Owned origin;
    Owned message;
    Owned ssh_error = bridge::getattr(paramiko, name(N::SSHException));
    Owned auth_error = bridge::getattr(paramiko, name(N::AuthenticationException));
    auto says = [](Borrowed error, const char* words) {
        return bridge::equal(bridge::str(error), bridge::str_from(words));
    };
    auto wait_timed_out = [&](Borrowed error) {
        if (bridge::error_matches(error, PyExc_TimeoutError)) return true;
        if (!bridge::error_matches(error, ssh_error)) return false;
        if (bridge::error_matches(error, auth_error)) return says(error, "Authentication timeout.");
        for (Owned link : {bridge::exception_cause(error), bridge::exception_context(error)})
            if (link && bridge::error_matches(link, PyExc_TimeoutError)) return true;
        return false;
    };
    auto negotiation_timed_out = [&] {
        if (!bridge::error_matches(failure, ssh_error) || bridge::error_matches(failure, auth_error) ||
            !says(failure, "No existing session"))
            return false;
        Owned transport = bridge::call_method(at.client, name(N::get_transport));
        if (transport.borrow().is_none() || bridge::truthy(bridge::getattr(transport, name(N::initial_kex_done))))
            return false;
        if (bridge::truthy(bridge::call_method(transport, name(N::is_active)))) return true;
        Owned ended_on = bridge::getattr(transport, name(N::saved_exception));
        return !ended_on.borrow().is_none() && wait_timed_out(ended_on);
    };
    // Only before connecting and only when ioTimeout bounded the connect; a
    // paramiko object that cannot be read here means no timeout, never a new failure.
    auto connect_timed_out = [&] {
        if (p.worker.connected() || !bridge::dict_get(c.connect_kwargs, name(N::timeout))) return false;
        return bridge::try_except([&] { return wait_timed_out(failure) || negotiation_timed_out(); },
                                  PyExc_Exception, [](Borrowed) { return false; });
    };
    // A silent server, however the wait that noticed it ended.
    if (p.route.refused(failure)) {  // a host key refused: its text says it all
        hpc_log(p.self, "error", concat({"SSH error: ", text}), {{name(N::hostname), at.host}, {name(N::error), text}});
        origin = bridge::str_from("ssh");
        message = text;
    } else if (p.worker.expired() || (p.worker.connected() && bridge::error_matches(failure, PyExc_TimeoutError)) ||
               connect_timed_out()) {
        Owned timeout = at.jump_host ? io::timeout_text(at.host, c.io_timeout) : p.worker.timeout_text();
        hpc_log(p.self, "error", concat({"Remote execution error: ", timeout}), {{name(N::error), timeout}});
        origin = bridge::str_from("remote_execution");
        message = timeout;
    } else if (bridge::error_matches(failure, auth_error)) {
        Owned who = concat({"SSH authentication failed for ", bridge::str(at.username), "@", bridge::str(at.host),
                            at.jump_host ? " (jump host)" : ""});
        hpc_log(p.self, "error", who, {{name(N::hostname), at.host}, {name(N::username), at.username}});
        origin = bridge::str_from("authentication");
        message = concat({who, ". Please check your SSH key or credentials."});
    } else if (bridge::error_matches(failure, ssh_error)) {
        hpc_log(p.self, "error", concat({"SSH error: ", text}), {{name(N::hostname), at.host}, {name(N::error), text}});
        origin = bridge::str_from("ssh");
        message = concat({"SSH error connecting to ", bridge::str(at.host), ": ", text});
    } else {
        hpc_log(p.self, "error", concat({"Remote execution error: ", text}), {{name(N::error), text}});
        origin = bridge::str_from("remote_execution");
        message = text;
    }
    bridge::raise_in_context(bridge::call(global(N::NodeException), origin, message), Owned::ref(failure.get()));
}

// The first error of the failure's chain of causes and contexts (the
// failure included) that `is` tells; null when none is.
template <class Test>
Owned first_in_chain(Borrowed failure, Test&& is) {
    std::vector<Borrowed> pending{failure};
    std::vector<Borrowed> seen;
    while (!pending.empty()) {
        Borrowed e = pending.back();
        pending.pop_back();
        if (std::find(seen.begin(), seen.end(), e) != seen.end()) continue;
        seen.push_back(e);
        if (is(e)) return Owned::ref(e.get());
        // The links stay alive: each exception holds the next one.
        for (Owned next : {bridge::exception_cause(e), bridge::exception_context(e)})
            if (next) pending.push_back(next.get());
    }
    return {};
}

// An interrupt or exit request (outside the Exception family) that is the
// failure or anywhere in its chain of causes and contexts: paramiko called by
// a node's own code on the calling thread turns a Ctrl-C during a transfer
// into an error of its own, and the worker must still learn that it was
// asked to stop.
Owned interruption_in(Borrowed failure) {
    return first_in_chain(failure, [](Borrowed e) { return !bridge::error_matches(e, PyExc_Exception); });
}

}  // namespace

void raise_pass_failure(const PassContext& pass, Borrowed paramiko, Borrowed failure) {
    // Interrupts and exits pass unchanged, without an error line.
    if (Owned interruption = interruption_in(failure)) bridge::restore_error(std::move(interruption));
    raise_mapped_failure(pass, paramiko, failure);
}

bool ends_connection(Borrowed paramiko, Borrowed failure) noexcept {
    bool ends = true;
    bridge::unraisable([&] {
        Owned ssh_error = bridge::getattr(paramiko, name(N::SSHException));
        ends = static_cast<bool>(first_in_chain(failure, [&](Borrowed e) {
            return !bridge::error_matches(e, PyExc_Exception) || bridge::error_matches(e, PyExc_OSError) ||
                   bridge::error_matches(e, PyExc_EOFError) || bridge::error_matches(e, ssh_error);
        }));
    });
    return ends;
}

}  // namespace clusterlane
