// A pass's SSH connection: the known host keys, SSHClient.connect with the
// profile's arguments, and requests sent without delay (TCP_NODELAY); or a
// connection kept by an earlier pass ("keepConnection"), given up for a new
// one when its first command gets no answer.
#include "connect.hpp"

#include "bridge/statements.hpp"
#include "connection_pool.hpp"
#include "support.hpp"

#include <cstdio>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace clusterlane {

namespace {

using bridge::concat;

// Requests go out at once.  With Nagle's algorithm a download's small read
// requests can wait for the server's delayed ACKs: two passes downloading on
// two threads of one process were seen to fall into that rhythm, about 7 ms
// per 32 KiB chunk (45 s instead of 3 s for 200 MiB).  Best effort: a
// transport that is no TCP socket (a proxy command, say) is left as it is.
void send_without_delay(Borrowed ssh) {
    bridge::try_except(
        [&] {
            Owned transport = bridge::call_method(ssh, name(N::get_transport));
            Owned sock = transport.borrow().is_none() ? Owned{} : bridge::getattr_optional(transport, name(N::sock));
            if (!sock) return;
            const long fd = bridge::to_long(bridge::call_method(sock, name(N::fileno)));
            const int on = 1;
            ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // refused: nothing lost
        },
        PyExc_Exception, [](Borrowed) {});
}

// How long the first command on a kept connection waits for an answer
// before the pass gives the connection up (at most ioTimeout).  A connection
// that sat idle may have died without a word: a login node rebooted, a
// firewall that dropped the idle flow, a frozen sshd.
constexpr double kFirstAnswer = 15.0;

// True when the client's transport is there and active; false also when
// asking fails.
bool transport_active(Borrowed ssh) {
    return bridge::try_except(
        [&] {
            Owned transport = bridge::call_method(ssh, name(N::get_transport));
            return !transport.borrow().is_none() && bridge::truthy(bridge::call_method(transport, name(N::is_active)));
        },
        PyExc_Exception, [](Borrowed) { return false; });
}

Owned one_decimal(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return bridge::str_from(text);
}

// The newest kept connection of the pass's settings that is still active.
bool take_kept(PassContext& pass) {
    if (pass.profile.keep_key.empty()) return false;
    for (;;) {
        std::optional<pool::Taken> taken = pool::take(pass.profile.keep_key);
        if (!taken) return false;
        if (!transport_active(taken->connection.client)) {
            pool::close(taken->connection);
            continue;
        }
        const Profile& p = pass.profile;
        pass.route.take_over(taken->connection);
        pass.ssh = std::move(taken->connection.client);
        pass.worker.attach_client(pass.ssh);
        pass.reused = true;
        hpc_log(pass.self, "info",
                concat({"Reusing the SSH connection to ", bridge::str(p.host), ":", bridge::str(p.port), " (idle ",
                        one_decimal(taken->idle_seconds), " s)"}),
                {{name(N::hostname), p.host}, {name(N::port), p.port}});
        return true;
    }
}

void connect_new(const PassContext& pass) {
    const Profile& p = pass.profile;
    hpc_log(pass.self, "info", concat({"Connecting to HPC cluster: ", bridge::str(p.host), ":", bridge::str(p.port)}),
            {{name(N::hostname), p.host}, {name(N::port), p.port}, {name(N::username), p.username}});
    // Jump hosts first; known hosts loaded before each connect, so a host
    // whose key contradicts them is refused, and checked again after it.
    pass.route.connect(pass.ssh, p.connect_kwargs, send_without_delay);
    pass.worker.attach_client(pass.ssh);
    send_without_delay(pass.ssh);
    hpc_log(pass.self, "info", bridge::str_from("SSH connection established"));
}

// A kept connection that failed its first command: closed with its jump
// hosts (what closing raises of the Exception family is dropped: the
// connection is dead), then a new one made along the same route.
void reconnect(PassContext& pass) {
    if (Owned raised = io::close_transport(pass.ssh)) bridge::restore_error(std::move(raised));
    bridge::attempt([&] { bridge::call_method(pass.ssh, name(N::close)); });
    bridge::attempt([&] { pass.route.close(pass.ssh); });
    pass.reused = false;
    pass.worker.detach();
    pass.sftp = Owned{};
    pass.ssh = new_ssh_client(pass.route.paramiko());
    connect_new(pass);
}

// Closes the client, then the jump hosts, as every pass without
// "keepConnection" does.
void close_connection(PassContext& pass) {
    bridge::try_finally([&] { pass.worker.close_client(pass.ssh); }, [&] { pass.route.close(pass.ssh); });
}

}  // namespace

Owned new_ssh_client(Borrowed paramiko) { return bridge::call(bridge::getattr(paramiko, name(N::SSHClient))); }

void connect(PassContext& pass) {
    if (!take_kept(pass)) connect_new(pass);
}

Owned first_command(PassContext& pass, Owned (*first)(PassContext& pass)) {
    if (!pass.reused) return first(pass);
    auto lost = [&] { return pass.worker.expired() || !transport_active(pass.ssh); };
    pass.worker.shorten_limit(kFirstAnswer);
    Owned answer = bridge::try_finally(
        [&] {
            return bridge::try_except([&] { return first(pass); }, PyExc_Exception, [&](Borrowed error) -> Owned {
                if (!lost()) bridge::restore_error(Owned::ref(error.get()));
                return {};
            });
        },
        [&] { pass.worker.full_limit(); });
    if (answer && !lost()) {
        pass.reused = false;
        return answer;
    }
    hpc_log(pass.self, "info",
            concat({"The kept SSH connection to ", bridge::str(pass.profile.host), ":", bridge::str(pass.profile.port),
                    " does not answer; connecting afresh"}),
            {{name(N::hostname), pass.profile.host}, {name(N::port), pass.profile.port}});
    reconnect(pass);
    return first(pass);
}

void end_connection(PassContext& pass, bool healthy) {
    const Profile& p = pass.profile;
    if (!healthy || p.keep_key.empty() || !pass.worker.connected() || pass.worker.expired())
        return close_connection(pass);
    bridge::on_error([&] { pass.worker.release_client(pass.sftp); }, [&] { close_connection(pass); });
    if (!transport_active(pass.ssh)) return close_connection(pass);
    pool::keep(p.keep_key, pass.route.hand_over(pass.ssh), p.keep_seconds);
}

}  // namespace clusterlane
