"""Connections kept between passes ("keepConnection") on the test bed's real
sshd and SLURM: passes on threads share a few logins, a kept connection that
died or froze is replaced once without a second job, an idle one is closed
after its time, a forked child never touches its parent's, and without the
key every pass logs in as before.

Kept connections belong to the process, so the tests of this module keep
them apart by their settings: each uses an ioTimeout of its own."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import paramiko
import pytest

from fakessh import LogRecorder
from zentrel_core.node import NodeException

JOB = "#!/bin/bash\nsleep 1\necho done > out.txt\n"


def flow_vars(bed, **profile):
    return {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "bed",
                             "hpc_profile": bed.profile(**profile), "slurm_script": JOB}}


def out_txt(local_dir):
    with open(os.path.join(local_dir, "out.txt")) as fh:
        return {"out": fh.read()}


def logins(bed):
    with open(bed.logs["sshd"]) as fh:
        return sum("Accepted publickey for" in line for line in fh)


def follow(node, fv, timeout=60):
    """Passes of the node until its job completed; the results of all of them."""
    results = []
    deadline = time.monotonic() + timeout
    while not results or results[-1]["remote_job_status"] != "completed":
        assert time.monotonic() < deadline, results[-1]
        results.append(json.loads(node.execute([], fv)))
        assert results[-1]["remote_job_status"] in ("submitted", "pending", "running", "completing", "completed"), results[-1]
        time.sleep(0.3)
    return results


def one_job(results):
    """The job every pass followed, submitted once."""
    assert [r["remote_job_status"] for r in results].count("submitted") == 1
    job_ids = {r["remote_job_id"] for r in results}
    assert len(job_ids) == 1
    return job_ids.pop()


def connecting(log):
    return [m.split(" (idle")[0] if m.startswith("Reusing") else m for m in log.messages
            if m.startswith(("Reusing the SSH connection", "Connecting to HPC cluster"))]


@pytest.mark.parametrize("value", [-1, -0.5, True, "60", None, float("inf"), float("nan"), [60]])
def test_keep_connection_must_be_a_positive_number(make_node, monkeypatch, tmp_path, value):
    created = []
    monkeypatch.setattr(paramiko, "SSHClient", lambda: created.append(1))
    fv = {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "p",
                           "hpc_profile": {"host": "hpc.example.org", "username": "alice",
                                           "remoteWorkDir": "/scratch/alice", "keepConnection": value},
                           "slurm_script": JOB}}
    with pytest.raises(NodeException) as caught:
        make_node(working_path=tmp_path).execute([], fv)
    assert (caught.value.origin, caught.value.message) == (
        "configuration", "HPC profile field 'keepConnection' must be a positive number of seconds")
    assert created == []



@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
def test_twenty_nodes_on_four_threads_share_four_logins(bed, tmp_path, make_node):
    fv = flow_vars(bed, keepConnection=60, ioTimeout=301)
    nodes = [make_node(node_id=f"keep_{i}", working_path=tmp_path, outputs=["out.txt"], result_data=out_txt)
             for i in range(20)]
    before = logins(bed)
    pending = list(nodes)
    results, errors = {}, []
    lock = threading.Lock()

    def work():
        while True:
            with lock:
                if not pending:
                    return
                node = pending.pop()
            try:
                results[node.node_id] = follow(node, fv)
            except BaseException as error:  # reported below
                errors.append(error)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert len({one_job(r) for r in results.values()}) == 20
    assert all(r[-1]["data"]["out"] == "done\n" for r in results.values())
    assert logins(bed) - before <= 4


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
def test_passes_at_once_use_connections_of_their_own_and_four_stay(bed, tmp_path, make_node):
    from zentrel_core.clusterlane import ClusterlaneBase

    fv = flow_vars(bed, keepConnection=60, ioTimeout=307)
    barrier = threading.Barrier(6, timeout=60)
    nodes, logs, statuses = [], [], []
    for i in range(6):
        node = make_node(node_id=f"keep_at_once_{i}", working_path=tmp_path)
        # all six hold a connection before any of them goes on
        node._expand_remote_path = lambda ssh, path, node=node: (
            barrier.wait(), ClusterlaneBase._expand_remote_path(node, ssh, path))[1]
        logs.append(LogRecorder())
        node.set_log_callback(logs[-1])
        nodes.append(node)

    def round_of_passes():
        before = logins(bed)
        def one(node):
            statuses.append(json.loads(node.execute([], fv))["remote_job_status"])

        threads = [threading.Thread(target=one, args=(node,)) for node in nodes]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        return logins(bed) - before

    assert round_of_passes() == 6
    # four of the six were kept, the oldest two closed
    assert round_of_passes() == 2
    assert statuses[:6] == ["submitted"] * 6 and len(statuses) == 12 and "submitted" not in statuses[6:]
    assert len([m for log in logs for m in log.messages if m.startswith("Reusing")]) == 4


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
@pytest.mark.parametrize("n, failure, kept", [
    (0, KeyboardInterrupt, False), (1, paramiko.SSHException("channel closed"), False), (2, EOFError, False),
    (3, ValueError("not the connection's fault"), True),
], ids=["interrupt", "ssh_error", "eof", "other_error"])
def test_a_pass_that_failed_on_the_connection_does_not_keep_it(bed, tmp_path, make_node, n, failure, kept):
    from zentrel_core.clusterlane import ClusterlaneBase

    fv = flow_vars(bed, keepConnection=60, ioTimeout=310 + n)
    log = LogRecorder()
    node = make_node(node_id=f"keep_failed_{n}", working_path=tmp_path)
    node.set_log_callback(log)
    assert json.loads(node.execute([], fv))["remote_job_status"] == "submitted"
    node._expand_remote_path = lambda ssh, path: (_ for _ in ()).throw(failure)
    with pytest.raises((NodeException, KeyboardInterrupt)):
        node.execute([], fv)
    node._expand_remote_path = lambda ssh, path: ClusterlaneBase._expand_remote_path(node, ssh, path)
    json.loads(node.execute([], fv))
    target = f"{bed.ssh_host}:{bed.ssh_port}"
    assert connecting(log) == [f"Connecting to HPC cluster: {target}", f"Reusing the SSH connection to {target}",
                               f"Reusing the SSH connection to {target}" if kept
                               else f"Connecting to HPC cluster: {target}"]


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
@pytest.mark.parametrize("sig, io_timeout", [(signal.SIGKILL, 302), (signal.SIGSTOP, 303)], ids=["killed", "frozen"])
def test_a_kept_connection_that_died_or_froze_is_replaced(bed, tmp_path, make_node, sessions, sig, io_timeout):
    fv = flow_vars(bed, keepConnection=60, ioTimeout=io_timeout)
    log = LogRecorder()
    node = make_node(node_id=f"keep_bad_{sig}", working_path=tmp_path, outputs=["out.txt"], result_data=out_txt)
    node.set_log_callback(log)
    first = json.loads(node.execute([], fv))
    assert first["remote_job_status"] == "submitted"
    sessions(sig)
    time.sleep(0.5)
    started = time.monotonic()
    second = json.loads(node.execute([], fv))
    # the frozen one is given up after 15 s, not after ioTimeout
    assert time.monotonic() - started < 60
    results = [first, second] + follow(node, fv)
    assert one_job(results) == first["remote_job_id"]
    assert results[-1]["data"]["out"] == "done\n"
    seen = connecting(log)
    target = f"{bed.ssh_host}:{bed.ssh_port}"
    # a killed connection may be found dead when it is taken; a frozen one answers nothing
    assert seen[:3] in ([f"Connecting to HPC cluster: {target}", f"Reusing the SSH connection to {target}",
                         f"Connecting to HPC cluster: {target}"],
                        [f"Connecting to HPC cluster: {target}", f"Connecting to HPC cluster: {target}",
                         f"Reusing the SSH connection to {target}"])
    assert all(m.startswith("Reusing") for m in seen[3:])


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
def test_an_idle_connection_is_closed_after_its_time(bed, tmp_path, make_node):
    fv = flow_vars(bed, keepConnection=1.5, ioTimeout=304)
    node = make_node(node_id="keep_idle", working_path=tmp_path)
    before = set(bed.sshd_sessions())
    assert json.loads(node.execute([], fv))["remote_job_status"] == "submitted"
    ours = set(bed.sshd_sessions()) - before
    assert ours  # kept open after the pass
    deadline = time.monotonic() + 15
    while ours & set(bed.sshd_sessions()):
        assert time.monotonic() < deadline, "the idle connection was not closed"
        time.sleep(0.2)
    log = LogRecorder()
    node.set_log_callback(log)
    follow(node, fv)
    assert connecting(log)[0].startswith("Connecting to HPC cluster")


FORKED = textwrap.dedent("""
    import json, os, sys
    sys.path.insert(0, sys.argv[2])
    from fakessh import LogRecorder
    from nodes import SampleNode

    fv = json.loads(sys.argv[1])
    def run(name):
        log = LogRecorder()
        node = SampleNode(name, working_path=os.environ["HOME"])
        node.set_log_callback(log)
        status = json.loads(node.execute([], fv))["remote_job_status"]
        return status, [m.split(" (")[0] for m in log.messages if m.startswith(("Reusing", "Connecting to"))]

    print(json.dumps(run("parent")))
    pid = os.fork()
    if pid == 0:
        print(json.dumps(run("child")), flush=True)
        sys.exit(0)  # the child's exit closes the child's own kept connection only
    _, status = os.waitpid(pid, 0)
    print(json.dumps(run("parent")), status)
