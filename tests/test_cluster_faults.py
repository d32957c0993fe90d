"""A cluster that stops answering, drops the connection or is interrupted
in the middle of a pass, on the test bed's real sshd and SLURM: the pass
ends within its ioTimeout, a failed essential download fails it, Ctrl-C
stops it, and the recorded job is carried on by the next call."""
import glob
import json
import os
import signal
import threading
import time

import pytest

from fakessh import LogRecorder
from zentrel_core.node import NodeException

# paramiko's prefetch thread of a download dies with EOFError when the
# connection goes away under it; that is its own report, not ours.
pytestmark = [pytest.mark.bed, pytest.mark.usefixtures("private_home"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")]

BIG = 200 * 1024 * 1024
BIG_JOB = f"#!/bin/bash\nhead -c {BIG} /dev/zero > big.dat\n"


def big_dat_size(local_dir):
    return {"size": os.path.getsize(os.path.join(local_dir, "big.dat"))}


def node_options(work, inputs=()):
    """make_node options of a node working in `work` whose job's output is
    big.dat; its result is the size downloaded."""
    return dict(working_path=work, inputs=[str(i) for i in inputs], outputs=["big.dat"], result_data=big_dat_size)


@pytest.fixture
def sessions(bed):
    """Signals the sshd processes of the open connections; every frozen one
    is let go again at the end of the test."""
    frozen = []

    def signal_all(sig):
        pids = bed.sshd_sessions()
        assert pids, "no open SSH connection to signal"
        for pid in pids:
            os.kill(pid, sig)
        if sig == signal.SIGSTOP:
            frozen.extend(pids)

    yield signal_all
    for pid in frozen:
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


def flow_vars(bed, script=BIG_JOB, **profile):
    return {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "bed",
                             "hpc_profile": bed.profile(**profile), "slurm_script": script}}


def execute(node, fv):
    return json.loads(node.execute([], fv))


def completed_job(bed, node, fv):
    """Submits the node's job and waits, without a pass, until SLURM reports it completed."""
    job_id = execute(node, fv)["remote_job_id"]
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        state = bed.run_as_user(f"squeue -j {job_id} -h -o %T").stdout.strip()
        if state == "COMPLETED":
            return job_id
        assert state in ("PENDING", "CONFIGURING", "RUNNING", "COMPLETING"), state
        time.sleep(0.3)
    pytest.fail(f"job {job_id} did not complete")


def when_file_grows(path, action, size=16 * 1024 * 1024):
    """Runs action() on a thread once the download to the local path (into
    its temporary file beside it) has passed `size` bytes."""
    pattern = os.path.join(os.path.dirname(path), "." + os.path.basename(path) + ".*.part")

    def watch():
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            for part in glob.glob(pattern):
                try:
                    if os.path.getsize(part) > size:
                        return action()
                except FileNotFoundError:
                    pass
            time.sleep(0.005)
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def failing_pass(node, fv):
    started = time.monotonic()
    with pytest.raises(NodeException) as caught:
        node.execute([], fv)
    return caught.value.origin, caught.value.message, time.monotonic() - started


def test_connection_dropped_during_an_essential_download(bed, tmp_path, sessions, make_node):
    fv = flow_vars(bed)
    node = make_node(node_id="fault_kill", **node_options(tmp_path))
    job_id = completed_job(bed, node, fv)
    state = (tmp_path / ".zentrel_hpc_fault_kill.json").read_bytes()

    when_file_grows(tmp_path / "big.dat", lambda: sessions(signal.SIGKILL))
    origin, message, _ = failing_pass(node, fv)

    assert origin == "remote_execution"
    assert message == (f"[download] Could not download essential output files: big.dat. They stay on the cluster "
                       f"in {bed.remote_work_dir}/job_fault_kill and are fetched again on the next call.")
    assert not [name for name in os.listdir(tmp_path) if "big.dat" in name]  # nor a temporary file
    assert (tmp_path / ".zentrel_hpc_fault_kill.json").read_bytes() == state

    again = execute(make_node(node_id="fault_kill", **node_options(tmp_path)), fv)
    assert (again["remote_job_status"], again["remote_job_id"], again["data"]) == ("completed", job_id, {"size": BIG})


def test_output_rewritten_during_its_download_is_not_taken(bed, tmp_path, make_node):
    fv = flow_vars(bed)
    node = make_node(node_id="fault_rewrite", **node_options(tmp_path))
    completed_job(bed, node, fv)
    log = LogRecorder()
    node.set_log_callback(log)

    big = f"{bed.remote_work_dir}/job_fault_rewrite/big.dat"
    when_file_grows(tmp_path / "big.dat", lambda: bed.run_as_user(f"head -c {BIG} /dev/zero > {big}"))  # in place
    origin, message, _ = failing_pass(node, fv)

    assert (origin, message) == ("remote_execution", "[download] Could not download essential output files: big.dat. "
                                                     f"They stay on the cluster in {bed.remote_work_dir}/job_fault_"
                                                     "rewrite and are fetched again on the next call.")
    assert log.find("Remote file changed while downloading: big.dat") or log.find("Could not retrieve big.dat")
    assert not [name for name in os.listdir(tmp_path) if "big.dat" in name]


def test_server_frozen_during_a_download(bed, tmp_path, sessions, make_node):
    fv = flow_vars(bed, ioTimeout=2)
    node = make_node(node_id="fault_stop_get", **node_options(tmp_path))
    job_id = completed_job(bed, node, fv)
    state = (tmp_path / ".zentrel_hpc_fault_stop_get.json").read_bytes()
    log = LogRecorder()
    node.set_log_callback(log)

    frozen_at = []
    when_file_grows(tmp_path / "big.dat", lambda: (sessions(signal.SIGSTOP), frozen_at.append(time.monotonic())))
    origin, message, _ = failing_pass(node, fv)
    waited = time.monotonic() - frozen_at[0]

    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 2 seconds")
    # the clock restarts with the last chunk, which may come just before the freeze is noted
    assert 1 <= waited < 2 * 2 + 5
    assert log.events[-1] == ("error", "Remote execution error: No answer from 127.0.0.1 for 2 seconds",
                              {"error": "No answer from 127.0.0.1 for 2 seconds"})
    assert not log.find("Could not retrieve")  # one timeout for the pass, not one per file
    assert not (tmp_path / "big.dat").exists()
    assert (tmp_path / ".zentrel_hpc_fault_stop_get.json").read_bytes() == state

    sessions(signal.SIGCONT)
    again = execute(make_node(node_id="fault_stop_get", **node_options(tmp_path)), fv)
    assert (again["remote_job_status"], again["remote_job_id"], again["data"]) == ("completed", job_id, {"size": BIG})


def test_server_frozen_while_a_command_runs(bed, tmp_path, sessions, make_node):
    # The work dir is expanded by a command that takes a second: the pass
    # waits for its exit status, a wait paramiko itself never bounds.
    slow_dir = f"$(sleep 1; echo {bed.remote_work_dir})"
    fv = flow_vars(bed, "#!/bin/bash\nsleep 30\n", remoteWorkDir=slow_dir, ioTimeout=2)
    node = make_node(node_id="fault_stop_cmd", **node_options(tmp_path))
    job_id = execute(node, fv)["remote_job_id"]
    state = (tmp_path / ".zentrel_hpc_fault_stop_cmd.json").read_bytes()

    frozen_at = []

    def freeze_soon(level, message, **metadata):
        if message == "SSH connection established":
            threading.Timer(0.4, lambda: (sessions(signal.SIGSTOP), frozen_at.append(time.monotonic()))).start()

    node.set_log_callback(freeze_soon)
    origin, message, _ = failing_pass(node, fv)
    waited = time.monotonic() - frozen_at[0]

    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 2 seconds")
    assert waited < 2 * 2 + 5
    assert (tmp_path / ".zentrel_hpc_fault_stop_cmd.json").read_bytes() == state

    sessions(signal.SIGCONT)
    again = execute(make_node(node_id="fault_stop_cmd", **node_options(tmp_path)), fv)
    assert (again["remote_job_status"], again["remote_job_id"]) in {("running", job_id), ("pending", job_id)}
    bed.run_as_user(f"scancel {job_id}")


def test_ctrl_c_during_an_upload(bed, tmp_path, make_node):
    big_input = tmp_path / "input.bin"
    with open(big_input, "wb") as fh:
        fh.truncate(BIG)
    node = make_node(node_id="fault_sigint", **node_options(tmp_path, [big_input]))

    def interrupt_soon(level, message, **metadata):
        if message.startswith("Uploading: input.bin"):
            threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()

    node.set_log_callback(interrupt_soon)
    with pytest.raises(KeyboardInterrupt):
        node.execute([], flow_vars(bed, "#!/bin/bash\ntrue\n"))
    assert not (tmp_path / ".zentrel_hpc_fault_sigint.json").exists()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
