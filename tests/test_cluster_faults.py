"""A cluster that stops answering, drops the connection, answers without
end or is interrupted in the middle of a pass, on the test bed's real sshd
and SLURM: the pass ends within its ioTimeout, a failed essential download
fails it, Ctrl-C stops it while a host handler that does not raise leaves
it running, and the recorded job is carried on by the next call.  Long
transfers report their progress; two passes on two threads do not stall."""
import asyncio
import glob
import json
import os
import re
import signal
import threading
import time
import types

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
    its partial file beside it) has passed `size` bytes."""
    pattern = os.path.join(os.path.dirname(path), ".zentrel-*.part")

    def watch():
        deadline = time.monotonic() + 120  # a 1 GiB download on a loaded machine
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


@pytest.fixture
def default_sigint():
    """Python's own SIGINT handler for the test, also when the suite was
    started with SIGINT ignored (a background job of a script)."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


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
    # the reason is paramiko's account of the dropped connection, whichever it gives
    assert re.fullmatch(rf"\[download\] Could not download essential output files: big\.dat \(.+\)\. They stay on "
                        rf"the cluster in {re.escape(bed.remote_work_dir)}/job_fault_kill and are fetched again on "
                        r"the next call\.", message), message
    assert not (tmp_path / "big.dat").exists()
    assert len(glob.glob(str(tmp_path / ".zentrel-*.part"))) == 1  # kept for the next pass
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

    changed = log.find("Remote file changed while downloading: big.dat")
    reason = "changed while downloading" if changed else log.find("Could not retrieve big.dat")[-1][2]["error"]
    assert (origin, message) == ("remote_execution", f"[download] Could not download essential output files: big.dat "
                                                     f"({reason}). They stay on the cluster in {bed.remote_work_dir}/"
                                                     "job_fault_rewrite and are fetched again on the next call.")
    assert not [name for name in os.listdir(tmp_path) if "big.dat" in name or name.endswith(".part")]


def test_server_frozen_during_a_download(bed, tmp_path, sessions, make_node):
    fv = flow_vars(bed, ioTimeout=5)
    # only the frozen pass is to run out of time: the others may be slow on a loaded machine
    patient = flow_vars(bed, ioTimeout=60)
    node = make_node(node_id="fault_stop_get", **node_options(tmp_path))
    job_id = completed_job(bed, node, patient)
    state = (tmp_path / ".zentrel_hpc_fault_stop_get.json").read_bytes()
    log = LogRecorder()
    node.set_log_callback(log)

    frozen_at = []
    when_file_grows(tmp_path / "big.dat", lambda: (frozen_at.append(time.monotonic()), sessions(signal.SIGSTOP)))
    origin, message, _ = failing_pass(node, fv)

    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 5 seconds")
    assert frozen_at, "the pass failed before the download reached the freeze"
    waited = time.monotonic() - frozen_at[0]
    # the clock restarts with the last chunk, which may come just before the freeze is noted
    assert 4 <= waited < 5 * 2 + 5
    assert log.events[-1] == ("error", "Remote execution error: No answer from 127.0.0.1 for 5 seconds",
                              {"error": "No answer from 127.0.0.1 for 5 seconds"})
    assert not log.find("Could not retrieve")  # one timeout for the pass, not one per file
    assert not (tmp_path / "big.dat").exists()
    assert (tmp_path / ".zentrel_hpc_fault_stop_get.json").read_bytes() == state

    sessions(signal.SIGCONT)
    again = execute(make_node(node_id="fault_stop_get", **node_options(tmp_path)), patient)
    assert (again["remote_job_status"], again["remote_job_id"], again["data"]) == ("completed", job_id, {"size": BIG})


def on_a_thread(action):
    """action() run on a thread of its own; its result."""
    outcome = []
    thread = threading.Thread(target=lambda: outcome.append(action()))
    thread.start()
    thread.join(60)
    assert outcome, "the action failed or did not end"
    return outcome[0]


