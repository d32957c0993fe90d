"""Failures that say why: a pass whose output files cannot be written
locally (on the test bed's real sshd and SLURM) names the reason, in the
error of an essential file and in the result data of a standard one; a
connect that gets no answer within ioTimeout (real sockets that never
answer) ends as the pass's timeout, while refusals and other SSH errors keep
their own mapping."""
import contextlib
import socket
import threading

import paramiko
import pytest

from fakessh import PROFILE, LogRecorder, options, submitting_cluster
from test_cluster_e2e import QUICK, execute, failure, hpc_flow_vars, node_options
from test_cluster_faults import completed_job
from zentrel_core.node import NodeException

TAKEN = "taken.txt"  # a directory stands at its local path


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
def test_an_output_that_cannot_be_written_fails_or_is_reported_with_its_reason(bed, work, make_node):
    fv = hpc_flow_vars(bed, QUICK + f"printf new > {TAKEN}\n")
    (work / TAKEN).mkdir()
    job_dir = f"{bed.remote_work_dir}/job_reasons"

    def node(category):
        return make_node(node_id="reasons", categories={"essential": ["result.txt"], category: [TAKEN]},
                         **node_options(work))

    job_id = completed_job(bed, node("essential"), fv)
    origin, message = failure(node("essential"), fv)
    assert origin == "remote_execution"
    assert message.startswith(f"[download] Could not download essential output files: {TAKEN} ([Errno 21] Is a "
                              f"directory: '{work}/.zentrel-")
    assert message.endswith(f"/{TAKEN}'). They stay on the cluster in {job_dir} and are fetched again on the next call.")

    result = execute(node("standard"), fv)
    record = result["data"]["remote_files"][TAKEN]
    assert (result["remote_job_status"], result["remote_job_id"]) == ("completed", job_id)
    assert result["data"]["skipped_large_files"] == []
    assert (record["remote_path"], record["category"]) == (f"{job_dir}/{TAKEN}", "standard")
    assert record["reason"].startswith("Download failed: [Errno 21] Is a directory")
    assert (work / TAKEN).is_dir() and not list(work.glob(".zentrel-*.part"))
    assert (work / "result.txt").read_text() == "HELLO CLUSTER\n"


# ---------------------------------------------------------------- connecting

@contextlib.contextmanager
def silent_server():
    """A port whose server accepts connections and never says a word."""
    server = socket.create_server(("127.0.0.1", 0))
    held = []

    def accept():
        with contextlib.suppress(OSError):
            while True:
                held.append(server.accept()[0])

    threading.Thread(target=accept, daemon=True).start()
    try:
        yield server.getsockname()[1]
    finally:
        server.close()
        for conn in held:
            conn.close()


@contextlib.contextmanager
def full_accept_queue():
    """A port whose accept queue is full: the kernel drops further SYNs."""
    server = socket.create_server(("127.0.0.1", 0), backlog=0)
    fillers = []
    for _ in range(4):
        filler = socket.socket()
        filler.setblocking(False)
        with contextlib.suppress(BlockingIOError):
            filler.connect(server.getsockname())
        fillers.append(filler)
    try:
        yield server.getsockname()[1]
    finally:
        for s in fillers + [server]:
            s.close()


def run_remote(node, profile):
    log = LogRecorder()
    node.set_log_callback(log)
    with pytest.raises(NodeException) as caught:
        node._run_remote([], {}, options(profile))
    return caught.value.origin, caught.value.message, log


@pytest.mark.usefixtures("private_home")
@pytest.mark.parametrize("server", [silent_server, full_accept_queue])
def test_a_connect_without_answer_ends_as_a_timeout(make_node, server):
    with server() as port:
        origin, message, log = run_remote(make_node(scripted=True),
                                          dict(PROFILE, host="127.0.0.1", port=port, ioTimeout=1))
    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 1 seconds")
    assert log.events[-1] == ("error", "Remote execution error: " + message, {"error": message})


def after(context, error):
    error.__context__ = context
    return error


TIMEOUT = ("remote_execution", "No answer from hpc.example.org for 5 seconds")


@pytest.mark.parametrize("error, kex_done, expected", [
    (paramiko.AuthenticationException("Authentication timeout."), True, TIMEOUT),
    (paramiko.AuthenticationException("Authentication failed."), True,
     ("authentication", "SSH authentication failed for alice@hpc.example.org. Please check your SSH key or "
                        "credentials.")),
    (after(socket.timeout(), paramiko.SSHException("Error reading SSH protocol banner")), False, TIMEOUT),
    (after(EOFError(), paramiko.SSHException("Error reading SSH protocol banner")), False,
     ("ssh", "SSH error connecting to hpc.example.org: Error reading SSH protocol banner")),
    # the connection ended after the key exchange, before authentication
    (paramiko.SSHException("No existing session"), True,
     ("ssh", "SSH error connecting to hpc.example.org: No existing session")),
], ids=["auth-timeout", "auth-refused", "banner-timeout", "banner-eof", "session-gone"])
def test_only_connect_waits_that_ran_out_of_time_are_timeouts(make_node, monkeypatch, error, kex_done, expected):
    ssh = submitting_cluster(monkeypatch)
    ssh.transport.initial_kex_done, ssh.transport.saved_exception = kex_done, None
    ssh.transport.is_active = lambda: False
    ssh.fail("connect", error)
    origin, message, _ = run_remote(make_node(scripted=True), dict(PROFILE, ioTimeout=5))
    assert (origin, message) == expected
