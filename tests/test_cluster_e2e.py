"""Cluster runs end to end through execute(), as the engine's worker drives
them, against the test bed's real sshd and SLURM: submission, polling,
completion with downloads, failed and cancelled jobs, forced resubmission,
large files, path expansion on the cluster, key handling and the errors a
user meets when the connection or the job directory cannot be had."""
import json
import os
import socket
import tempfile
import time

import pytest

from fakessh import LogRecorder
from nodes import result_txt
from zentrel_core.node import NodeException

pytestmark = [pytest.mark.bed, pytest.mark.usefixtures("private_home")]

FINAL = ("completed", "failed", "cancelled", "timeout", "node_fail")

QUICK = """#!/bin/bash
#SBATCH --output=slurm.out
sleep 1
tr a-z A-Z < {{INPUT_FILE_0}} > result.txt
"""


def node_options(work, inputs=None):
    """make_node options of a node of the bed's jobs: it works in `work`,
    uploads `inputs` (in.txt there by default) and returns the text its job
    wrote to result.txt."""
    return dict(working_path=work, inputs=[str(work / "in.txt")] if inputs is None else inputs,
                outputs=["result.txt"], result_data=result_txt)


def hpc_flow_vars(bed, script=QUICK, profile=None, **extra):
    options = {"execution_mode": "remote", "hpc_profile_id": "bed",
               "hpc_profile": profile if profile is not None else bed.profile(), "slurm_script": script}
    options.update(extra)
    return {"_hpc_options": options}


def execute(node, flow_vars):
    return json.loads(node.execute([], flow_vars))


def poll(make_node, flow_vars, timeout=30):
    """Calls execute every 0.5 s, on a new node object each time (the state
    file carries the job), until the job has ended; returns every result."""
    results = []
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        results.append(execute(make_node(), flow_vars))
        if results[-1]["remote_job_status"] in FINAL:
            return results
        time.sleep(0.5)
    pytest.fail(f"job did not end: {results[-1]}")


def failure(node, flow_vars):
    with pytest.raises(NodeException) as caught:
        node.execute([], flow_vars)
    return caught.value.origin, caught.value.message


def test_job_runs_to_completion_across_node_objects(bed, work, make_node):
    options = node_options(work, [str(work / "in.txt"), "", str(work / "not-there.txt")])
    flow_vars = hpc_flow_vars(bed)
    node = make_node(node_id="e2e_full", **options)
    log = LogRecorder()
    node.set_log_callback(log)

    first = execute(node, flow_vars)
    job_dir = f"{bed.remote_work_dir}/job_e2e_full"
    assert first == {"success": True, "remote_job_status": "submitted", "remote_job_id": first["remote_job_id"],
                     "remote_job_dir": job_dir, "message": f"Job submitted with ID: {first['remote_job_id']}"}
    assert first["remote_job_id"].isdigit()
    assert log.find("Uploading ")[0][1] == "Uploading 2 input files to HPC"  # the missing file counts
    listing = bed.run_as_user(f"ls {job_dir}").stdout.split()
    assert sorted(listing) == ["in.txt", "submit.sh"]
    with open(work / ".zentrel_hpc_e2e_full.json") as fh:
        assert json.load(fh) == first

    results = poll(lambda: make_node(node_id="e2e_full", **options), flow_vars)
    assert {r["remote_job_status"] for r in results[:-1]} <= {"pending", "running", "configuring", "completing"}
    assert all(r["remote_job_id"] == first["remote_job_id"] for r in results)
    last = results[-1]
    assert last == {"success": True, "remote_job_status": "completed", "remote_job_id": first["remote_job_id"],
                    "message": "Job completed, results retrieved",
                    "data": {"result": "HELLO CLUSTER", "local_dir": str(work)}}


def test_failed_job_asks_for_force_resubmit(bed, work, make_node):
    flow_vars = hpc_flow_vars(bed, "#!/bin/bash\nexit 1\n")
    results = poll(lambda: make_node(node_id="e2e_fail", **node_options(work)), flow_vars)
    assert results[0]["remote_job_status"] == "submitted"
    assert results[-1] == {"success": False, "remote_job_status": "failed",
                           "remote_job_id": results[0]["remote_job_id"],
                           "message": "Previous job failed. Set 'Force Resubmit' to try again."}


def test_cancelled_job_then_forced_resubmission(bed, work, make_node):
    make = lambda: make_node(node_id="e2e_cancel", **node_options(work))  # noqa: E731
    slow = hpc_flow_vars(bed, "#!/bin/bash\nsleep 60\n")
    job_id = execute(make(), slow)["remote_job_id"]
    bed.run_as_user(f"scancel {job_id}", check=True)
    results = poll(make, slow)
    assert results[-1]["remote_job_status"] == "cancelled" and results[-1]["success"] is False

    resubmitted = execute(make(), hpc_flow_vars(bed, force_resubmit=True))
    assert resubmitted["remote_job_status"] == "submitted" and resubmitted["remote_job_id"] != job_id
    results = poll(make, hpc_flow_vars(bed))
    assert results[-1]["remote_job_status"] == "completed"
    assert results[-1]["data"]["result"] == "HELLO CLUSTER"


