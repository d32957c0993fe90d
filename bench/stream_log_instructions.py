"""Instructions per call of stream_log end to end against a real redis-server,
against the floor of a bare redis-py call (client with the same options,
PUBLISH of the same payload, close), counted by valgrind's callgrind.

Wall-clock medians on a shared machine move with cache and scheduler noise;
instruction counts are repeatable for the same build and inputs, so this is
the figure to compare builds with.  Each case runs in its own process under
callgrind; the per-call figure is (total - empty run) / calls.

    PYTHONPATH=standin:build/dev/pkg:. python bench/stream_log_instructions.py [calls]
"""

import json
import os
import re
import subprocess
import sys
import tempfile

from testbed import Testbed

ENTRY = {"timestamp": "2026-12-08T04:52:43.363123Z", "source": "node", "level": "info",
         "message": "Processing batch 3/10", "node_id": "node-1", "workflow_id": "workflow-1", "job_id": "job-1",
         "progress": 30.0, "component": "loader", "metadata": {"rows": 1200}}

WORKLOAD = """
import json, os, sys
import redis
from redis.backoff import NoBackoff
from redis.retry import Retry
import zentrel_core.pulsewire as pulsewire

port = int(os.environ["REDIS_PORT"])
entry = json.loads(os.environ["BENCH_ENTRY"])
payload = json.dumps(entry)
pulsewire.set_stream_context("node-1", "workflow-1", "job-1")

def bare():
    client = redis.Redis(host="127.0.0.1", port=port, decode_responses=True, socket_connect_timeout=0.25,
                         socket_timeout=0.25, retry=Retry(NoBackoff(), 0), protocol=2)
    client.publish("zentrel:logs", payload)
    client.close()

cases = {
    "empty": lambda: None,
    "bare": bare,
    "publish": lambda: pulsewire._publish_to_redis(entry),
    "stream_log": lambda: pulsewire.stream_log("Processing batch 3/10", progress=30, component="loader", rows=1200),
}
call = cases[sys.argv[1]]
for _ in range(50):  # warm-up: imports, first connections
    bare()
    call()
for _ in range(int(sys.argv[2])):
    call()
"""


def instructions(case, calls, env):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        proc = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c",
                               WORKLOAD, case, str(calls)], env=env, capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    with Testbed(redis=True, ssh=False, slurm=False) as bed:
        env = dict(os.environ, REDIS_HOST="127.0.0.1", REDIS_PORT=str(bed.redis_port), BENCH_ENTRY=json.dumps(ENTRY))
        totals = {case: instructions(case, calls, env) for case in ("empty", "bare", "publish", "stream_log")}
    per_call = {case: (total - totals["empty"]) / calls for case, total in totals.items() if case != "empty"}
    floor = per_call["bare"]
    print(f"{calls} calls each, instructions per call (callgrind)")
    for case, value in per_call.items():
        print(f"{case:<12}{value:>12,.0f}{value / floor - 1:>+10.1%}")


if __name__ == "__main__":
    main()