@pytest.mark.parametrize("on_thread", [False, True], ids=["main_thread", "other_thread"])
def test_server_frozen_while_a_command_runs(bed, tmp_path, sessions, make_node, wrap_command, on_thread):
    # The work dir is expanded by a command that takes a second: the pass
    # waits for its exit status, a wait paramiko itself never bounds.
    wrap_command("bash", 'case "$*" in *"eval echo"*) sleep 1;; esac\nexec "$REAL" "$@"')
    fv = flow_vars(bed, "#!/bin/bash\nsleep 30\n", ioTimeout=2)
    node_id = "fault_stop_cmd_t" if on_thread else "fault_stop_cmd"
    node = make_node(node_id=node_id, **node_options(tmp_path))
    job_id = execute(node, fv)["remote_job_id"]
    state = (tmp_path / f".zentrel_hpc_{node_id}.json").read_bytes()

    frozen_at = []

    def freeze_soon(level, message, **metadata):
        if message == "SSH connection established":
            threading.Timer(0.4, lambda: (sessions(signal.SIGSTOP), frozen_at.append(time.monotonic()))).start()

    node.set_log_callback(freeze_soon)
    origin, message, _ = on_a_thread(lambda: failing_pass(node, fv)) if on_thread else failing_pass(node, fv)
    waited = time.monotonic() - frozen_at[0]

    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 2 seconds")
    assert waited < 2 * 2
    assert (tmp_path / f".zentrel_hpc_{node_id}.json").read_bytes() == state

    sessions(signal.SIGCONT)
    again = execute(make_node(node_id=node_id, **node_options(tmp_path)), fv)
    assert (again["remote_job_status"], again["remote_job_id"]) in {("running", job_id), ("pending", job_id)}
    bed.run_as_user(f"scancel {job_id}")


@pytest.mark.usefixtures("default_sigint")
def test_ctrl_c_during_an_upload(bed, tmp_path, make_node):
    big_input = tmp_path / "input.bin"
    with open(big_input, "wb") as fh:
        fh.truncate(BIG)
    node = make_node(node_id="fault_sigint", **node_options(tmp_path, [big_input]))

    interrupted_at = []

    def interrupt():
        interrupted_at.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    def interrupt_soon(level, message, **metadata):
        if message.startswith("Uploading: input.bin"):
            threading.Timer(0.3, interrupt).start()

    node.set_log_callback(interrupt_soon)
    with pytest.raises(KeyboardInterrupt):
        node.execute([], flow_vars(bed, "#!/bin/bash\ntrue\n"))
    assert time.monotonic() - interrupted_at[0] < 2
    assert not (tmp_path / ".zentrel_hpc_fault_sigint.json").exists()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def run_with_host_handler(host, action, received):
    """action() while SIGINT goes to a handler of the host's that only records
    it: a plain signal handler (the frame it got), or an asyncio loop's handler
    ("loop") while the action blocks that loop, as a node called from a
    coroutine does."""
    if host == "signal_handler":
        def record(signum, frame):
            received.append(frame)

        previous = signal.signal(signal.SIGINT, record)
        try:
            result = action()
            assert signal.getsignal(signal.SIGINT) is record
            return result
        finally:
            signal.signal(signal.SIGINT, previous)

    async def on_the_loop():
        loop = asyncio.get_running_loop()
        loop.add_signal_handler(signal.SIGINT, received.append, "loop")
        try:
            result = action()
            await asyncio.sleep(0.2)  # the loop sees the signal once the node has returned
            return result
        finally:
            loop.remove_signal_handler(signal.SIGINT)
    return asyncio.run(on_the_loop())


@pytest.mark.usefixtures("default_sigint")
@pytest.mark.parametrize("host", ["signal_handler", "asyncio"])
def test_host_handler_that_does_not_raise_leaves_the_pass_running(bed, tmp_path, make_node, host):
    fv = flow_vars(bed)
    node = make_node(node_id=f"fault_host_{host}", **node_options(tmp_path))
    job_id = completed_job(bed, node, fv)
    received = []

    def collect_while_interrupted():
        watcher = when_file_grows(tmp_path / "big.dat", lambda: os.kill(os.getpid(), signal.SIGINT))
        result = execute(node, fv)
        watcher.join()
        return result

    result = run_with_host_handler(host, collect_while_interrupted, received)
    assert (result["remote_job_status"], result["remote_job_id"], result["data"]) == ("completed", job_id, {"size": BIG})
    assert len(received) == 1
    assert received[0] == "loop" if host == "asyncio" else isinstance(received[0], types.FrameType)
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def rss_growth_during(action):
    """action()'s result and how far this process's resident memory rose meanwhile (bytes)."""
    def rss():
        with open("/proc/self/status") as fh:
            return next(int(line.split()[1]) * 1024 for line in fh if line.startswith("VmRSS:"))

    baseline, peak, done = rss(), [0], threading.Event()

    def sample():
        while not done.wait(0.02):
            peak[0] = max(peak[0], rss())
    sampler = threading.Thread(target=sample, daemon=True)
    sampler.start()
    try:
        return action(), max(peak[0], rss()) - baseline
    finally:
        done.set()
        sampler.join()


