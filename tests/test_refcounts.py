"""Calls leave the reference counts of their arguments as they found them."""
import sys

import pytest

from zentrel_core.node import NodeException

CALLS = 2000


def counts(*objects):
    # Taken outside assert statements: pytest's assertion rewriting keeps
    # intermediate values alive while the assertion is evaluated.
    return [sys.getrefcount(o) for o in objects]


def repeat(call):
    for _ in range(CALLS):
        try:
            call()
        except (NodeException, TypeError):
            pass


@pytest.mark.parametrize("flow_vars, local_result", [
    ({}, {"success": True}),
    ({"_hpc_options": {"execution_mode": "local", "hpc_profile_id": "x"}}, {"success": True}),
    ({"n": [3]}, ValueError),
    ({"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": ""}}, {"success": True}),
])
def test_execute_keeps_argument_counts(host_log, make_node, flow_vars, local_result):
    node, predecessors = make_node(local_result=local_result), [1, 2]
    before = counts(node, predecessors, flow_vars, *flow_vars.values())
    repeat(lambda: node.execute(predecessors, flow_vars))
    host_log.calls.clear()
    node.calls.clear()
    after = counts(node, predecessors, flow_vars, *flow_vars.values())
    assert after == before


def failing_callback(level, message, **metadata):
    # A leaked exception keeps this frame, and so the arguments, alive.
    raise ValueError("callback failed")


@pytest.mark.parametrize("with_callback", [False, True, "failing"])
def test_hpc_log_keeps_argument_counts(host_log, make_node, with_callback):
    node = make_node()
    level, message, value = "info", "a message", object()
    seen = []
    if with_callback == "failing":
        node.set_log_callback(failing_callback)
    elif with_callback:
        node.set_log_callback(lambda lvl, msg, **meta: seen.clear())
    before = counts(level, message, value, node)
    repeat(lambda: node._hpc_log(level, message, job_id=value))
    repeat(lambda: node._hpc_log(None, message, job_id=value))
    host_log.calls.clear()
    after = counts(level, message, value, node)
    assert after == before
