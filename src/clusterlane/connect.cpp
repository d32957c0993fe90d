// A pass's SSH connection: the known host keys, SSHClient.connect with the
// profile's arguments, and requests sent without delay (TCP_NODELAY).
#include "connect.hpp"

#include "bridge/statements.hpp"
#include "support.hpp"

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

}  // namespace

Owned new_ssh_client(Borrowed paramiko) { return bridge::call(bridge::getattr(paramiko, name(N::SSHClient))); }

void connect(const PassContext& pass) {
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

}  // namespace clusterlane