""")


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
def test_a_forked_child_uses_a_connection_of_its_own(bed):
    fv = flow_vars(bed, keepConnection=60, ioTimeout=305)
    before = logins(bed)
    run = subprocess.run([sys.executable, "-c", FORKED, json.dumps(fv), os.path.dirname(__file__)],
                         capture_output=True, text=True, timeout=120)
    # both processes closed their kept connections at exit without a word
    assert run.returncode == 0 and "Traceback" not in run.stderr and "Exception ignored" not in run.stderr, run.stderr
    target = f"{bed.ssh_host}:{bed.ssh_port}"
    first, child, last = run.stdout.splitlines()
    assert json.loads(first) == ["submitted", [f"Connecting to HPC cluster: {target}"]]
    assert json.loads(child)[1] == [f"Connecting to HPC cluster: {target}"]
    parent, status = last.rsplit(" ", 1)
    assert status == "0"
    assert json.loads(parent)[1] == [f"Reusing the SSH connection to {target}"]
    assert json.loads(parent)[0] in ("pending", "running", "completed")
    assert logins(bed) - before == 2


@pytest.mark.bed
@pytest.mark.usefixtures("private_home")
@pytest.mark.parametrize("keep", [None, 0], ids=["without", "zero"])
def test_without_keep_connection_every_pass_logs_in(bed, tmp_path, make_node, keep):
    extra = {} if keep is None else {"keepConnection": keep}
    fv = flow_vars(bed, ioTimeout=306, **extra)
    log = LogRecorder()
    node = make_node(node_id=f"keep_none_{keep}", working_path=tmp_path)
    node.set_log_callback(log)
    before = set(bed.sshd_sessions())
    logged_in = logins(bed)
    results = [json.loads(node.execute([], fv)) for _ in range(3)]
    assert one_job(results)
    assert logins(bed) - logged_in == 3
    assert connecting(log) == [f"Connecting to HPC cluster: {bed.ssh_host}:{bed.ssh_port}"] * 3
    deadline = time.monotonic() + 10
    while set(bed.sshd_sessions()) - before:  # each closed by its pass
        assert time.monotonic() < deadline
        time.sleep(0.1)
