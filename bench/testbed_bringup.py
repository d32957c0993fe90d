"""Bring-up and teardown of the full test bed (redis-server, sshd, munged,
slurmctld, slurmd), with SLURM accounting (MariaDB + slurmdbd) and without,
alternating so both see the same machine load.  Teardown is measured with
one running job, as most test modules leave one behind.

    python bench/testbed_bringup.py [rounds]      (as root; default 5 rounds)
"""

import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from testbed import Testbed  # noqa: E402


def one(accounting: bool) -> tuple[float, float]:
    started = time.monotonic()
    bed = Testbed(accounting=accounting).start()
    up = time.monotonic() - started
    bed.run_as_user(f"cd {bed.remote_work_dir} && sbatch --wrap 'sleep 300'", check=True)
    time.sleep(2)
    started = time.monotonic()
    bed.stop()
    return up, time.monotonic() - started


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    times = {True: [], False: []}
    for _ in range(rounds):
        for accounting in (False, True):
            times[accounting].append(one(accounting))
    print(f"{'accounting':<12}{'up median':>10}{'up min':>8}{'up max':>8}"
          f"{'stop median':>13}{'stop max':>10}   ({rounds} rounds, seconds)")
    for accounting, samples in times.items():
        up = [u for u, _ in samples]
        stop = [s for _, s in samples]
        print(f"{'on' if accounting else 'off':<12}{statistics.median(up):>10.2f}{min(up):>8.2f}"
              f"{max(up):>8.2f}{statistics.median(stop):>13.2f}{max(stop):>10.2f}")


if __name__ == "__main__":
    main()
