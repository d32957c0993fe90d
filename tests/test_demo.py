"""The demo end to end: the worker driver runs the word counting node as a
SLURM job on the test bed's cluster, follows it to completion, runs it
locally and calls a slow HTTP service, while a Redis subscriber receives the
streamed log entries; plus the example node's own refusals and the log
forwarder.  The demo command itself is run once as a whole."""

import json
import os
import re
import subprocess
import sys

import pytest

from examples.demo import LogRelay, driver_env
from examples.wordcount_node import COUNTS_FILE, SUMMARY_FILE, TOKENS_FILE, WordCountNode
from examples.worker_driver import NODE_ID, WORKFLOW_ID, make_log_forwarder
from testbed import Testbed
from zentrel_core.node import NodeException
from zentrel_core.parameters import IntegerParameter, StringParameter

pytestmark = pytest.mark.bed

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUN_ID = "run-test-demo"
SERVICE = "word-analysis service"

# Mixed case, apostrophes inside and around words, CRLF, a NUL byte, UTF-8
# letters (not word characters here), an empty line and no final line break.
TEXT = (b"The cat's hat; THE CAT'S HAT!\r\n"
        b"'tis 42 cats \xc3\xa9t\xc3\xa9 don't\x00stop\n"
        b"\n"
        b"the end")
TOKENS = [b"the", b"cat's", b"hat", b"the", b"cat's", b"hat", b"tis", b"42", b"cats",
          b"t", b"don't", b"stop", b"the", b"end"]
EXPECTED = {
    "lines": 4,
    "words": 14,
    "unique_words": 10,
    "bytes": len(TEXT),
    "top_words": [{"word": "the", "count": 3}, {"word": "cat's", "count": 2},
                  {"word": "hat", "count": 2}, {"word": "42", "count": 1}],
}


@pytest.fixture(scope="module")
def bed():
    with Testbed(redis=True, ssh=True, slurm=True) as b:
        yield b


def run_driver(bed, workdir, *extra, remote_work_dir=None):
    """Runs the worker driver as the demo does, with a subscriber on
    "zentrel:logs"; returns (completed process, report, log entries)."""
    report_path = os.path.join(workdir, "report.json")
    command = [
        sys.executable, "-m", "examples.worker_driver",
        "--host", bed.ssh_host, "--port", str(bed.ssh_port), "--user", bed.ssh_user,
        "--key", bed.key_path, "--remote-work-dir", remote_work_dir or bed.remote_work_dir,
        "--redis-port", str(bed.redis_port), "--workdir", str(workdir),
        "--run-id", RUN_ID, "--report", report_path, *extra,
    ]
    with LogRelay(bed.redis_port) as relay:
        proc = subprocess.run(command, cwd=ROOT, env=driver_env(), capture_output=True, text=True, timeout=120)
        relay.drain()
    with open(report_path, encoding="utf-8") as fh:
        report = json.load(fh)
    return proc, report, relay.entries


@pytest.fixture(scope="module")
def demo(bed, tmp_path_factory):
    workdir = tmp_path_factory.mktemp("demo")
    source = workdir / "input.txt"
    source.write_bytes(TEXT)
    proc, report, entries = run_driver(bed, workdir, "--input", str(source), "--top-n", "4",
                                       "--service-delay", "2.5")
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc, report, entries


def data_without_location(data):
    return {k: v for k, v in data.items() if k not in ("output_dir", "remote_files", "skipped_large_files")}


def test_worker_follows_one_job_from_submission_to_completion(demo):
    proc, report, _ = demo
    states = report["cluster"]["states"]
    assert states[0] == "submitted" and states[-1] == "completed"
    assert states.count("submitted") == 1
    assert set(states[1:-1]) <= {"pending", "running", "configuring", "completing"} and states[1:-1]
    job_ids = {r["remote_job_id"] for r in report["cluster"]["results"]}
    assert len(job_ids) == 1
    job_id = job_ids.pop()
    assert f"[worker] job {job_id}: completed - Job completed, results retrieved (1 large files skipped)" \
        in proc.stdout.splitlines()


def test_cluster_and_local_runs_count_alike(demo):
    _, report, _ = demo
    remote = report["cluster"]["results"][-1]["data"]
    local = report["local"]["result"]
    expected = {"success": True, "message": "Counted 14 words (10 distinct) in 4 lines", **EXPECTED}
    assert data_without_location(remote) == expected
    assert data_without_location(local) == expected
    assert remote["output_dir"] == report["cluster"]["dir"]
    assert local["output_dir"] == report["local"]["dir"]


