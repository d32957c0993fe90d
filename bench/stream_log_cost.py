"""stream_log's own cost: the native function against a plain-Python one doing
the same work, with the host logger and the Redis publication replaced by
no-ops in both, measured in the same run.

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


def per_call_ns(function, statement, number=100_000, repeat=7):
    timer = timeit.Timer(statement, globals={"f": function})
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    zentrel_core.logger.log_message = noop
    pulsewire._publish_to_redis = noop
    _reference._publish_to_redis = noop
    pulsewire.set_stream_context("node-1", "workflow-1", "job-1")
    _reference.set_stream_context("node-1", "workflow-1", "job-1")

    print(f"{'case':<28}{'native ns':>12}{'python ns':>12}{'speed-up':>10}")
    for name, statement in CASES.items():
        native = per_call_ns(pulsewire.stream_log, statement)
        python = per_call_ns(_reference.stream_log, statement)
        print(f"{name:<28}{native:>12.0f}{python:>12.0f}{python / native:>9.2f}x")


if __name__ == "__main__":
    main()