@pytest.mark.parametrize("answer, io_timeout, message", [
    ("yes RUNNING", 30, "[slurm] The cluster's answer to bash exceeds 16 MiB"),
    ("yes RUNNING >&2", 30, "[slurm] The cluster's answer to bash exceeds 16 MiB"),
    ("while :; do echo RUNNING >&2; sleep 0.3; done", 2, "No answer from 127.0.0.1 for 2 seconds"),
], ids=["stdout", "stderr", "slow"])
def test_endless_answer_ends_the_pass(bed, tmp_path, make_node, wrap_command, answer, io_timeout, message):
    # The work dir is expanded by a command (`bash -c 'eval echo "DIR"'`) that never ends printing.
    wrap_command("bash", f'case "$*" in *"eval echo"*) {answer};; esac\nexec "$REAL" "$@"')
    node = make_node(node_id="fault_endless", **node_options(tmp_path))
    fv = flow_vars(bed, ioTimeout=io_timeout)
    (origin, text, took), growth = rss_growth_during(lambda: failing_pass(node, fv))
    assert (origin, text) == ("remote_execution", message)
    assert took < 2 * io_timeout
    assert growth < 100 * 1024 * 1024
    assert not (tmp_path / ".zentrel_hpc_fault_endless.json").exists()


def test_endless_squeue_answer_ends_the_pass(bed, tmp_path, make_node, wrap_command):
    # The recorded job's state query prints without end: the pass fails and
    # the job stays recorded.
    node = make_node(node_id="fault_endless_squeue", **node_options(tmp_path))
    fv = flow_vars(bed, script="#!/bin/bash\nsleep 5\n")
    job_id = execute(node, fv)["remote_job_id"]
    state = (tmp_path / ".zentrel_hpc_fault_endless_squeue.json").read_bytes()
    wrap_command("squeue", f'case " $* " in *" -j {job_id} "*) exec yes RUNNING;; esac\nexec "$REAL" "$@"')
    (origin, text, _), growth = rss_growth_during(lambda: failing_pass(node, fv))
    assert (origin, text) == ("remote_execution", "[slurm] The cluster's answer to squeue exceeds 16 MiB")
    assert growth < 100 * 1024 * 1024
    assert (tmp_path / ".zentrel_hpc_fault_endless_squeue.json").read_bytes() == state


@pytest.mark.parametrize("verb", ["Downloading", "Uploading"])
def test_progress_lines_while_a_large_transfer_runs(bed, tmp_path, sessions, make_node, verb):
    # The connection is frozen for 10.5 s in the middle of the transfer: it
    # runs long enough for two lines, 5 s apart.
    log = LogRecorder()
    unfreeze = threading.Timer(10.5, sessions, (signal.SIGCONT,))
    freeze = lambda: (sessions(signal.SIGSTOP), unfreeze.start())  # noqa: E731
    if verb == "Downloading":
        fv = flow_vars(bed, ioTimeout=30)
        node = make_node(node_id="fault_progress_get", **node_options(tmp_path))
        job_id = completed_job(bed, node, fv)
        node.set_log_callback(log)
        when_file_grows(tmp_path / "big.dat", freeze)
        result = execute(node, fv)
        assert (result["remote_job_status"], result["remote_job_id"]) == ("completed", job_id)
        entry = "big.dat"
    else:
        big_input = tmp_path / "input.bin"
        with open(big_input, "wb") as fh:
            fh.truncate(BIG)
        node = make_node(node_id="fault_progress_put", **node_options(tmp_path, [big_input]))

        def freeze_soon(level, message, **metadata):
            log(level, message, **metadata)
            if message.startswith("Uploading: input.bin"):
                threading.Timer(0.3, freeze).start()
        node.set_log_callback(freeze_soon)
        assert execute(node, flow_vars(bed, "#!/bin/bash\ntrue\n", ioTimeout=30))["remote_job_status"] == "submitted"
        entry = "input.bin"
    unfreeze.join()

    lines = [e for e in log.events if e[1].startswith(f"{verb} {entry}:")]
    assert len(lines) >= 2
    for level, message, metadata in lines:
        assert level == "info" and re.fullmatch(rf"{verb} {entry}: \d+\.\d of 200\.0 MiB \(\d+%\)", message)
        assert metadata.keys() == {"file_name", "bytes_done", "bytes_total"}
        assert metadata["file_name"] == entry and 0 < metadata["bytes_done"] < BIG and metadata["bytes_total"] == BIG
    assert len([e for e in log.events if re.match(r"(Downloading|Uploading) [^ ]+: ", e[1])]) == len(lines)


