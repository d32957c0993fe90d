"""Submitting a job: the commands and their order, what is uploaded and
written, how the job id is read from sbatch's answer, and what a rejected or
unparsable submission leaves behind.  Driven through _run_remote with a
scripted SSH client (exact command texts, sbatch's stderr noise)."""
import sys

import pytest

from fakessh import PROFILE, SCRIPT, LogRecorder, Reply, options, submitting_cluster
from nodes import ScriptedNode
from zentrel_core.node import NodeException

JOB_DIR = "/scratch/alice/job_n1"


@pytest.fixture
def ssh(monkeypatch):
    return submitting_cluster(monkeypatch)


def query(quoted_dir):
    """The job query's command text for the (quoted) job directory."""
    return f"cd {quoted_dir} && pwd -P && squeue -h -u \"$USER\" -o '%i|%T|%Z'"


def run(node, opts=None):
    log = LogRecorder()
    node.set_log_callback(log)
    return node._run_remote([], {}, opts or options()), log


def test_fresh_submission(make_node, ssh, tmp_path):
    a = tmp_path / "a.pdb"
    a.write_bytes(b"ATOM\x00\xff")
    node = make_node(scripted=True, inputs=[str(a)])
    result, log = run(node)

    expected = {"success": True, "remote_job_status": "submitted", "remote_job_id": "917",
                "remote_job_dir": JOB_DIR, "message": "Job submitted with ID: 917"}
    assert result == expected and list(result) == list(expected)
    assert node.saved == [expected]
    assert ssh.commands == ["bash -c 'eval echo \"/scratch/alice\"'", f"mkdir -p {JOB_DIR}", query(JOB_DIR),
                            f"cd {JOB_DIR} && sbatch submit.sh"]
    assert ssh.sftp.files == {f"{JOB_DIR}/a.pdb": b"ATOM\x00\xff",
                              f"{JOB_DIR}/submit.sh": SCRIPT.replace("{{WORKING_DIR}}", JOB_DIR).encode()}
    # uploads before the script, the script before sbatch
    order = [c for c in ssh.calls if c[0] in ("put", "file") or "sbatch" in str(c[1])]
    assert [c[0] for c in order] == ["put", "file", "exec_command"]
    assert ssh.close_count == 1

    events = [(lvl, msg, list(meta)) for lvl, msg, meta in log.events]
    assert events == [
        ("debug", "force_resubmit = False", []),
        ("info", "Connecting to HPC cluster: hpc.example.org:22", ["hostname", "port", "username"]),
        ("info", "SSH connection established", []),
        ("info", f"Creating remote job directory: {JOB_DIR}", ["remote_dir"]),
        ("info", "Uploading 1 input files to HPC", ["num_files"]),
        ("debug", "Uploading: a.pdb (6 bytes)", ["file_name", "file_size"]),
        ("info", "Submitting SLURM job", []),
        ("info", "SLURM job submitted: 917", ["job_id", "remote_dir"]),
    ]
    assert log.find("Uploading:")[0][2] == {"file_name": "a.pdb", "file_size": 6}
    assert log.find("SLURM job submitted")[0][2] == {"job_id": "917", "remote_dir": JOB_DIR}


def test_inputs_skip_empty_and_missing_entries_and_resolve_relative_ones(make_node, ssh, tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "b.top").write_text("top")
    (tmp_path / "c.itp").write_text("itp")
    inputs = [None, "", str(tmp_path / "gone.pdb"), "sub/b.top", str(tmp_path / "c.itp")]
    node = make_node(scripted=True, inputs=inputs, working_path=str(tmp_path))
    _, log = run(node)
    assert log.find("Uploading ")[0][1:] == ("Uploading 3 input files to HPC", {"num_files": 3})
    assert ssh.sftp.puts == [(str(tmp_path / "sub" / "b.top"), f"{JOB_DIR}/b.top"),
                             (str(tmp_path / "c.itp"), f"{JOB_DIR}/c.itp")]
    assert not any("gone" in m for m in log.messages)


