"""Calls leave the reference counts of their arguments as they found them."""
import sys

import pytest

from zentrel_core.clusterlane import ClusterlaneBase
from zentrel_core.node import NodeException

CALLS = 2000


class LocalNode(ClusterlaneBase):
    def get_input_files(self, flow_vars):
        return []

    def get_output_files(self, flow_vars):
        return []

    def get_template_variables(self, flow_vars):
        return {}

    def run_local(self, predecessor_data, flow_vars):
        if "fail" in flow_vars:
            raise ValueError("failed")
        return {"success": True}


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


@pytest.mark.parametrize("flow_vars", [
    {},
    {"_hpc_options": {"execution_mode": "local", "hpc_profile_id": "x"}},
    {"fail": True},
    {"_hpc_options": {"execution_mode": "remote", "hpc_profile_id": ""}},
])
def test_execute_keeps_argument_counts(host_log, flow_vars):
    node, predecessors = LocalNode("n"), [1, 2]
    before = counts(node, predecessors, flow_vars, *flow_vars.values())
    repeat(lambda: node.execute(predecessors, flow_vars))
    host_log.calls.clear()
    after = counts(node, predecessors, flow_vars, *flow_vars.values())
    assert after == before


def failing_callback(level, message, **metadata):
    # A leaked exception keeps this frame, and so the arguments, alive.
    raise ValueError("callback failed")


@pytest.mark.parametrize("with_callback", [False, True, "failing"])
def test_hpc_log_keeps_argument_counts(host_log, with_callback):
    node = LocalNode("n")
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
