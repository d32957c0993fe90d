"""Command line of the test bed.

    python -m testbed up [--no-redis] [--no-ssh] [--no-slurm] [--no-accounting]
        bring the services up, print the connection facts as JSON on stdout,
        stay up until SIGINT or SIGTERM, then tear everything down.
    python -m testbed reap
        end the processes and remove the directories of beds whose owner was
        killed (only what those beds started).
"""

import argparse
import json
import signal
import sys
import time

from . import BedError, Testbed, reap_leftovers


def _up(args) -> int:
    # The handler only records the signal.  Setting a threading.Event there
    # takes the Event's lock, which the main thread may be holding inside its
    # own Event.wait when the signal is handled: the process hung for good.
    stop: list[int] = []

    def on_signal(signum, _frame):
        stop.append(signum)

    # SIGTERM must lead to the same orderly teardown as Ctrl-C
    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGHUP, on_signal)
    try:
        with Testbed(redis=args.redis, ssh=args.ssh or args.slurm, slurm=args.slurm,
                     accounting=args.accounting) as bed:
            print(json.dumps(bed.facts(), indent=2), flush=True)
            print("test bed is up; Ctrl-C or SIGTERM tears it down", file=sys.stderr, flush=True)
            while not stop:
                time.sleep(0.2)
            print("tearing down", file=sys.stderr, flush=True)
    except BedError as exc:
        print(f"test bed failed: {exc}", file=sys.stderr)
        return 1
    return 0


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m testbed")
    sub = parser.add_subparsers(dest="command", required=True)
    up = sub.add_parser("up", help="bring the bed up and keep it up until interrupted")
    up.add_argument("--no-redis", dest="redis", action="store_false")
    up.add_argument("--no-ssh", dest="ssh", action="store_false")
    up.add_argument("--no-slurm", dest="slurm", action="store_false")
    up.add_argument("--no-accounting", dest="accounting", action="store_false",
                    help="SLURM without slurmdbd and MariaDB")
    sub.add_parser("reap", help="clean up after killed beds")
    args = parser.parse_args(argv)
    if args.command == "up":
        return _up(args)
    killed = reap_leftovers()
    print(json.dumps({"killed": killed}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
