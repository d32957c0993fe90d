"""Large outputs on the test bed's real sshd and SLURM: a download broken
off (the SSH session killed, the worker process killed) resumes from its
partial file on the next pass and is checked by SHA-256 against the
cluster's copy; a remote file rewritten or a partial file corrupted in
between is downloaded whole again; an unchanged output of a completed job is
not fetched again, an edited local copy is.  What the cluster read is
measured on its side: the bytes the bed's SFTP server process
("sshd: <user>@internal-sftp") read, from /proc/<pid>/io."""
import glob
import hashlib
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from fakessh import LogRecorder
from test_cluster_faults import completed_job, execute, when_file_grows
from zentrel_core.node import NodeException

pytestmark = [pytest.mark.bed, pytest.mark.usefixtures("private_home"),
              pytest.mark.filterwarnings("ignore::pytest.PytestUnhandledThreadExceptionWarning")]

GIB = 1024 ** 3
SMALL = 256 * 1024 ** 2
NAME = "big.bin"


@pytest.fixture(scope="module")
def sources(bed):
    """Files on the cluster that jobs link into their directories: 1 GiB and
    256 MiB of random bytes (made once), and a 257 MiB one for rewrites."""
    directory = f"{bed.remote_work_dir}/sources"
    bed.run_as_user(f"mkdir -p {directory} && cd {directory} && head -c {GIB} /dev/urandom > gib.bin && "
                    f"head -c {SMALL} gib.bin > small.bin && tail -c {SMALL + 1024 ** 2} gib.bin > other.bin",
                    timeout=120, check=True)
    return directory


def remote_sha256(bed, path):
    return bed.run_as_user(f"sha256sum < {path}", timeout=60, check=True).stdout.split()[0]


def local_sha256(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def partials(work):
    return glob.glob(str(work / ".zentrel-*.part"))


class ServerReads:
    """Bytes read (rchar) by the bed's SFTP server processes started while it runs,
    sampled every 10 ms from /proc/<pid>/io: the files it serves and the
    requests it receives.  The session's other processes (the sshd that
    relays the data, sha256sum) are not counted."""

    def __init__(self, bed):
        self.bed, self.seen, self.stop = bed, {}, threading.Event()

    @staticmethod
    def _ticks_now():
        with open("/proc/uptime") as uptime:
            return float(uptime.read().split()[0]) * os.sysconf("SC_CLK_TCK")

    def _sessions(self):
        """The SFTP server processes started since __enter__ (a killed one of
        an earlier connection may linger a while)."""
        pids = []
        for pid in self.bed.sshd_sessions():
            try:
                with open(f"/proc/{pid}/stat") as stat:
                    started = int(stat.read().rsplit(")", 1)[1].split()[19])
                with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                    if started >= self.since and b"sftp" in cmdline.read():
                        pids.append(pid)
            except (OSError, IndexError, ValueError):
                pass
        return pids

    def _read(self, pid):
        try:
            with open(f"/proc/{pid}/io") as io:
                return next(int(line.split()[1]) for line in io if line.startswith("rchar:"))
        except (OSError, StopIteration):
            return None

    def __enter__(self):
        self.since = self._ticks_now() - 1
        self.thread = threading.Thread(target=self._watch, daemon=True)
        self.thread.start()
        return self

    def _watch(self):
        pids, refreshed = [], 0.0
        while not self.stop.is_set():
            if time.monotonic() - refreshed > 0.1:
                pids, refreshed = self._sessions(), time.monotonic()
            for pid in pids:
                value = self._read(pid)
                if value is not None:
                    self.seen[pid] = max(self.seen.get(pid, 0), value)
            time.sleep(0.01)

    def __exit__(self, *exc):
        self.stop.set()
        self.thread.join()

    @property
    def total(self):
        """What the pass's one SFTP server read (the largest count seen: a
        server process of another connection, one of a killed connection
        still draining on a loaded machine say, is not the pass's)."""
        return max(self.seen.values(), default=0)


def job(sources, source):
    return f"#!/bin/bash\nln -f {sources}/{source} {NAME}\n"


def completed_node(bed, tmp_path, make_node, sources, node_id, *, source="small.bin", category="essential"):
    """A node whose completed job's output is a link to `source`; returns
    (make, flow vars, remote path of the output)."""
    work = tmp_path / "work"
    work.mkdir(exist_ok=True)
    (work / "in.txt").write_text("in")  # the outputs come down beside the first input
    large = category == "large"
    fv = {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "bed", "hpc_profile": bed.profile(),
                           "slurm_script": job(sources, source), "download_large_files": large}}

    def make(log=None):
        node = make_node(node_id=node_id, working_path=work, inputs=[str(work / "in.txt")], categories={category: [NAME]})
        if log is not None:
            node.set_log_callback(log)
        return node

    completed_job(bed, make(), fv)
    return make, fv, work, f"{bed.remote_work_dir}/job_{node_id}/{NAME}"


