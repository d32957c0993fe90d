"""Jobs that squeue has already forgotten, answered by real SLURM accounting
(slurmdbd + MariaDB): the end states a node reads from sacct once the job has
left the controller, as on a production cluster without SQUEUE_STATES=all.
Each job is reported once it has ended and is never submitted again."""
import json
import time

import pytest

from nodes import SampleNode
from test_cluster_e2e import FINAL, QUICK, execute, hpc_flow_vars, node_options
from testbed import Testbed

# the tests share one long wait (the fixture `ended`), which the first one
# pays for; while three tests are pending xdist queues no module behind them
pytestmark = [pytest.mark.bed, pytest.mark.clock, pytest.mark.usefixtures("private_home")]

# node id -> (batch script, expected end state); the cancelled job is
# cancelled by the test once it runs, the timed-out one hits --time=1
JOBS = {
    "acct_done": (QUICK, "completed"),
    "acct_fail": ("#!/bin/bash\nexit 3\n", "failed"),
    "acct_cancel": ("#!/bin/bash\nsleep 300\n", "cancelled"),
    "acct_timeout": ("#!/bin/bash\n#SBATCH --time=1\nsleep 300\n", "timeout"),
}


@pytest.fixture(scope="module")
def bed():
    # squeue forgets an ended job at once (no SQUEUE_STATES=all in the SSH
    # session) and the controller purges it after two seconds
    with Testbed(redis=False, min_job_age=2, squeue_states_all=False) as b:
        yield b


def slurm_job_ids(bed):
    """Every job the accounting database holds, whoever submitted it."""
    r = bed.run_slurm(["sacct", "-a", "-X", "-n", "-P", "-o", "JobID", "-S", "2000-01-01"])
    assert r.returncode == 0, r.stderr
    return r.stdout.split()


def sacct_state(bed, job_id):
    return bed.run_as_user(f"sacct -j {job_id} -n -o State -X").stdout.strip()


@pytest.fixture(scope="module")
def ended(bed, tmp_path_factory):
    """The four jobs, each ended: see follow_to_the_end.  The nodes work in
    a home of their own, like the tests' (private_home)."""
    work = tmp_path_factory.mktemp("accounting")
    (work / "in.txt").write_text("hello accounting\n")
    home = tmp_path_factory.mktemp("home")
    (home / ".ssh").mkdir()
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("HOME", str(home))
        return follow_to_the_end(bed, work)


def follow_to_the_end(bed, work):
    """Submits the four jobs and follows them together until each has ended
    (the timeout alone takes about 84 s); returns (node factory, flow
    variables, job ids, last results, working directory)."""
    def node(node_id):
        return SampleNode(node_id=node_id, **node_options(work))

    flow_vars = {nid: hpc_flow_vars(bed, script) for nid, (script, _) in JOBS.items()}
    job_ids = {}
    for nid in JOBS:
        first = execute(node(nid), flow_vars[nid])
        assert first["remote_job_status"] == "submitted", first
        job_ids[nid] = first["remote_job_id"]

    last = {}
    cancelled = False
    deadline = time.monotonic() + 180
    while set(last) != set(JOBS) and time.monotonic() < deadline:
        for nid in set(JOBS) - set(last):
            result = execute(node(nid), flow_vars[nid])
            assert result["remote_job_id"] == job_ids[nid], result
            if result["remote_job_status"] in FINAL:
                last[nid] = result
            elif nid == "acct_cancel" and result["remote_job_status"] == "running" and not cancelled:
                bed.run_as_user(f"scancel {job_ids[nid]}", check=True)
                cancelled = True
        time.sleep(1)
    assert set(last) == set(JOBS), f"jobs still running: {set(JOBS) - set(last)}"
    return node, flow_vars, job_ids, last, work


def test_forgotten_jobs_get_their_end_state_from_sacct(bed, ended):
    _, _, job_ids, last, _ = ended
    # the answers came from sacct: squeue no longer knows any of the jobs
    for nid, job in job_ids.items():
        assert bed.run_as_user(f"squeue -h -o %T -j {job}").stdout == "", nid
    assert sacct_state(bed, job_ids["acct_cancel"]) == "CANCELLED+"
    for nid, (_, state) in JOBS.items():
        if nid == "acct_done":
            continue
        assert last[nid] == {
            "success": False, "remote_job_status": state, "remote_job_id": job_ids[nid],
            "message": f"Previous job {state}. Set 'Force Resubmit' to try again."}, nid


def test_completed_job_is_collected(ended):
    _, _, job_ids, last, work = ended
    assert last["acct_done"] == {
        "success": True, "remote_job_status": "completed", "remote_job_id": job_ids["acct_done"],
        "message": "Job completed, results retrieved",
        "data": {"result": "HELLO ACCOUNTING", "local_dir": str(work)}}


def test_asking_again_reports_the_same_job(bed, ended):
    # nothing is ever submitted twice
    node, flow_vars, job_ids, _, work = ended
    for nid, (_, state) in JOBS.items():
        again = execute(node(nid), flow_vars[nid])
        assert (again["remote_job_status"], again["remote_job_id"]) == (state, job_ids[nid])
        with open(work / f".zentrel_hpc_{nid}.json") as fh:
            assert json.load(fh)["remote_job_id"] == job_ids[nid]
    assert sorted(slurm_job_ids(bed)) == sorted(job_ids.values())