def test_outputs_are_downloaded_by_category(bed, demo):
    _, report, _ = demo
    cluster_dir, local_dir = report["cluster"]["dir"], report["local"]["dir"]
    assert set(report["cluster"]["files"]) == {"input.txt", SUMMARY_FILE, COUNTS_FILE}
    for name in (SUMMARY_FILE, COUNTS_FILE):
        with open(os.path.join(cluster_dir, name), "rb") as a, open(os.path.join(local_dir, name), "rb") as b:
            assert a.read() == b.read(), name
    data = report["cluster"]["results"][-1]["data"]
    remote_path = f"{bed.remote_work_dir}/job_{NODE_ID}/{TOKENS_FILE}"
    assert data["skipped_large_files"] == [TOKENS_FILE]
    assert data["remote_files"][TOKENS_FILE]["remote_path"] == remote_path
    # the large file stayed on the cluster, with the same content as locally
    remote_tokens = bed.run_as_user(f"cat {remote_path}", check=True).stdout.encode()
    with open(os.path.join(local_dir, TOKENS_FILE), "rb") as fh:
        assert fh.read() == remote_tokens == b"".join(t + b"\n" for t in TOKENS)


def test_cluster_events_stream_with_the_runs_identifiers(demo):
    _, report, entries = demo
    job_id = report["cluster"]["results"][0]["remote_job_id"]
    hpc = [e for e in entries if e["source"] == "hpc"]
    assert hpc
    for entry in hpc:
        assert (entry["node_id"], entry["workflow_id"], entry["job_id"]) == (NODE_ID, WORKFLOW_ID, RUN_ID)
        assert "job_id" not in entry.get("metadata", {})
    by_message = {e["message"]: e for e in hpc}
    submitted = by_message[f"SLURM job submitted: {job_id}"]
    assert submitted["metadata"]["slurm_job_id"] == job_id
    assert any(m in by_message for m in ("SLURM job status: PENDING", "SLURM job status: RUNNING"))
    done = by_message["Results retrieved successfully"]
    assert done["metadata"]["slurm_job_id"] == job_id
    assert (done["metadata"]["downloaded"], done["metadata"]["skipped"]) == (2, 1)


def test_local_run_streams_rising_progress(demo):
    _, _, entries = demo
    local = [e for e in entries if e.get("component") == "wordcount"]
    progress = [e["progress"] for e in local]
    assert len(progress) >= 3
    assert progress[0] == 0.0 and progress[-1] == 100.0
    assert progress == sorted(progress)
    assert all((e["source"], e["node_id"], e["job_id"]) == ("node", NODE_ID, RUN_ID) for e in local)


def test_slow_service_call_streams_waiting_lines(demo):
    _, report, entries = demo
    waiting = [e for e in entries if e["message"].startswith(f"Waiting for {SERVICE} response... ")]
    assert [e["message"].split("... ")[1].split(" ")[0] for e in waiting][:2] == ["1s", "2s"]
    assert all(e["progress"] == 50.0 and e["node_id"] == NODE_ID and e["job_id"] == RUN_ID for e in waiting)
    assert waiting[0]["message"].endswith("elapsed (a cold start takes a few seconds)")
    assert report["post"]["status"] == 200
    assert report["post"]["json"]["received"]["top_words"] == EXPECTED["top_words"]


def test_failed_job_ends_the_run_with_an_error(bed, tmp_path):
    script = tmp_path / "failing.slurm"
    script.write_text("#!/bin/bash\n#SBATCH --job-name={{JOB_NAME}}\n#SBATCH --chdir={{WORKING_DIR}}\n"
                      "echo counting {{INPUT_FILE_0}} top {{TOP_N}}\nexit 3\n")
    proc, report, entries = run_driver(bed, tmp_path, "--script", str(script), "--service-delay", "0",
                                       remote_work_dir=f"{bed.remote_work_dir}/failing")
    assert proc.returncode == 1
    assert report["cluster"]["states"][-1] == "failed"
    assert report["error"] == "Previous job failed. Set 'Force Resubmit' to try again."
    assert "local" not in report
    assert any(e["message"] == "Previous job failed" and e["level"] == "warning" for e in entries)


