"""Reaching the cluster as `ssh` does: known_hosts as OpenSSH writes it
(markers, hashed entries, broken lines), host keys pinned on first use
under a lock, "strict" and revoked keys, ~/.ssh/config aliases and jump
hosts.  The bed tests use the bed's real sshd and a second one as jump
host; the scripted client only checks the profile, what the ssh config adds
to the connect and the order in which connections are closed."""
import base64
import hashlib
import multiprocessing
import os
import signal
import socket
import threading

import paramiko
import pytest

from fakessh import PROFILE, FakeSSH, FakeTransport, LogRecorder, expansion_of, install, options, submitting_cluster
from nodes import SampleNode
from test_cluster_e2e import QUICK, execute, failure, hpc_flow_vars, node_options, poll
from zentrel_core.node import NodeException

on_bed = [pytest.mark.bed, pytest.mark.usefixtures("private_home")]


def public_key(path):
    """(type, base64) of an OpenSSH public key file."""
    with open(path + ".pub") as fh:
        return tuple(fh.read().split()[:2])


def fingerprint(blob):
    return "SHA256:" + base64.b64encode(hashlib.sha256(base64.b64decode(blob)).digest()).decode().rstrip("=")


def known_hosts(home):
    return home / ".ssh" / "known_hosts"


def write_ssh_config(home, text):
    (home / ".ssh" / "config").write_text(text)


def logged_maker(make_node, work, node_id, log):
    """Makes the bed node `node_id` working in `work`, its log going to `log`."""
    def make():
        node = make_node(node_id=node_id, **node_options(work))
        node.set_log_callback(log)
        return node
    return make


def run_fake(node, profile):
    log = LogRecorder()
    node.set_log_callback(log)
    return node._run_remote([], {}, options(profile)), log


# ---------------------------------------------------------------- profile and ssh config (scripted client)

@pytest.mark.parametrize("extra, message", [
    ({"hostKeyPolicy": "ask"}, "HPC profile field 'hostKeyPolicy' must be one of accept-new, strict, accept"),
    ({"hostKeyPolicy": True}, "HPC profile field 'hostKeyPolicy' must be one of accept-new, strict, accept"),
    ({"sshConfig": 1}, "HPC profile field 'sshConfig' must be the name of an ssh config file, or false to read none"),
    ({"sshConfig": "a\0b"}, "HPC profile field 'sshConfig' must be the name of an ssh config file, or false to read "
                            "none"),
    ({"proxyJump": "a b"}, "HPC profile field 'proxyJump' must be [user@]host[:port], several separated by commas, "
                           "or none"),
    ({"proxyJump": "gw:99999"}, "HPC profile field 'proxyJump' must be [user@]host[:port], several separated by "
                                "commas, or none"),
    ({"proxyJump": "gw,,gw2"}, "HPC profile field 'proxyJump' must be [user@]host[:port], several separated by "
                               "commas, or none"),
])
def test_profile_keys_are_checked_before_connecting(make_node, monkeypatch, extra, message):
    ssh = install(monkeypatch, FakeSSH())
    with pytest.raises(NodeException) as caught:
        run_fake(make_node(scripted=True), dict(PROFILE, **extra))
    assert (caught.value.origin, caught.value.message) == ("configuration", message)
    assert ssh.calls == []


@pytest.fixture
def fake_cluster(monkeypatch):
    return submitting_cluster(monkeypatch)


def test_ssh_config_applies_where_the_profile_is_silent(make_node, fake_cluster, private_home):
    key = private_home / ".ssh" / "id_alice"
    key.write_text("")
    write_ssh_config(
        private_home,
        "Host hpc\n"
        "    HostName login1.example.org\n"
        "    Port 2200\n"
        "    User someone-else\n"
        "    IdentityFile ~/.ssh/id_missing\n"
        "    IdentityFile ~/.ssh/id_%r\n"
        "    ProxyJump none\n"
        "NoValueHere\n"
        "Host\n"                      # broken: its block is skipped with it
        "    HostName elsewhere\n"
        "Host *\n"
        "    Port 2300\n")
    _, log = run_fake(make_node(scripted=True), dict(PROFILE, host="hpc"))
    assert fake_cluster.connect_kwargs == {"hostname": "login1.example.org", "port": 2200, "username": "alice",
                                           "key_filename": str(key)}
    assert ("debug", f"Skipped 3 lines of {private_home}/.ssh/config that could not be read (first: line 8)",
            {}) in log.events
    assert log.find("Connecting to hpc at")[0][1] == ("Connecting to hpc at login1.example.org (HostName in "
                                                      f"{private_home}/.ssh/config)")
    assert log.find("Connecting to HPC cluster")[0][1] == "Connecting to HPC cluster: hpc:2200"

    # the profile's own fields win; sshConfig false reads nothing
    run_fake(make_node(scripted=True), dict(PROFILE, host="hpc", port=22, keyFilename="/k"))
    assert fake_cluster.connect_kwargs == {"hostname": "login1.example.org", "port": 22, "username": "alice",
                                           "key_filename": "/k"}
    run_fake(make_node(scripted=True), dict(PROFILE, host="hpc", sshConfig=False))
    assert fake_cluster.connect_kwargs == {"hostname": "hpc", "port": 22, "username": "alice"}
    # a form's empty fields count as unset
    run_fake(make_node(scripted=True), dict(PROFILE, host="hpc", sshConfig="", proxyJump=" "))
    assert fake_cluster.connect_kwargs["hostname"] == "login1.example.org"