@pytest.mark.parametrize("stdout, stderr, job_id", [
    ("Submitted batch job 917", "", "917"),
    ("Submitted batch job 917 on cluster alpha\n", "", "917"),
    ("Submitted batch job 917", "sbatch: warning: can't honor --ntasks-per-node\n", "917"),
    ("sbatch: note: partition default\nSubmitted batch job 42\n", "", "42"),
])
def test_job_id_is_the_word_after_the_marker(make_node, ssh, stdout, stderr, job_id):
    ssh.reply("sbatch submit.sh$", stdout=stdout, stderr=stderr)
    node = make_node(scripted=True)
    result, _ = run(node)
    assert result["remote_job_id"] == job_id
    assert result["message"] == f"Job submitted with ID: {job_id}"
    assert node.saved == [result]


@pytest.mark.parametrize("stdout, stderr, logged, raised", [
    ("", "", ("Could not parse job ID: ", []),
     "[slurm] Could not parse job ID from sbatch output: "),
    ("Submitted batch job", "", ("Could not parse job ID: Submitted batch job", []),
     "[slurm] Could not parse job ID from sbatch output: Submitted batch job"),
    ("job queued", "", ("Could not parse job ID: job queued", []),
     "[slurm] Could not parse job ID from sbatch output: job queued"),
    # the id goes into later shell commands: only a number is taken
    ("Submitted batch job 77;touch${IFS}X", "", ("Could not parse job ID: Submitted batch job 77;touch${IFS}X", []),
     "[slurm] Could not parse job ID from sbatch output: Submitted batch job 77;touch${IFS}X"),
    ("Submitted batch job ４２", "", ("Could not parse job ID: Submitted batch job ４２", []),
     "[slurm] Could not parse job ID from sbatch output: Submitted batch job ４２"),
    ("", "sbatch: error: Batch job submission failed: Invalid account\n",
     ("sbatch failed: sbatch: error: Batch job submission failed: Invalid account", ["error"]),
     "[slurm] sbatch failed: sbatch: error: Batch job submission failed: Invalid account"),
])
def test_rejected_or_unparsable_submission(make_node, ssh, stdout, stderr, logged, raised):
    ssh.reply("sbatch submit.sh$", stdout=stdout, stderr=stderr)
    node = make_node(scripted=True)
    with pytest.raises(NodeException) as caught:
        run(node)
    log = node._log_callback
    errors = [(msg, list(meta)) for lvl, msg, meta in log.events if lvl == "error"]
    assert errors == [logged, (f"Remote execution error: {raised}", ["error"])]
    assert (caught.value.origin, caught.value.message) == ("remote_execution", raised)
    assert node.saved == [] and ssh.closed


def test_job_directory_with_a_space_is_quoted_in_commands_only(make_node, ssh, tmp_path):
    f = tmp_path / "in.dat"
    f.write_text("x")
    node = make_node(scripted=True, node_id="my node", inputs=[str(f)])
    result, _ = run(node)
    job_dir = "/scratch/alice/job_my node"
    assert ssh.commands[1:] == [f"mkdir -p '{job_dir}'", query(f"'{job_dir}'"), f"cd '{job_dir}' && sbatch submit.sh"]
    assert set(ssh.sftp.files) == {f"{job_dir}/in.dat", f"{job_dir}/submit.sh"}
    assert result["remote_job_dir"] == job_dir


def test_refused_mkdir_stops_before_any_upload(make_node, ssh, tmp_path):
    f = tmp_path / "in.dat"
    f.write_text("x")
    ssh.reply("^mkdir", stderr="mkdir: Permission denied", status=1)
    node = make_node(scripted=True, inputs=[str(f)])
    with pytest.raises(NodeException) as caught:
        run(node)
    assert caught.value.origin == "remote_execution"
    assert caught.value.message == f"[remote_dir] Failed to create remote directory {JOB_DIR}: mkdir: Permission denied"
    assert ssh.sftp.files == {} and not any("sbatch" in c for c in ssh.commands)
    assert node.saved == [] and ssh.closed


def test_failed_script_write_leaves_uploads_and_persists_nothing(make_node, ssh, tmp_path):
    f = tmp_path / "in.dat"
    f.write_text("x")
    ssh.fail("write", OSError("Failure"))
    node = make_node(scripted=True, inputs=[str(f)])
    with pytest.raises(NodeException) as caught:
        run(node)
    assert (caught.value.origin, caught.value.message) == ("remote_execution", "Failure")
    # the remote file was closed on the way out: created, but empty
    assert ssh.sftp.files == {f"{JOB_DIR}/in.dat": b"x", f"{JOB_DIR}/submit.sh": b""}
    assert not any("sbatch" in c for c in ssh.commands) and node.saved == []