def broken_pass(make, fv, work, action, total=SMALL):
    """A pass whose download is broken off by action() once its partial
    file is past half of the output; the partial file it leaves."""
    watcher = when_file_grows(work / NAME, action, size=total // 2)
    try:
        execute(make(), fv)
    except NodeException as caught:
        assert caught.origin == "remote_execution" and "[download]" in caught.message
    watcher.join(5)
    [partial] = partials(work)
    return partial


@pytest.mark.clock
@pytest.mark.parametrize("category", ["essential", "large"])
def test_a_killed_session_resumes_where_it_broke_off(bed, tmp_path, make_node, sources, sessions, category):
    make, fv, work, remote = completed_node(bed, tmp_path, make_node, sources, f"resume_{category}", source="gib.bin",
                                   category=category)
    partial = broken_pass(make, fv, work, lambda: sessions(signal.SIGKILL), GIB)
    kept = os.path.getsize(partial)
    assert GIB * 0.45 < kept < GIB
    assert not (work / NAME).exists()

    log = LogRecorder()
    with ServerReads(bed) as reads:
        result = execute(make(log), fv)
    assert result["remote_job_status"] == "completed" and "remote_files" not in result["data"]
    [(_, message, meta)] = log.find("Resuming ")
    assert message == f"Resuming {NAME} at {kept / 1024 ** 2:.1f} of 1024.0 MiB"
    assert meta == {"file_name": NAME, "bytes_done": kept, "bytes_total": GIB}
    assert local_sha256(work / NAME) == remote_sha256(bed, remote) and not partials(work)
    assert not log.find("Resumed download of"), log.events
    # the rest of the file only, as read on the cluster
    assert 0.3 * GIB < reads.total <= 0.55 * GIB, (reads.seen, log.events)


@pytest.mark.parametrize("harm", ["remote_rewritten", "partial_corrupted"])
def test_a_partial_file_that_no_longer_fits_is_downloaded_whole(bed, tmp_path, make_node, sources, sessions, harm):
    make, fv, work, remote = completed_node(bed, tmp_path, make_node, sources, f"resume_{harm}")
    partial = broken_pass(make, fv, work, lambda: sessions(signal.SIGKILL))
    if harm == "remote_rewritten":
        bed.run_as_user(f"cp {sources}/other.bin {remote}.new && mv {remote}.new {remote}", check=True)
    else:
        with open(partial, "r+b") as f:
            f.seek(os.path.getsize(partial) // 2)
            f.write(b"\0" * 4096)

    log = LogRecorder()
    with ServerReads(bed) as reads:
        execute(make(log), fv)
    expected = (SMALL + 1024 ** 2) if harm == "remote_rewritten" else SMALL
    assert reads.total > 0.95 * expected, reads.total
    mismatch = log.find(f"Resumed download of {NAME} did not match the cluster's copy; downloading it again")
    assert [e[2] for e in mismatch] == ([{"file_name": NAME}] if harm == "partial_corrupted" else [])
    assert bool(log.find("Resuming ")) == (harm == "partial_corrupted")
    assert local_sha256(work / NAME) == remote_sha256(bed, remote) and not partials(work)


WORKER = """
import json, sys
sys.path.insert(0, sys.argv[1])
from nodes import SampleNode
node = SampleNode(node_id=sys.argv[2], working_path=sys.argv[3], inputs=[sys.argv[3] + "/in.txt"], categories={"essential": [sys.argv[4]]})
node.execute([], json.loads(sys.argv[5]))
"""


def test_a_worker_killed_three_times_leaves_one_partial_file(bed, tmp_path, make_node, sources):
    make, fv, work, remote = completed_node(bed, tmp_path, make_node, sources, "resume_sigkill")
    tests = os.path.dirname(__file__)
    for _ in range(3):
        worker = subprocess.Popen([sys.executable, "-c", WORKER, tests, "resume_sigkill", str(work), NAME,
                                   json.dumps(fv)])
        # half of what is still to come
        done = sum(os.path.getsize(p) for p in partials(work))
        watcher = when_file_grows(work / NAME, lambda: worker.send_signal(signal.SIGKILL),
                                  size=done + (SMALL - done) // 2)
        worker.wait(60)
        watcher.join(5)
        assert worker.returncode == -signal.SIGKILL
        assert len(partials(work)) == 1
    log = LogRecorder()
    execute(make(log), fv)
    assert log.find("Resuming ")
    assert local_sha256(work / NAME) == remote_sha256(bed, remote) and not partials(work)


def test_an_unchanged_output_is_not_fetched_again_an_edited_one_is(bed, tmp_path, make_node, sources):
    make, fv, work, remote = completed_node(bed, tmp_path, make_node, sources, "resume_unchanged")
    first = execute(make(), fv)
    before = os.stat(work / NAME)

    log = LogRecorder()
    with ServerReads(bed) as reads:
        again = execute(make(log), fv)
    assert again == first
    assert reads.total < 1024 ** 2, reads.total
    assert log.find("Up to date: ") == [("debug", f"Up to date: {NAME} ({SMALL} bytes)",
                                         {"file_name": NAME, "file_size": SMALL})]
    after = os.stat(work / NAME)
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)

    with open(work / NAME, "r+b") as f:  # the same size, another content
        f.write(b"edited")
    log = LogRecorder()
    execute(make(log), fv)
    assert not log.find("Up to date: ") and log.find(f"Downloaded: {NAME}")
    assert local_sha256(work / NAME) == remote_sha256(bed, remote)


def test_a_new_submission_removes_the_partial_files_and_the_record(bed, tmp_path, make_node, sources, sessions):
    make, fv, work, _ = completed_node(bed, tmp_path, make_node, sources, "resume_resubmit")
    broken_pass(make, fv, work, lambda: sessions(signal.SIGKILL))
    record = work / ".zentrel_hpc_resume_resubmit.downloads.json"
    assert record.exists()

    forced = {"_hpc_options": {**fv["_hpc_options"], "force_resubmit": True}}
    assert execute(make(), forced)["remote_job_status"] in ("submitted", "pending", "running")
    assert not partials(work) and not record.exists()


def test_without_sha256sum_on_the_cluster_size_and_time_decide(bed, tmp_path, make_node, sources, sessions,
                                                                wrap_command):
    make, fv, work, remote = completed_node(bed, tmp_path, make_node, sources, "resume_no_sha")
    expected = remote_sha256(bed, remote)
    broken_pass(make, fv, work, lambda: sessions(signal.SIGKILL))
    # a cluster without the command (a stand-in: the bed's own cannot be removed)
    wrap_command("sha256sum", "echo 'sha256sum: command not found' >&2; exit 127")

    log = LogRecorder()
    execute(make(log), fv)
    assert log.find("Resuming ") and not log.find("Resumed download of")
    assert log.find("No sha256sum on the cluster") == [
        ("debug", f"No sha256sum on the cluster: resumed download of {NAME} checked by its size and modification "
                  "time only", {"file_name": NAME})]
    assert local_sha256(work / NAME) == expected and not partials(work)