def test_known_hosts_paramiko_cannot_load_are_read_line_by_line(make_node, fake_cluster, private_home):
    known_hosts(private_home).write_text("@cert-authority *.example.org ssh-ed25519 AAAA\n")
    fake_cluster.fail("load_system_host_keys", paramiko.hostkeys.InvalidHostKey("@cert-authority", ValueError()))
    result, log = run_fake(make_node(scripted=True), dict(PROFILE))
    assert result["remote_job_status"] == "submitted"
    assert log.find("Skipped 1 line of ") == [
        ("debug", f"Skipped 1 line of {known_hosts(private_home)} that could not be read (first: line 1)", {})]


class HopTransport(FakeTransport):
    def __init__(self, events, name):
        super().__init__()
        self.events, self.name = events, name

    def open_channel(self, kind, dest_addr, src_addr, timeout=None):
        self.events.append(("open_channel", self.name, kind, dest_addr, timeout))
        return f"channel of {self.name}"


class Hop(FakeSSH):
    def __init__(self, events, name):
        super().__init__()
        self.events, self.name = events, name
        self.transport = HopTransport(events, name)

    def connect(self, **kwargs):
        self.events.append(("connect", self.name, kwargs))
        super().connect(**kwargs)

    def close(self):
        self.events.append(("close", self.name))
        super().close()


def test_jump_hosts_connect_in_order_and_close_after_the_cluster_on_an_interrupt(make_node, monkeypatch):
    events = []
    cluster = Hop(events, "cluster")
    expansion_of(cluster, "/scratch/alice", "/scratch/alice")
    cluster.fail("open_sftp", KeyboardInterrupt())
    clients = iter([cluster, Hop(events, "gw1"), Hop(events, "gw2")])
    monkeypatch.setattr(paramiko, "SSHClient", lambda: next(clients))
    profile = dict(PROFILE, proxyJump="bob@gw1, gw2:2022", sshConfig=False, ioTimeout=9)
    with pytest.raises(KeyboardInterrupt):
        run_fake(make_node(scripted=True), profile)
    timeouts = {"timeout": 9.0, "banner_timeout": 9.0, "auth_timeout": 9.0}
    assert events == [
        ("connect", "gw1", dict(hostname="gw1", port=22, username="bob", **timeouts)),
        ("open_channel", "gw1", "direct-tcpip", ("gw2", 2022), 9.0),
        ("connect", "gw2", dict(hostname="gw2", port=2022, username="alice", sock="channel of gw1", **timeouts)),
        ("open_channel", "gw2", "direct-tcpip", ("hpc.example.org", 22), 9.0),
        ("connect", "cluster", dict(hostname="hpc.example.org", port=22, username="alice", sock="channel of gw2",
                                    **timeouts)),
        ("close", "cluster"), ("close", "gw1"), ("close", "gw2"),
    ]