def test_local_only_run_needs_neither_cluster_nor_redis(tmp_path):
    report_path = tmp_path / "report.json"
    proc = subprocess.run([sys.executable, "-m", "examples.worker_driver", "--local-only", "--workdir", str(tmp_path),
                           "--service-delay", "0", "--report", str(report_path)],
                          cwd=ROOT, env={**driver_env(), "REDIS_PORT": "1"}, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    report = json.loads(report_path.read_text())
    assert "cluster" not in report and report["post"]["status"] == 200
    assert report["local"]["result"]["success"] is True


class StreamRecorder:
    def __init__(self):
        self.calls = []

    def __call__(self, message, **kwargs):
        self.calls.append((message, kwargs))


@pytest.mark.parametrize("metadata, forwarded", [
    ({"job_id": "917", "status": "RUNNING"}, {"slurm_job_id": "917", "status": "RUNNING"}),
    ({"node_id": "other", "progress": 3, "component": "x"},
     {"hpc_node_id": "other", "hpc_progress": 3, "hpc_component": "x"}),
    ({"level": "info", "source": "ssh", "message": "m", "workflow_id": "w"},
     {"hpc_level": "info", "hpc_source": "ssh", "hpc_message": "m", "hpc_workflow_id": "w"}),
    ({}, {}),
])
def test_forwarded_metadata_never_replaces_the_runs_identifiers(metadata, forwarded):
    recorder = StreamRecorder()
    make_log_forwarder(recorder)("warning", "Previous job failed", **metadata)
    assert recorder.calls == [("Previous job failed", {"level": "warning", "source": "hpc", **forwarded})]


def flow_vars(path, top_n=3):
    return {"input_file": StringParameter(value=str(path)), "top_n": IntegerParameter(value=top_n)}


@pytest.mark.parametrize("name, top_n, message", [
    (None, 3, "Input file not found"),
    ("two words.txt", 3, "cannot be used in a job script"),
    ("x$(id).txt", 3, "cannot be used in a job script"),
    ("ok.txt", 0, "'Top Words' must be at least 1"),
    ("ok.txt", "many", "'Top Words' must be a whole number"),
])
def test_node_refuses_inputs_a_job_script_cannot_use(tmp_path, name, top_n, message):
    path = tmp_path / (name or "missing.txt")
    if name:
        path.write_text("words\n")
    with pytest.raises(NodeException) as info:
        WordCountNode("n1", working_path=str(tmp_path)).get_template_variables(flow_vars(path, top_n))
    assert info.value.origin == "configuration"
    assert message in info.value.message


@pytest.mark.parametrize("damage", ["summary missing", "summary not JSON", "counts truncated", "counts missing"])
def test_damaged_downloads_fail_instead_of_giving_wrong_counts(tmp_path, damage):
    source = tmp_path / "input.txt"
    source.write_bytes(TEXT)
    node = WordCountNode("n1", working_path=str(tmp_path))
    node.run_local([], flow_vars(source))
    summary, counts = tmp_path / SUMMARY_FILE, tmp_path / COUNTS_FILE
    if damage == "summary missing":
        summary.unlink()
    elif damage == "summary not JSON":
        summary.write_bytes(summary.read_bytes()[:20])
    elif damage == "counts truncated":
        counts.write_bytes(counts.read_bytes()[:-8])
    else:
        counts.unlink()
    with pytest.raises(NodeException) as info:
        node.build_hpc_result_data({}, str(tmp_path))
    assert info.value.origin == "remote_execution"


def test_demo_command_runs_and_leaves_nothing_behind():
    proc = subprocess.run([sys.executable, "-m", "examples.demo"], cwd=ROOT, env=driver_env(),
                          capture_output=True, text=True, timeout=180)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "bringing up the embedded cluster: redis-server, munged, mariadbd, sshd, slurmdbd, slurmctld, slurmd\n" \
        in proc.stdout
    assert "same result data as the cluster run" in proc.stdout
    assert "SLURM job submitted: " in proc.stdout
    places = re.search(r"services under (\S+), cluster work directory (\S+), local work directory (\S+)",
                       proc.stdout)
    assert places, proc.stdout
    assert not [p for p in places.groups() if os.path.exists(p)]
    # each worker line follows the log entry of the call it reports; an entry
    # may be dropped on a loaded machine (publication is best effort), but
    # one that comes after its worker line is a fault
    checked = 0
    since_worker_line: list = []
    lines = proc.stdout.splitlines()
    for at, line in enumerate(lines):
        if not line.startswith("[worker] "):
            since_worker_line.append(line)
            continue
        state = re.match(r"\[worker\] job \d+: (\w+) - ", line)
        once = {"submitted": "SLURM job submitted: ", "completed": "Results retrieved successfully"}
        cause = once.get(state.group(1), f"SLURM job status: {state.group(1).upper()}") if state else None
        if line.startswith("[worker] local: "):
            cause = once["local"] = "Wrote summary.json"
        if cause and any(cause in earlier for earlier in since_worker_line):
            checked += 1
        elif cause in once.values():
            assert not any(cause in later for later in lines[at + 1:]), (line, proc.stdout)
        since_worker_line = []
    assert checked >= 4, proc.stdout


def test_unreadable_input_stops_the_demo_before_anything_starts(tmp_path):
    for path, reason in ((tmp_path / "missing.txt", "No such file or directory"), (tmp_path, "Is a directory")):
        proc = subprocess.run([sys.executable, "-m", "examples.demo", "--input", str(path)], cwd=ROOT,
                              env=driver_env(), capture_output=True, text=True, timeout=60)
        assert (proc.returncode, proc.stdout) == (2, "")
        assert proc.stderr == f"error: cannot read the input file {path}: {reason}\n"
