"""A 1 GiB essential output of a completed job on the test bed's real sshd
and SLURM, fetched by `execute` three ways, side by side in one run:

  whole             the download from zero (no local copy, no record)
  broken+resumed    a pass whose SSH session is killed (SIGKILL) once half
                    the file is in its partial file, then the pass that
                    resumes it (reading the rest, then comparing SHA-256 with
                    the cluster's `sha256sum`); both passes timed together
                    ("resumed pass" is the second alone)
  unchanged         a later collection of the same job with the local copy
                    and the remote file as they were: nothing is fetched

Rounds alternate whole and broken+resumed (order flipped every round) so
that drifts of a shared machine hit both alike; medians are printed.  The
node's log lines go to a no-op callback.

    PYTHONPATH=standin:build/dev/pkg:. python bench/resume.py [rounds]   (as root; default 3)
"""

import glob
import json
import os
import signal
import statistics
import sys
import threading
import time

from _bed_bench import bed_with_home, print_medians, quiet_node, remote_vars, wait_for
from zentrel_core.clusterlane import ClusterlaneBase
from zentrel_core.node import NodeException

GIB = 1024 ** 3


class BigNode(ClusterlaneBase):
    def get_input_files(self, flow_vars):
        return []

    def get_output_files(self, flow_vars):
        return ["big.bin"]

    def get_template_variables(self, flow_vars):
        return {}

    def run_local(self, predecessor_data, flow_vars):
        return {"success": True}


def kill_sessions_at_half(bed, work):
    """Kills the bed's SSH sessions once the partial file passes 512 MiB."""
    def watch():
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            for part in glob.glob(os.path.join(work, ".zentrel-*.part")):
                try:
                    if os.path.getsize(part) > GIB // 2:
                        for pid in bed.sshd_sessions():
                            os.kill(pid, signal.SIGKILL)
                        return
                except (FileNotFoundError, ProcessLookupError):
                    pass
            time.sleep(0.005)
    thread = threading.Thread(target=watch, daemon=True)
    thread.start()
    return thread


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    with bed_with_home() as (bed, work):
        os.chdir(work)  # a node without inputs downloads into the current directory
        flow_vars = remote_vars(bed.profile(), f"#!/bin/bash\nhead -c {GIB} /dev/urandom > big.bin\n")
        node = quiet_node(BigNode, "bench_resume", work)
        job_id = json.loads(node.execute([], flow_vars))["remote_job_id"]
        wait_for(lambda: bed.run_as_user(f"squeue -j {job_id} -h -o %T").stdout.strip() == "COMPLETED", 120,
                 "complete")

        local = os.path.join(work, "big.bin")
        record = os.path.join(work, ".zentrel_hpc_bench_resume.downloads.json")

        def forget():
            for path in [local, record, *glob.glob(os.path.join(work, ".zentrel-*.part"))]:
                if os.path.exists(path):
                    os.remove(path)

        def collect():
            started = time.perf_counter()
            result = json.loads(node.execute([], flow_vars))
            assert result["remote_job_status"] == "completed", result
            assert os.path.getsize(local) == GIB
            return time.perf_counter() - started

        def whole():
            forget()
            return {"whole": collect()}

        def broken_and_resumed():
            forget()
            watcher = kill_sessions_at_half(bed, work)
            started = time.perf_counter()
            try:
                node.execute([], flow_vars)
                sys.exit("the broken pass did not break")
            except NodeException:
                pass
            broken = time.perf_counter() - started
            watcher.join()
            resumed = collect()
            return {"broken+resumed": broken + resumed, "resumed pass": resumed}

        columns = {"whole": [], "broken+resumed": [], "resumed pass": [], "unchanged": []}
        for i in range(rounds):
            for step in (whole, broken_and_resumed) if i % 2 else (broken_and_resumed, whole):
                for label, seconds in step().items():
                    columns[label].append(seconds)
            columns["unchanged"].append(collect())

    print_medians("1 GiB output", columns, f"{rounds} rounds", unit="s",
                  ratios=[("vs whole", statistics.median(columns["whole"]))])


if __name__ == "__main__":
    main()