def test_each_host_takes_its_own_identity_file(make_node, monkeypatch, private_home):
    for name in ("id_cluster", "id_gw"):
        (private_home / ".ssh" / name).write_text("")
    write_ssh_config(
        private_home,
        "Host hpc\n    IdentityFile ~/.ssh/id_cluster\n    ProxyJump gw\n"
        "Host gw\n    HostName gw.example.org\n    IdentityFile ~/.ssh/id_gw\n")
    events = []
    cluster = Hop(events, "cluster")
    expansion_of(cluster, "/scratch/alice", "/scratch/alice")
    cluster.fail("open_sftp", KeyboardInterrupt())
    clients = iter([cluster, Hop(events, "gw")])
    monkeypatch.setattr(paramiko, "SSHClient", lambda: next(clients))
    with pytest.raises(KeyboardInterrupt):
        run_fake(make_node(scripted=True), dict(PROFILE, host="hpc", keyPassphrase="pw"))
    connects = {e[1]: e[2] for e in events if e[0] == "connect"}
    ssh_dir = private_home / ".ssh"
    assert connects["gw"] == {"hostname": "gw.example.org", "port": 22, "username": "alice",
                              "key_filename": str(ssh_dir / "id_gw"), "passphrase": "pw"}
    assert connects["cluster"] == {"hostname": "hpc", "port": 22, "username": "alice", "sock": "channel of gw",
                                   "key_filename": str(ssh_dir / "id_cluster"), "passphrase": "pw"}


@pytest.mark.parametrize("exception, origin, message", [
    (paramiko.AuthenticationException("Authentication failed."), "authentication",
     "SSH authentication failed for bob@gw1 (jump host). Please check your SSH key or credentials."),
    (paramiko.SSHException("Error reading SSH protocol banner"), "ssh",
     "SSH error connecting to gw1: Error reading SSH protocol banner"),
    (socket.timeout("timed out"), "remote_execution", "No answer from gw1 for 9 seconds"),
], ids=["auth", "ssh", "timeout"])
def test_failures_at_a_jump_host_name_it(make_node, monkeypatch, exception, origin, message):
    events = []
    cluster, gw1 = Hop(events, "cluster"), Hop(events, "gw1")
    gw1.fail("connect", exception)
    clients = iter([cluster, gw1])
    monkeypatch.setattr(paramiko, "SSHClient", lambda: next(clients))
    with pytest.raises(NodeException) as caught:
        run_fake(make_node(scripted=True), dict(PROFILE, proxyJump="bob@gw1", sshConfig=False, ioTimeout=9))
    assert (caught.value.origin, caught.value.message) == (origin, message)
    assert [e for e in events if e[0] == "close"] == [("close", "cluster"), ("close", "gw1")]


# ---------------------------------------------------------------- on the bed

@pytest.fixture
def server_key(bed):
    return public_key(bed.ssh_host_key_path)


def pattern(bed):
    return f"[{bed.ssh_host}]:{bed.ssh_port}"


def lookup(path, host):
    return paramiko.HostKeys(str(path)).lookup(host)


def nothing_submitted(bed, work, node_id):
    return (not (work / f".zentrel_hpc_{node_id}.json").exists()
            and bed.run_as_user(f"test -e {bed.remote_work_dir}/job_{node_id}").returncode != 0)


@pytest.mark.bed
def test_alias_reached_only_through_the_jump_host(bed, work, make_node, private_home):
    jump_port = bed.start_jump_host()
    write_ssh_config(
        private_home,
        "Host cluster-alias\n"
        f"    HostName {bed.ssh_host}\n"
        f"    Port {bed.ssh_port}\n"
        f"    IdentityFile {bed.key_path}\n"
        f"    ProxyJump {bed.ssh_user}@jump-alias\n"
        "Host jump-alias\n"
        f"    HostName {bed.ssh_host}\n"
        f"    Port {jump_port}\n"
        f"    IdentityFile {bed.key_path}\n")
    profile = {"host": "cluster-alias", "username": bed.ssh_user, "remoteWorkDir": bed.remote_work_dir}
    log = LogRecorder()
    results = poll(logged_maker(make_node, work, "reach_alias", log), hpc_flow_vars(bed, profile=profile))
    assert results[0]["remote_job_status"] == "submitted" and results[-1]["remote_job_status"] == "completed"
    assert results[-1]["data"]["result"] == "HELLO CLUSTER"
    with open(bed.logs["sshd-jump"]) as fh:
        forwarded = [line for line in fh if f"target {bed.ssh_host} port {bed.ssh_port}" in line]
    assert len(forwarded) >= len(results)
    hop = log.find("Connecting through jump host")[0]
    assert hop == ("info", f"Connecting through jump host {bed.ssh_user}@jump-alias:{jump_port}",
                   {"jump_host": f"{bed.ssh_user}@jump-alias:{jump_port}", "hop": 1, "hops": 1})
    # both hosts pinned once, hashed as /etc/ssh/ssh_config asks (Debian), the jump host as its own pattern
    lines = known_hosts(private_home).read_text().splitlines()
    assert len(lines) == 2 and all(line.startswith("|1|") for line in lines)
    assert lookup(known_hosts(private_home), f"[{bed.ssh_host}]:{jump_port}")["ssh-ed25519"].get_base64() == \
        public_key(bed.jump_host_key_path)[1]


