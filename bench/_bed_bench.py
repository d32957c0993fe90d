"""What the cluster benchmarks share: the test bed with a home of their own,
the flow variables of a remote node, a node whose log lines go nowhere, a
bounded wait, and the table of medians they print."""

import contextlib
import os
import statistics
import sys
import tempfile
import time

from testbed import Testbed


@contextlib.contextmanager
def bed_with_home():
    """The bed's sshd and SLURM, and a temporary directory that is HOME for
    the run (known_hosts of our own): yields (bed, directory)."""
    with Testbed(redis=False) as bed, tempfile.TemporaryDirectory() as work:
        os.environ["HOME"] = work
        yield bed, work


def remote_vars(profile, script):
    return {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": "bed", "hpc_profile": profile,
                             "slurm_script": script}}


def quiet_node(cls, node_id, work):
    """A node working in `work` whose log lines go to a no-op callback (the
    engine's logger is not ours to measure)."""
    node = cls(node_id)
    node.working_path = work
    node.set_log_callback(lambda *args, **metadata: None)
    return node


def wait_for(ready, seconds, what):
    deadline = time.monotonic() + seconds
    while not ready():
        if time.monotonic() > deadline:
            sys.exit(f"the bench job did not {what}")
        time.sleep(0.3)


def print_medians(title, columns, note, unit="ms", ratios=()):
    """One row per column of timings in seconds: median, min and max in
    `unit` ("ms" or "s"), then the median against each (heading, base
    median) of `ratios`; a heading given as "+ms" shows the difference."""
    scale, width, digits = (1e3, 10, 1) if unit == "ms" else (1, 9, 2)
    label_width = max(13, max(len(label) for label in columns) + 3)
    heads = "".join(f"{head:>{max(9, len(head) + 2)}}" for head, _ in ratios)
    print(f"{title:<{label_width}}{'median ' + unit:>{width}}{'min ' + unit:>{width - 1}}"
          f"{'max ' + unit:>{width - 1}}{heads}   ({note})")
    for label, times in columns.items():
        median = statistics.median(times)
        row = f"{label:<{label_width}}{median * scale:>{width}.{digits}f}{min(times) * scale:>{width - 1}.{digits}f}" \
              f"{max(times) * scale:>{width - 1}.{digits}f}"
        for head, base in ratios:
            cell = max(9, len(head) + 2)
            row += f"{(median - base) * 1e3:>{cell}.1f}" if head.startswith("+") else f"{median / base:>{cell}.3f}"
        print(row)
