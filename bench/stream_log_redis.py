"""stream_log beside the plain-Python stream_log of bench/_reference.py (the
same standard-library calls), in one run: first the own cost of both
(bench/stream_log_cost.py: host log and publication no-ops), then both end
to end against a real redis-server, with the floor of a bare redis-py call
that opens a client with the same options, publishes the same payload on the
same channel and closes it.

The end-to-end columns are interleaved call by call (in a new random order
every round, so that no column always follows the same one) and each call is
timed on its own, so that drifts of a shared machine hit all alike; the medians of the per-call times are compared.  A second
bare column measured the same way shows the noise floor of the comparison;
another has the host logger (the engine's, here its stand-in) replaced by a
no-op, leaving what the module itself adds.

    PYTHONPATH=standin:build/dev/pkg:.:bench python bench/stream_log_redis.py [pairs]
"""

import json
import os
import random
import statistics
import sys
import time

import redis
from redis.backoff import NoBackoff
from redis.retry import Retry

from testbed import Testbed

import _reference
from stream_log_cost import own_cost, print_own_cost

import zentrel_core.logger
import zentrel_core.pulsewire as pulsewire

def bare_call(port, payload):
    client = redis.Redis(host="127.0.0.1", port=port, decode_responses=True, socket_connect_timeout=0.25,
                         socket_timeout=0.25, retry=Retry(NoBackoff(), 0), protocol=2)
    client.publish("zentrel:logs", payload)
    client.close()


def module_call(port, payload):
    pulsewire.stream_log("Processing batch 3/10", progress=30, component="loader", rows=1200)


def host_log_silenced_call(port, payload):
    real = zentrel_core.logger.log_message
    zentrel_core.logger.log_message = silent_host_log
    try:
        module_call(port, payload)
    finally:
        zentrel_core.logger.log_message = real


def reference_call(port, payload):
    _reference.stream_log("Processing batch 3/10", progress=30, component="loader", rows=1200)


def silent_host_log(message, level):
    return None


def sent_payload():
    """The JSON text stream_log publishes, for the floor."""
    captured = []
    real_publish = pulsewire._publish_to_redis
    pulsewire._publish_to_redis = captured.append
    try:
        module_call(None, None)
    finally:
        pulsewire._publish_to_redis = real_publish
    return json.dumps(captured[0], default=str)


def main():
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    columns = {"bare redis-py (floor)": bare_call, "bare redis-py again (noise)": bare_call,
               "stream_log end to end": module_call, "  same, host log a no-op": host_log_silenced_call,
               "plain-Python stream_log": reference_call}
    samples = {label: [] for label in columns}
    own_rows = own_cost(number=50_000)
    with Testbed(redis=True, ssh=False, slurm=False) as bed:
        os.environ["REDIS_HOST"] = "127.0.0.1"
        os.environ["REDIS_PORT"] = str(bed.redis_port)
        pulsewire.set_stream_context("node-1", "workflow-1", "job-1")
        _reference.set_stream_context("node-1", "workflow-1", "job-1")
        payload = sent_payload()
        for call in (bare_call, module_call, reference_call):  # warm-up
            for _ in range(300):
                call(bed.redis_port, payload)
        order = list(columns.items())
        shuffle = random.Random(1).shuffle
        for i in range(pairs):
            shuffle(order)
            for label, call in order:
                started = time.perf_counter_ns()
                call(bed.redis_port, payload)
                samples[label].append(time.perf_counter_ns() - started)

    floor = statistics.median(samples["bare redis-py (floor)"])
    end_to_end = statistics.median(samples["stream_log end to end"])
    reference = statistics.median(samples["plain-Python stream_log"])
    print_own_cost(own_rows)
    print(f"\n{pairs} interleaved calls each, microseconds per call")
    print(f"{'':<30}{'median':>10}{'mean':>10}{'vs floor':>10}")
    for label, values in samples.items():
        median = statistics.median(values)
        print(f"{label:<30}{median / 1000:>10.1f}{statistics.fmean(values) / 1000:>10.1f}{median / floor - 1:>+10.1%}")
    print(f"\nstream_log end to end {end_to_end / 1000:.1f} us, bare redis-py floor {floor / 1000:.1f} us: "
          f"{end_to_end / floor - 1:+.1%} (medians)")
    native_own = sum(native for native, _ in own_rows.values())
    python_own = sum(python for _, python in own_rows.values())
    print(f"native against plain-Python stream_log: own cost {native_own / python_own:.2f}x (sum of the cases), "
          f"end to end {end_to_end / reference:.3f}x (medians)")


if __name__ == "__main__":
    main()