@pytest.mark.bed
def test_proxy_command_of_the_ssh_config(bed, work, make_node, private_home):
    # OpenSSH's own client as the proxy, through the jump host
    jump_port = bed.start_jump_host()
    write_ssh_config(
        private_home,
        "Host proxied\n"
        f"    HostName {bed.ssh_host}\n"
        "    ServerAliveInterval 30\n"
        f"    ProxyCommand ssh -F /dev/null -i {bed.key_path} -p {jump_port} -o BatchMode=yes "
        "-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null "
        f"-W %h:%p {bed.ssh_user}@{bed.ssh_host}\n")
    profile = bed.profile(host="proxied")
    result = execute(make_node(node_id="reach_proxy", **node_options(work)), hpc_flow_vars(bed, profile=profile))
    assert result["remote_job_status"] == "submitted"
    with open(bed.logs["sshd-jump"]) as fh:
        assert any(f"target {bed.ssh_host} port {bed.ssh_port}" in line for line in fh)


@pytest.mark.bed
def test_pinned_in_plain_text_without_hash_known_hosts(bed, work, make_node, private_home, server_key):
    write_ssh_config(private_home, "Host *\n    HashKnownHosts no\n")
    log = LogRecorder()
    node = logged_maker(make_node, work, "reach_plain", log)()
    assert execute(node, hpc_flow_vars(bed))["remote_job_status"] == "submitted"
    assert known_hosts(private_home).read_text() == f"{pattern(bed)} {server_key[0]} {server_key[1]}\n"
    file = str(known_hosts(private_home))
    assert log.find("Permanently added") == [(
        "warning", f"Permanently added '{pattern(bed)}' ({server_key[0]} {fingerprint(server_key[1])}) to the list "
                   f"of known hosts in {file}",
        {"hostname": bed.ssh_host, "key_type": server_key[0], "fingerprint": fingerprint(server_key[1]),
         "known_hosts": file})]


@pytest.mark.bed
def test_known_hosts_that_cannot_be_written_leave_the_pass_going(bed, work, make_node, private_home):
    known_hosts(private_home).mkdir()
    log = LogRecorder()
    node = logged_maker(make_node, work, "reach_unwritable", log)()
    assert execute(node, hpc_flow_vars(bed))["remote_job_status"] == "submitted"
    assert log.find("Cannot add") == [("warning", f"Cannot add the host key of {bed.ssh_host} to "
                                                  f"{known_hosts(private_home)}: Is a directory", {})]


@pytest.mark.bed
def test_a_jump_host_frozen_during_an_upload_ends_the_pass_in_time(bed, work, make_node):
    jump_port = bed.start_jump_host()
    big = work / "big.bin"
    with open(big, "wb") as fh:
        fh.truncate(256 * 1024 * 1024)
    node = make_node(node_id="reach_frozen", **node_options(work, [str(big)]))
    frozen = []

    def freeze_soon(level, message, **metadata):
        if message.startswith("Uploading: big.bin") and not frozen:
            frozen.append(True)
            threading.Timer(0.3, lambda: frozen.extend(
                [os.kill(pid, signal.SIGSTOP) or pid for pid in bed.sshd_sessions("sshd-jump")])).start()

    node.set_log_callback(freeze_soon)
    profile = bed.profile(proxyJump=f"{bed.ssh_user}@{bed.ssh_host}:{jump_port}", ioTimeout=2)
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(failure(node, hpc_flow_vars(bed, profile=profile))))
    try:
        thread.start()
        thread.join(60)
    finally:
        for pid in frozen[1:]:
            os.kill(pid, signal.SIGCONT)
    assert outcome == [("remote_execution", f"No answer from {bed.ssh_host} for 2 seconds")]
    assert len(frozen) > 1


@pytest.mark.bed
def test_authentication_refused_at_the_jump_host_names_it(bed, work, make_node):
    jump_port = bed.start_jump_host()
    profile = bed.profile(proxyJump=f"nobody@{bed.ssh_host}:{jump_port}")
    assert failure(make_node(node_id="reach_hop_auth", **node_options(work)), hpc_flow_vars(bed, profile=profile)) \
        == ("authentication", f"SSH authentication failed for nobody@{bed.ssh_host} (jump host). Please check your "
                              "SSH key or credentials.")
    assert nothing_submitted(bed, work, "reach_hop_auth")