class OneShotResolverNode(ScriptedNode):
    """A node whose path resolver is gone once it has resolved one entry."""

    def __init__(self, base, **kwargs):
        super().__init__(**kwargs)
        self.base = base
        self.resolved = []

    @property
    def resolve_path(self):
        if self.resolved:
            raise AttributeError("resolve_path")
        return self._resolve

    def _resolve(self, path):
        self.resolved.append(path)
        return str(self.base / path)


@pytest.mark.parametrize("inputs, uploaded", [
    (["a.txt", "b.txt"], ["a.txt"]),                  # second entry used as given: no file there
    ([None, "", "a.txt", "b.txt"], ["a.txt"]),
])
def test_resolver_is_looked_up_for_each_entry(ssh, tmp_path, monkeypatch, inputs, uploaded):
    (tmp_path / "a.txt").write_text("a")
    (tmp_path / "b.txt").write_text("b")
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    node = OneShotResolverNode(tmp_path, inputs=inputs)
    run(node)
    assert node.resolved == ["a.txt"]
    assert [remote for _, remote in ssh.sftp.puts] == [f"{JOB_DIR}/{name}" for name in uploaded]


class NoExit:
    def __enter__(self):
        return self


class FailingClose:
    def __init__(self, error):
        self.error = error
        self.seen = None

    def __enter__(self):
        return self

    def write(self, text):
        raise OSError("write failed")

    def __exit__(self, *exc_info):
        self.seen = sys.exception()
        raise self.error


@pytest.mark.parametrize("remote_file, message", [
    (object(), "'object' object does not support the context manager protocol"),
    (NoExit(), "'NoExit' object does not support the context manager protocol (missed __exit__ method)"),
])
def test_script_file_without_context_protocol_fails_like_a_with_statement(make_node, ssh, monkeypatch, remote_file,
                                                                           message):
    monkeypatch.setattr(ssh.sftp, "file", lambda path, mode="r": remote_file)
    node = make_node(scripted=True)
    with pytest.raises(NodeException) as caught:
        run(node)
    assert (caught.value.origin, caught.value.message) == ("remote_execution", message)
    assert isinstance(caught.value.__context__, TypeError)
    assert not any("sbatch" in c for c in ssh.commands) and node.saved == []


def test_failing_close_after_a_failed_write_chains_to_the_write_error(make_node, ssh, monkeypatch):
    remote_file = FailingClose(OSError("close failed"))
    monkeypatch.setattr(ssh.sftp, "file", lambda path, mode="r": remote_file)
    with pytest.raises(NodeException) as caught:
        run(make_node(scripted=True))
    assert caught.value.message == "close failed"
    close_error = caught.value.__context__
    assert close_error is remote_file.error
    assert isinstance(remote_file.seen, OSError) and str(remote_file.seen) == "write failed"
    assert close_error.__context__ is remote_file.seen


# ---- the job query before a submission ---------------------------------------

QUERY = r"^cd \S+ && pwd -P && squeue "
# what squeue lists besides the node's own jobs: other directories, ended
# jobs, lines without a job id
OTHERS = ["12|RUNNING|/scratch/alice/job_n2", "14|COMPLETED|" + JOB_DIR, "x|RUNNING|" + JOB_DIR, "Welcome"]


def listing(*lines, physical="/gpfs/alice/job_n1"):
    return Reply(stdout="\n".join([physical, *lines, *OTHERS]) + "\n")


