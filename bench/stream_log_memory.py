"""Memory over 100,000 stream_log calls: traced Python allocations
(tracemalloc) and the process's resident set size, sampled every 10,000
calls.  Publication goes to a real redis-server; with --no-redis, REDIS_PORT
is not a number, so every publication takes the failure path (exception,
DEBUG record, False) instead.

    PYTHONPATH=standin:build/dev/pkg:. python bench/stream_log_memory.py [--no-redis]
"""

import gc
import os
import sys
import tracemalloc

from testbed import Testbed

import zentrel_core.logger
import zentrel_core.pulsewire as pulsewire

CALLS = 100_000
STEP = 10_000


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def run():
    zentrel_core.logger.log_message = lambda message, level: None
    pulsewire.set_stream_context("node-1", "workflow-1", "job-1")
    for i in range(2_000):  # warm-up: caches, interned names, the client library
        pulsewire.stream_log("warm-up", progress=i % 100, rows=i)
    gc.collect()
    tracemalloc.start()
    base_traced, base_rss = tracemalloc.get_traced_memory()[0], rss_kib()
    print(f"{'calls':>8}{'traced KiB':>12}{'RSS KiB':>10}")
    for done in range(0, CALLS + 1, STEP):
        if done:
            for i in range(STEP):
                pulsewire.stream_log("Processing batch", progress=i % 100, component="loader", rows=i,
                                     tags=["a", "b"], ratio=i / 7)
            gc.collect()
        traced = tracemalloc.get_traced_memory()[0]
        print(f"{done:>8}{(traced - base_traced) / 1024:>12.1f}{rss_kib() - base_rss:>10}")


def main():
    if "--no-redis" in sys.argv:
        os.environ["REDIS_PORT"] = "not-a-port"
        run()
        return
    with Testbed(redis=True, ssh=False, slurm=False) as bed:
        os.environ["REDIS_HOST"] = "127.0.0.1"
        os.environ["REDIS_PORT"] = str(bed.redis_port)
        run()


if __name__ == "__main__":
    main()
