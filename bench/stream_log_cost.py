"""stream_log's own cost: the native function against a plain-Python one doing
the same work, with the host logger and the Redis publication replaced by
no-ops in both, measured in the same run.  bench/stream_log_redis.py runs
this too, beside its end-to-end comparison.

    PYTHONPATH=standin:build/dev/pkg:bench python bench/stream_log_cost.py
"""

import timeit

import _reference
import zentrel_core.logger
import zentrel_core.pulsewire as pulsewire


def noop(*args, **kwargs):
    return True


CASES = {
    "message only": "f('Processing batch')",
    "context + progress": "f('Processing batch', progress=20)",
    "all arguments + metadata": "f('Done', 'INFO', 'node', 'n1', 'w1', 'j1', 55, 'loader', took=1.5, rows=10)",
}


def per_call_ns(function, statement, number, repeat):
    timer = timeit.Timer(statement, globals={"f": function})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def own_cost(number=100_000, repeat=7):
    """{case: (native ns, plain-Python ns)} per call, best of `repeat`; the
    host logger and both publication functions are no-ops meanwhile and
    restored afterwards, as is the stream context."""
    saved = (zentrel_core.logger.log_message, pulsewire._publish_to_redis, _reference._publish_to_redis)
    zentrel_core.logger.log_message = noop
    pulsewire._publish_to_redis = noop
    _reference._publish_to_redis = noop
    pulsewire.set_stream_context("node-1", "workflow-1", "job-1")
    _reference.set_stream_context("node-1", "workflow-1", "job-1")
    try:
        return {name: (per_call_ns(pulsewire.stream_log, statement, number, repeat),
                       per_call_ns(_reference.stream_log, statement, number, repeat))
                for name, statement in CASES.items()}
    finally:
        zentrel_core.logger.log_message, pulsewire._publish_to_redis, _reference._publish_to_redis = saved


def print_own_cost(rows):
    print(f"{'own cost, ns per call':<28}{'native':>10}{'python':>10}{'python/native':>15}")
    for name, (native, python) in rows.items():
        print(f"{name:<28}{native:>10.0f}{python:>10.0f}{python / native:>14.2f}x")


if __name__ == "__main__":
    print_own_cost(own_cost())
