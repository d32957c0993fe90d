"""One job per node on the real cluster: a controller outage, a job array,
two passes of one node at once, a node whose job cannot be recorded, a lost
reply to sbatch, a lost record, a login banner from squeue and "Force
Resubmit" while the job runs never lead to two jobs in the job directory."""
import json
import multiprocessing

import pytest

from nodes import SampleNode
from test_cluster_e2e import QUICK, execute, failure, hpc_flow_vars, node_options, poll

pytestmark = [pytest.mark.bed, pytest.mark.usefixtures("private_home")]


def named(script, name):
    return script.replace("#!/bin/bash\n", f"#!/bin/bash\n#SBATCH --job-name={name}\n", 1)


def jobs_named(bed, name):
    """Ids of the jobs (array jobs once) SLURM knows under this name."""
    out = bed.run_slurm(["squeue", "-h", "-n", name, "-o", "%F"]).stdout.split()
    return sorted(set(out))


@pytest.mark.clock  # a 25 s job outlives a controller restart: about 50 s
def test_controller_outage_keeps_the_job(bed, work, make_node):
    make = lambda: make_node(node_id="one_outage", **node_options(work))  # noqa: E731
    flow_vars = hpc_flow_vars(bed, named("#!/bin/bash\nsleep 25\necho done > result.txt\n", "one_outage"))
    job_id = execute(make(), flow_vars)["remote_job_id"]
    stopped = [s for s in ("slurmdbd", "slurmctld") if s in bed.logs]  # sacct must not answer either
    for service in reversed(stopped):
        bed.stop_service(service)
    try:
        origin, message = failure(make(), flow_vars)
    finally:
        for service in stopped:
            bed.restart_service(service)
    assert (origin, message) == ("remote_execution", f"[slurm] SLURM controller unreachable; state of job {job_id} "
                                                     "unknown, nothing resubmitted")
    with open(work / ".zentrel_hpc_one_outage.json") as fh:
        assert json.load(fh)["remote_job_id"] == job_id

    results = poll(make, flow_vars, timeout=60)
    assert {r["remote_job_id"] for r in results} == {job_id}
    assert results[-1]["remote_job_status"] == "completed"
    assert jobs_named(bed, "one_outage") == [job_id]


def test_job_array_is_followed_to_completion(bed, work, make_node):
    script = named(QUICK.replace("#SBATCH --output=slurm.out\n", "#SBATCH --array=0-1\nsleep 2\n"), "one_array")
    results = poll(lambda: make_node(node_id="one_array", **node_options(work)), hpc_flow_vars(bed, script))
    assert [r["remote_job_status"] for r in results].count("submitted") == 1
    assert results[-1]["remote_job_status"] == "completed"
    assert results[-1]["data"]["result"] == "HELLO CLUSTER"
    assert jobs_named(bed, "one_array") == [results[0]["remote_job_id"]]


def _pass_when_told(go, work, flow_vars, results):
    go.wait(timeout=60)
    results.put(execute(SampleNode("one_twice", **node_options(work)), flow_vars))


def test_two_processes_polling_a_new_node_submit_one_job(bed, work):
    flow_vars = hpc_flow_vars(bed, named(QUICK, "one_twice"))
    ctx = multiprocessing.get_context("spawn")  # the test process has threads: no fork
    go, results = ctx.Barrier(3), ctx.Queue()
    workers = [ctx.Process(target=_pass_when_told, args=(go, work, flow_vars, results)) for _ in range(2)]
    for w in workers:
        w.start()
    go.wait(timeout=60)  # both children are ready: all three go at once
    got = [results.get(timeout=60) for _ in workers]
    for w in workers:
        w.join(timeout=10)
    statuses = sorted(r["remote_job_status"] for r in got)
    assert statuses.count("submitted") == 1, got
    assert len({r["remote_job_id"] for r in got}) == 1
    assert jobs_named(bed, "one_twice") == [got[0]["remote_job_id"]]


def test_missing_working_directory_submits_nothing(bed, tmp_path, make_node):
    missing = tmp_path / "no-such-dir"
    node = make_node(node_id="one_unrecorded", **node_options(missing, inputs=[]))
    origin, message = failure(node, hpc_flow_vars(bed, named(QUICK, "one_unrecorded")))
    assert (origin, message) == ("remote_execution", f"[state] Cannot record the job in {missing}/"
                                                     ".zentrel_hpc_one_unrecorded.json: No such file or directory; "
                                                     "nothing submitted")
    assert bed.run_as_user(f"test -e {bed.remote_work_dir}/job_one_unrecorded").returncode == 1
    assert jobs_named(bed, "one_unrecorded") == []