@pytest.mark.bed
@pytest.mark.parametrize("form", ["plain", "hashed"])
def test_known_hosts_with_markers_and_broken_lines(bed, work, make_node, private_home, server_key, form):
    other = public_key(bed.wrong_key_path)
    entry = paramiko.HostKeys.hash_host(pattern(bed)) if form == "hashed" else pattern(bed)
    text = (f"# comment\n\n@cert-authority *.example.org {other[0]} {other[1]}\n"
            f"@revoked * {other[0]} {other[1]}\n"
            "garbage here\n"
            f"|1|bm90|aGFzaA== {other[0]} {other[1]}\n"
            f"{entry} {server_key[0]} {server_key[1]}\n")
    known_hosts(private_home).write_text(text)
    log = LogRecorder()
    results = poll(logged_maker(make_node, work, f"reach_known_{form}", log), hpc_flow_vars(bed))
    assert results[-1]["remote_job_status"] == "completed"
    assert known_hosts(private_home).read_text() == text  # a known host: nothing appended
    assert ("debug", f"Skipped 3 lines of {known_hosts(private_home)} that could not be read (first: line 3)",
            {}) in log.events


@pytest.mark.bed
def test_revoked_server_key_is_refused_before_anything_runs(bed, work, make_node, private_home, server_key):
    known_hosts(private_home).write_text(f"{pattern(bed)} {server_key[0]} {server_key[1]}\n"
                                         f"@revoked * {server_key[0]} {server_key[1]}\n")
    assert failure(make_node(node_id="reach_revoked", **node_options(work)), hpc_flow_vars(bed)) == (
        "ssh", f"Host key of {bed.ssh_host} ({server_key[0]} {fingerprint(server_key[1])}) is revoked in "
               f"{known_hosts(private_home)}; not connecting")
    assert nothing_submitted(bed, work, "reach_revoked")


@pytest.mark.bed
def test_strict_refuses_an_unknown_host_before_authentication(bed, work, make_node, private_home):
    # with a key sshd refuses: a refusal after authentication would say "authentication"
    profile = bed.profile(hostKeyPolicy="strict", keyFilename=bed.wrong_key_path)
    assert failure(make_node(node_id="reach_strict", **node_options(work)), hpc_flow_vars(bed, profile=profile)) == (
        "ssh", f"Host key of {bed.ssh_host} is not known; add it to ~/.ssh/known_hosts (for example with "
               "ssh-keyscan) or set hostKeyPolicy to accept-new")
    assert not known_hosts(private_home).exists()


def _passes(go, work, flow_vars, node_ids, results):
    def one(node_id):
        results.put(execute(SampleNode(node_id, **node_options(work)), flow_vars)["remote_job_status"])

    threads = [threading.Thread(target=one, args=(n,)) for n in node_ids]
    go.wait(timeout=60)
    for t in threads:
        t.start()
    for t in threads:
        t.join()


@pytest.mark.bed
def test_unknown_host_pinned_once_then_a_new_host_key_refused(bed, work, make_node, private_home, server_key):
    # runs last in this module: the bed's sshd gets a new host key
    (private_home / ".ssh").rmdir()
    flow_vars = hpc_flow_vars(bed, QUICK)
    ctx = multiprocessing.get_context("spawn")
    go, results = ctx.Barrier(3), ctx.Queue()
    groups = [[f"reach_pin{i}" for i in range(3)], [f"reach_pin{i}" for i in range(3, 5)]]
    workers = [ctx.Process(target=_passes, args=(go, work, flow_vars, ids, results)) for ids in groups]
    for w in workers:
        w.start()
    go.wait(timeout=60)
    assert sorted(results.get(timeout=60) for _ in range(5)) == ["submitted"] * 5
    for w in workers:
        w.join(timeout=10)
    pinned = known_hosts(private_home).read_bytes()
    assert len(pinned.splitlines()) == 1
    assert lookup(known_hosts(private_home), pattern(bed))[server_key[0]].get_base64() == server_key[1]
    assert oct(known_hosts(private_home).stat().st_mode & 0o777) == "0o600"
    assert oct((private_home / ".ssh").stat().st_mode & 0o777) == "0o700"

    bed.regenerate_host_key()
    origin, message = failure(make_node(node_id="reach_new_key", **node_options(work)), flow_vars)
    assert origin == "ssh"
    assert message.startswith(f"SSH error connecting to {bed.ssh_host}: Host key for server '{bed.ssh_host}' does "
                              "not match")
    assert nothing_submitted(bed, work, "reach_new_key")
    assert known_hosts(private_home).read_bytes() == pinned