def test_large_file_skipped_then_fetched_and_missing_output_tolerated(bed, work, make_node):
    script = QUICK + "head -c 200000 /dev/zero > big.dat\n"
    categories = {"essential": ["result.txt", "missing.txt"], "large": ["big.dat"]}
    make = lambda: make_node(node_id="e2e_large", categories=categories, **node_options(work))  # noqa: E731
    results = poll(make, hpc_flow_vars(bed, script))
    last = results[-1]
    job_dir = f"{bed.remote_work_dir}/job_e2e_large"
    assert last["message"] == "Job completed, results retrieved (1 large files skipped)"
    assert last["data"]["skipped_large_files"] == ["big.dat"]
    assert last["data"]["remote_files"] == {"big.dat": {
        "remote_path": f"{job_dir}/big.dat", "category": "large",
        "reason": "Large file - enable 'Download Large Files' option to include"}}
    assert not (work / "big.dat").exists() and not (work / "missing.txt").exists()

    fetched = execute(make(), hpc_flow_vars(bed, script, download_large_files=True))
    assert fetched["message"] == "Job completed, results retrieved"
    assert "skipped_large_files" not in fetched["data"]
    assert (work / "big.dat").stat().st_size == 200000


@pytest.mark.parametrize("prefix, node_id", [("~", "my node"), ("$HOME", "e2e_home")])
def test_remote_work_dir_expanded_on_the_cluster(bed, work, make_node, prefix, node_id):
    relative = os.path.relpath(bed.remote_work_dir, bed.remote_home)
    profile = bed.profile(remoteWorkDir=f"{prefix}/{relative}")
    make = lambda: make_node(node_id=node_id, **node_options(work))  # noqa: E731
    results = poll(make, hpc_flow_vars(bed, profile=profile))
    assert results[0]["remote_job_dir"] == f"{bed.remote_work_dir}/job_{node_id}"
    assert results[-1]["remote_job_status"] == "completed"
    assert results[-1]["data"]["result"] == "HELLO CLUSTER"


def test_passphrase_protected_key(bed, work, make_node):
    profile = bed.profile(keyFilename=bed.passphrase_key_path, keyPassphrase=bed.passphrase)
    result = execute(make_node(node_id="e2e_pass", **node_options(work)), hpc_flow_vars(bed, profile=profile))
    assert result["remote_job_status"] == "submitted"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def contradicting_known_hosts(bed, home):
    with open(bed.wrong_key_path + ".pub") as fh:
        kind, key = fh.read().split()[:2]
    (home / ".ssh" / "known_hosts").write_text(f"[{bed.ssh_host}]:{bed.ssh_port} {kind} {key}\n")


@pytest.mark.parametrize("case, origin, text", [
    ("wrong key", "authentication",
     "SSH authentication failed for {user}@127.0.0.1. Please check your SSH key or credentials."),
    ("key without its passphrase", "authentication",
     "SSH authentication failed for {user}@127.0.0.1. Please check your SSH key or credentials."),
    ("nothing listening", "remote_execution", "[Errno None] Unable to connect to port {port} on 127.0.0.1"),
    ("host key contradicts known_hosts", "ssh", "SSH error connecting to 127.0.0.1: Host key for server"),
    ("mkdir refused", "remote_execution", "[remote_dir] Failed to create remote directory {forbidden}/job_e2e_err: "),
])
def test_errors_a_user_meets(bed, work, private_home, make_node, case, origin, text):
    profile = bed.profile()
    forbidden = tempfile.mkdtemp(prefix="zentrel-root-only-")
    os.chmod(forbidden, 0o755)
    try:
        if case == "wrong key":
            profile["keyFilename"] = bed.wrong_key_path
        elif case == "key without its passphrase":
            profile["keyFilename"] = bed.passphrase_key_path
        elif case == "nothing listening":
            profile["port"] = free_port()
        elif case == "host key contradicts known_hosts":
            contradicting_known_hosts(bed, private_home)
        else:
            profile["remoteWorkDir"] = forbidden
        node = make_node(node_id="e2e_err", **node_options(work))
        got_origin, message = failure(node, hpc_flow_vars(bed, profile=profile))
    finally:
        os.rmdir(forbidden)
    assert got_origin == origin
    assert message.startswith(text.format(user=bed.ssh_user, port=profile["port"], forbidden=forbidden))
    if case == "mkdir refused":
        assert "Permission denied" in message
    assert not (work / ".zentrel_hpc_e2e_err.json").exists()