def alive_jobs_named(bed, name):
    out = bed.run_slurm(["squeue", "-h", "-n", name, "-t", "PENDING,RUNNING,CONFIGURING,COMPLETING", "-o", "%F"])
    return sorted(set(out.stdout.split()))


def test_lost_sbatch_reply_leads_to_one_job(bed, work, make_node, wrap_command):
    job_dir = f"{bed.remote_work_dir}/job_one_lost_reply"
    # sbatch runs, then the connection stays silent (once)
    wrap_command("sbatch", f'if [ "$PWD" = {job_dir} ] && [ ! -e .frozen ]; then touch .frozen; "$REAL" "$@" '
                           '> /dev/null; exec sleep 20; fi\nexec "$REAL" "$@"')
    make = lambda: make_node(node_id="one_lost_reply", **node_options(work))  # noqa: E731
    flow_vars = hpc_flow_vars(bed, named("#!/bin/bash\nsleep 20\n", "one_lost_reply"), bed.profile(ioTimeout=3))

    origin, message = failure(make(), flow_vars)
    assert (origin, message) == ("remote_execution", "No answer from 127.0.0.1 for 3 seconds")
    assert not (work / ".zentrel_hpc_one_lost_reply.json").exists()
    [job_id] = alive_jobs_named(bed, "one_lost_reply")

    followed = execute(make(), flow_vars)
    again = execute(make(), flow_vars)
    assert (followed["remote_job_id"], again["remote_job_id"]) == (job_id, job_id)
    assert {followed["remote_job_status"], again["remote_job_status"]} <= {"pending", "running"}
    assert alive_jobs_named(bed, "one_lost_reply") == [job_id]
    bed.run_slurm(["scancel", job_id])


def test_record_lost_while_the_job_runs_is_followed(bed, work, make_node):
    make = lambda: make_node(node_id="one_lost_record", **node_options(work))  # noqa: E731
    flow_vars = hpc_flow_vars(bed, named("#!/bin/bash\nsleep 20\n", "one_lost_record"))
    job_id = execute(make(), flow_vars)["remote_job_id"]
    (work / ".zentrel_hpc_one_lost_record.json").unlink()

    result = execute(make(), flow_vars)
    assert result["remote_job_id"] == job_id and result["remote_job_status"] in ("pending", "running")
    with open(work / ".zentrel_hpc_one_lost_record.json") as fh:
        assert json.load(fh)["remote_job_id"] == job_id
    assert alive_jobs_named(bed, "one_lost_record") == [job_id]
    bed.run_slurm(["scancel", job_id])


def test_force_resubmit_cancels_the_running_job_first(bed, work, make_node):
    make = lambda: make_node(node_id="one_forced", **node_options(work))  # noqa: E731
    flow_vars = hpc_flow_vars(bed, named("#!/bin/bash\nsleep 30\n", "one_forced"))
    first = execute(make(), flow_vars)["remote_job_id"]

    forced = flow_vars["_hpc_options"] | {"force_resubmit": True}
    second = execute(make(), {"_hpc_options": forced})
    assert second["remote_job_status"] == "submitted" and second["remote_job_id"] != first
    assert alive_jobs_named(bed, "one_forced") == [second["remote_job_id"]]
    bed.run_slurm(["scancel", second["remote_job_id"]])


def test_login_banner_from_squeue_submits_no_second_job(bed, work, make_node, wrap_command):
    make = lambda: make_node(node_id="one_banner", **node_options(work))  # noqa: E731
    flow_vars = hpc_flow_vars(bed, named("#!/bin/bash\nsleep 20\n", "one_banner"))
    job_id = execute(make(), flow_vars)["remote_job_id"]
    job_dir = f"{bed.remote_work_dir}/job_one_banner"
    # the job's own state query gets the banner only; the job query gets it before the listing
    wrap_command("squeue", f'case " $* " in *" -j {job_id} "*) echo "Welcome to the cluster"; exit 0;; esac\n'
                           f'[ "$PWD" = {job_dir} ] && echo "Welcome to the cluster"\nexec "$REAL" "$@"')

    result = execute(make(), flow_vars)
    assert (result["remote_job_id"], result["remote_job_status"]) in {(job_id, "pending"), (job_id, "running")}
    assert alive_jobs_named(bed, "one_banner") == [job_id]
    bed.run_slurm(["scancel", job_id])
