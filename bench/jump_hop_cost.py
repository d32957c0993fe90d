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
import statistics
import sys
import time

from _bed_bench import bed_with_home, print_medians, quiet_node, remote_vars, wait_for
from poll_pass import PollNode


def main() -> None:
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    with bed_with_home() as (bed, work):
        jump_port = bed.start_jump_host()
        direct = bed.profile()
        jumped = bed.profile(proxyJump=f"{bed.ssh_user}@{bed.ssh_host}:{jump_port}")

        def options(profile):
            return remote_vars(profile, "#!/bin/bash\nsleep 600\n")

        node = quiet_node(PollNode, "bench_hop", work)
        job_id = json.loads(node.execute([], options(direct)))["remote_job_id"]
        wait_for(lambda: json.loads(node.execute([], options(jumped)))["remote_job_status"] == "running", 30, "start")

        columns = {"direct": (options(direct), []), "1 jump host": (options(jumped), [])}
        for i in range(pairs):
            order = list(columns.values())
            for flow_vars, times in order if i % 2 else reversed(order):
                started = time.perf_counter()
                result = json.loads(node.execute([], flow_vars))
                times.append(time.perf_counter() - started)
                assert result["remote_job_status"] == "running", result
        bed.run_as_user(f"scancel {job_id}")

    times = {label: column for label, (_, column) in columns.items()}
    print_medians("pass", times, f"{pairs} passes each", ratios=[("+ms", statistics.median(times["direct"]))])


if __name__ == "__main__":
    main()