@pytest.mark.parametrize("previous", [None, {"remote_job_id": "9"}], ids=["record lost", "recorded job gone"])
def test_job_still_in_the_directory_is_followed_not_resubmitted(make_node, ssh, previous):
    # an array's tasks (one id) by the directory as given, a newer job by its physical path
    ssh.reply(QUERY, stdout="\n".join(["/gpfs/alice/job_n1", "7_3|RUNNING|" + JOB_DIR, "7_[4-9]|PENDING|" + JOB_DIR,
                                       "0013+0|PENDING|/gpfs/alice/job_n1", *OTHERS]))
    ssh.reply("^scontrol ping", stdout="Slurmctld(primary) at c1 is UP")
    node = make_node(scripted=True, previous=previous)
    result, log = run(node)

    assert result == {"success": True, "remote_job_status": "pending", "remote_job_id": "13",
                      "message": "Job is pending"}
    assert node.saved == [{"success": True, "remote_job_status": "submitted", "remote_job_id": "13",
                           "remote_job_dir": JOB_DIR, "message": "Job submitted with ID: 13"}]
    assert log.find("Job 13")[0] == (
        "warning", f"Job 13 is already running in {JOB_DIR}; following it instead of submitting another",
        {"job_id": "13"})
    assert not any("sbatch" in c for c in ssh.commands) and ssh.sftp.files == {}


def test_force_resubmit_cancels_the_jobs_and_waits_until_they_are_gone(make_node, ssh):
    ssh.reply_in_turn(QUERY, listing("13|RUNNING|" + JOB_DIR, "7_1|RUNNING|" + JOB_DIR, "7_2|PENDING|" + JOB_DIR),
                      listing("13|COMPLETING|" + JOB_DIR), listing("13|CANCELLED|" + JOB_DIR))
    node = make_node(scripted=True, previous={"remote_job_id": "13"})
    result, log = run(node, options(force_resubmit=True))

    assert result["remote_job_id"] == "917"
    assert [c for c in ssh.commands if not c.startswith("bash")] == [
        f"mkdir -p {JOB_DIR}", query(JOB_DIR), "scancel 7 13", query(JOB_DIR), query(JOB_DIR),
        f"cd {JOB_DIR} && sbatch submit.sh"]
    assert log.find("Cancelled")[0] == (
        "warning", f"Cancelled job(s) 7, 13 still running in {JOB_DIR} before resubmitting", {"job_ids": ["7", "13"]})


@pytest.mark.parametrize("replies, message", [
    ((Reply(stderr="cd: no such directory\n", status=1),), "Could not check for a job already running in "
                                                           f"{JOB_DIR}: cd: no such directory; nothing submitted"),
    ((Reply(status=2),), f"Could not check for a job already running in {JOB_DIR}: exit status 2; nothing submitted"),
    ((Reply(),), f"Could not check for a job already running in {JOB_DIR}: no output; nothing submitted"),
    ((listing("13|RUNNING|" + JOB_DIR), Reply(stderr="squeue: error: timeout\n", status=1)),
     f"Could not check for a job already running in {JOB_DIR}: squeue: error: timeout; nothing submitted"),
    ((listing("13|RUNNING|" + JOB_DIR, "15|PENDING|" + JOB_DIR), listing("13|COMPLETING|" + JOB_DIR)),
     f"Job(s) 13 still running in {JOB_DIR} after scancel; nothing submitted"),
])
def test_failed_job_query_or_lingering_job_submits_nothing(make_node, ssh, replies, message):
    ssh.reply_in_turn(QUERY, *replies)
    node = make_node(scripted=True)
    with pytest.raises(NodeException) as caught:
        run(node, options(dict(PROFILE, ioTimeout=1.5), force_resubmit=True))
    assert (caught.value.origin, caught.value.message) == ("remote_execution", "[slurm] " + message)
    assert not any("sbatch" in c for c in ssh.commands) and node.saved == [] and ssh.sftp.files == {}


def test_refused_scancel_submits_nothing(make_node, ssh):
    ssh.reply(QUERY, stdout=f"{JOB_DIR}\n13|RUNNING|{JOB_DIR}\n")
    ssh.reply("^scancel", stderr="scancel: error: Kill job error on job id 13: Access/permission denied\n", status=1)
    with pytest.raises(NodeException) as caught:
        run(make_node(scripted=True), options(force_resubmit=True))
    assert caught.value.message == (f"[slurm] Could not cancel job(s) 13 still running in {JOB_DIR}: scancel: error: "
                                    "Kill job error on job id 13: Access/permission denied; nothing submitted")
    assert not any("sbatch" in c for c in ssh.commands)