def test_two_nodes_collect_at_once_on_two_threads(bed, tmp_path, make_node):
    # Two downloads on two threads of one process once stalled one of them
    # for most of a minute; the pair takes about twice one alone.
    fv = flow_vars(bed)
    dirs = [tmp_path / "a", tmp_path / "b"]
    nodes = lambda: [make_node(node_id=f"fault_pair_{i}", **node_options(d)) for i, d in enumerate(dirs)]  # noqa: E731
    for d in dirs:
        d.mkdir()
    job_ids = [completed_job(bed, node, fv) for node in nodes()]

    def collect(node):
        started = time.monotonic()
        result = execute(node, fv)
        return result, time.monotonic() - started

    _, alone = collect(nodes()[0])
    outcomes = {}
    threads = [threading.Thread(target=lambda n=n, i=i: outcomes.__setitem__(i, collect(n)))
               for i, n in enumerate(nodes())]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert [(r["remote_job_status"], r["remote_job_id"], r["data"]) for r, _ in (outcomes[0], outcomes[1])] == [
        ("completed", job_id, {"size": BIG}) for job_id in job_ids]
    print(f"one node alone {alone:.2f} s, two at once {outcomes[0][1]:.2f} s and {outcomes[1][1]:.2f} s")
    assert max(took for _, took in outcomes.values()) < 4 * alone + 20


@pytest.mark.clock
def test_ctrl_c_at_the_deadline_always_wins(bed, tmp_path, make_node):
    """SIGINT around the moment a frozen server's wait runs out (just before,
    while the transport closes, while the worker finishes): a handler of the
    host's that raises always ends the pass with its KeyboardInterrupt; only
    a signal handled after the pass had ended leaves the timeout standing."""
    io_timeout = 1
    fv = flow_vars(bed, "#!/bin/bash\ntrue\n", ioTimeout=io_timeout)
    main = threading.main_thread().ident
    handled = []

    def record(signum, frame):
        handled.append(time.monotonic())
        raise KeyboardInterrupt

    runs = 20
    previous = signal.signal(signal.SIGINT, record)
    try:
        wrong = []
        for run in range(runs):
            offset = -0.02 + run * 0.004  # from 20 ms before the deadline to 56 ms after
            frozen, timers = [], []

            def freeze(level, message, **metadata):
                if message == "SSH connection established":
                    time.sleep(0.2)  # until sshd has forked the session's own process
                    frozen.extend(bed.sshd_sessions())
                    for pid in frozen:
                        os.kill(pid, signal.SIGSTOP)
                    timers.append(threading.Timer(io_timeout + offset, signal.pthread_kill, (main, signal.SIGINT)))
                    timers[-1].start()

            node = make_node(node_id="fault_deadline", **node_options(tmp_path))
            node.set_log_callback(freeze)
            outcome = "interrupt"
            try:
                node.execute([], fv)
                outcome = "returned"
            except KeyboardInterrupt:
                pass
            except NodeException as e:
                outcome = e.message
            ended = time.monotonic()
            try:
                for timer in timers:
                    timer.join()
                time.sleep(0.05)  # a signal sent after the pass ended is handled here
            except KeyboardInterrupt:
                pass
            for pid in frozen:
                try:
                    os.kill(pid, signal.SIGCONT)
                except ProcessLookupError:
                    pass
            if outcome != "interrupt" and not (outcome == f"No answer from 127.0.0.1 for {io_timeout} seconds"
                                               and handled[-1] > ended):
                wrong.append((offset, outcome))
    finally:
        signal.signal(signal.SIGINT, previous)
    assert wrong == []
    assert len(handled) == runs
