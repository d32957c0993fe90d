"""What one jump host costs a poll pass, against the test bed's real sshd,
SLURM and its second sshd as the jump host.

The poll pass is `execute` of a node whose recorded job is running (connect,
expand the work directory, open SFTP, ask squeue, close), made directly and
through the jump host (`proxyJump`), interleaved pass by pass (order flipped
every pair) so that drifts of a shared machine hit both alike; the medians
are compared.  Both keep their host keys pinned in a known_hosts of their
own (the first pass pins them), so the pin is not in the figures.

    PYTHONPATH=.:bench .venv/bin/python bench/jump_hop_cost.py [pairs]   (as root; default 30)
"""

import json
import os
import statistics
import sys
import tempfile
import time

from poll_pass import PollNode
from testbed import Testbed


def main() -> None:
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    with Testbed(redis=False) as bed, tempfile.TemporaryDirectory() as work:
        os.environ["HOME"] = work
        jump_port = bed.start_jump_host()
        direct = bed.profile()
        jumped = bed.profile(proxyJump=f"{bed.ssh_user}@{bed.ssh_host}:{jump_port}")

        def options(profile):
            return {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "bed", "hpc_profile": profile,
                                     "slurm_script": "#!/bin/bash\nsleep 600\n"}}

        node = PollNode("bench_hop")
        node.working_path = work
        node.set_log_callback(lambda *args, **metadata: None)
        job_id = json.loads(node.execute([], options(direct)))["remote_job_id"]
        deadline = time.monotonic() + 30
        while json.loads(node.execute([], options(jumped)))["remote_job_status"] != "running":
            if time.monotonic() > deadline:
                sys.exit("the bench job did not start")
            time.sleep(0.3)

        columns = {"direct": (options(direct), []), "1 jump host": (options(jumped), [])}
        for i in range(pairs):
            order = list(columns.values())
            for flow_vars, times in order if i % 2 else reversed(order):
                started = time.perf_counter()
                result = json.loads(node.execute([], flow_vars))
                times.append(time.perf_counter() - started)
                assert result["remote_job_status"] == "running", result
        bed.run_as_user(f"scancel {job_id}")

    base = statistics.median(columns["direct"][1])
    print(f"{'pass':<13}{'median ms':>10}{'min ms':>9}{'max ms':>9}{'+ms':>8}   ({pairs} passes each)")
    for label, (_, times) in columns.items():
        median = statistics.median(times)
        print(f"{label:<13}{median * 1e3:>10.1f}{min(times) * 1e3:>9.1f}{max(times) * 1e3:>9.1f}"
              f"{(median - base) * 1e3:>8.1f}")


if __name__ == "__main__":
    main()
