"""execute(): diagnostic lines, both option sources, the two branches and failures."""
import json
import math
import types

import pytest

from zentrel_core.node import NodeException
from zentrel_core.parameters import StringParameter

PROFILE_REQUIRED = ("HPC Profile is required for remote execution. "
                    "Configure profiles in Settings \u2192 HPC Profiles.")
SCRIPT_REQUIRED = ("SLURM job script is required for remote execution. "
                   "Paste or load your SLURM script with {{VARIABLE}} placeholders.")


class Wrapped:
    """A parameter object as the engine wraps values: get_value() answers."""

    def __init__(self, value):
        self.value = value

    def get_value(self):
        return self.value

    def __str__(self):
        return f"Wrapped({self.value!r})"


REMOTE_RESULT = {"success": True, "remote_job_status": "submitted"}


@pytest.fixture
def node(make_node):
    return make_node(node_key="recording_node", remote_result=REMOTE_RESULT)


def remote_options(**overrides):
    options = {"execution_mode": "remote", "hpc_profile_id": "cluster-a", "slurm_script": "#!/bin/bash\necho hi"}
    options.update(overrides)
    return options


def info_lines(host_log):
    assert all(kwargs == {"level": "info"} for _, kwargs in host_log.calls)
    return host_log.messages


def test_without_options_runs_locally_with_three_diagnostic_lines(node, host_log):
    result = node.execute([1], {})
    assert json.loads(result) == {"success": True, "message": "Completed"}
    assert node.calls == [("run_local", [1], {})]
    assert info_lines(host_log) == [
        "[ClusterlaneBase] flow_vars keys: []",
        "[ClusterlaneBase] _hpc_options_raw type: dict, value: {}",
        "[ClusterlaneBase] Final hpc_options type: dict, is dict: True, bool: False",
    ]


def test_options_dict_wins_over_legacy_values(node, host_log):
    flow_vars = {"_hpc_options": {"hpc_profile_id": "p"}, "execution_mode": Wrapped("remote")}
    node.execute([], flow_vars)
    assert node.calls[0][0] == "run_local"
    assert host_log.messages[-1] == "[ClusterlaneBase] Using HPC options: mode=local, profile_id=p, has_script=False"


def test_cluster_branch_with_options_dict(node, host_log):
    options = remote_options()
    result = node.execute([], {"_hpc_options": options})
    assert json.loads(result) == REMOTE_RESULT
    assert node.calls == [("_run_remote", [], {"_hpc_options": options}, options)]
    assert node.calls[0][3] is options
    assert node._slurm_script == options["slurm_script"]
    assert host_log.messages == [
        "[ClusterlaneBase] flow_vars keys: ['_hpc_options']",
        f"[ClusterlaneBase] _hpc_options_raw type: dict, value: {options}",
        "[ClusterlaneBase] Final hpc_options type: dict, is dict: True, bool: True",
        "[ClusterlaneBase] Using HPC options: mode=remote, profile_id=cluster-a, has_script=True",
    ]


def test_wrapped_options_are_unwrapped(node, host_log):
    options = remote_options()
    node.execute([], {"_hpc_options": Wrapped(options)})
    assert node.calls[0][3] is options
    assert host_log.messages[1] == f"[ClusterlaneBase] _hpc_options_raw type: Wrapped, value: Wrapped({options!r})"
    assert host_log.messages[2] == f"[ClusterlaneBase] Unwrapped Parameter, hpc_options: {options}"


def test_legacy_source_takes_the_cluster_branch_with_the_empty_options(node, host_log):
    flow_vars = {"_hpc_options": {}, "execution_mode": StringParameter(value="remote"),
                 "hpc_profile": StringParameter(value="legacy"), "slurm_script": StringParameter(value="#!/bin/sh")}
    node.execute([], flow_vars)
    assert node.calls[0][0] == "_run_remote" and node.calls[0][3] == {}
    assert node._slurm_script == "#!/bin/sh"
    assert not any("Using HPC options" in m for m in host_log.messages)


def test_non_dict_options_fall_back_to_legacy(node, host_log):
    node.execute([], {"_hpc_options": "remote"})
    assert node.calls[0][0] == "run_local"
    assert host_log.messages[-1] == "[ClusterlaneBase] Final hpc_options type: str, is dict: False, bool: N/A"


@pytest.mark.parametrize("mode", ["Local", "LOCAL", "remote", "slurm", None])
def test_every_mode_but_exactly_local_is_the_cluster_branch(node, host_log, mode):
    node.execute([], {"_hpc_options": remote_options(execution_mode=mode)})
    assert node.calls[0][0] == "_run_remote"


@pytest.mark.parametrize("options,message", [
    (remote_options(hpc_profile_id=""), PROFILE_REQUIRED),
    (remote_options(hpc_profile_id="", slurm_script=""), PROFILE_REQUIRED),
    (remote_options(slurm_script=""), SCRIPT_REQUIRED),
])
def test_configuration_errors(node, host_log, options, message):
    with pytest.raises(NodeException) as info:
        node.execute([], {"_hpc_options": options})
    assert info.value.args == ("configuration", message)
    assert node.calls == []
    assert not any(m.startswith("Error in") for m in host_log.messages)


@pytest.mark.parametrize("result,text", [
    ("already json", "already json"),
    ({"message": "Gr\u00fc\u00dfe", "n": [1, 2.5, None, True]},
     '{"message": "Gr\\u00fc\\u00dfe", "n": [1, 2.5, null, true]}'),
    ({"x": math.nan, "y": -math.inf}, '{"x": NaN, "y": -Infinity}'),
])
def test_local_result_serialisation(node, host_log, result, text):
    node.local_result = result
    assert node.execute([], {}) == text


@pytest.mark.parametrize("failure,text", [
    (ValueError("bad input"), "bad input"),
    (KeyError("k"), "'k'"),
    (EOFError(), "EOFError"),
])
def test_local_failure_becomes_node_exception(node, host_log, failure, text):
    node.local_result = failure
    with pytest.raises(NodeException) as info:
        node.execute([], {})
    assert info.value.args == ("recording_node", text)
    assert info.value.__context__ is failure
    assert host_log.calls[-1] == ((f"Error in recording_node: {text}",), {"level": "error"})


def test_node_exception_passes_unchanged(node, host_log):
    failure = NodeException("custom", "stop")
    node.local_result = failure
    with pytest.raises(NodeException) as info:
        node.execute([], {})
    assert info.value is failure
    assert not any(m.startswith("Error in") for m in host_log.messages)


def test_interrupt_propagates(node, host_log):
    node.local_result = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        node.execute([], {})


@pytest.mark.parametrize("flow_vars,text_part", [
    (None, "keys"),
    ({"execution_mode": "remote"}, "get_value"),
])
def test_broken_flow_vars_become_node_exception(node, host_log, flow_vars, text_part):
    with pytest.raises(NodeException) as info:
        node.execute([], flow_vars)
    assert info.value.args[0] == "recording_node" and text_part in info.value.args[1]


def test_unserialisable_result(node, host_log):
    node.local_result = {"s": {1, 2}}
    with pytest.raises(NodeException) as info:
        node.execute([], {})
    assert info.value.args == ("recording_node", "Object of type set is not JSON serializable")


def test_cluster_branch_argument_check_becomes_node_exception(make_node, host_log):
    with pytest.raises(NodeException) as info:
        make_node(node_key="plain").execute((), {"_hpc_options": remote_options()})
    assert info.value.args == (
        "plain", "Argument 'predecessor_data' has incorrect type (expected list, got tuple)")


def test_failing_error_line_propagates_instead(node, monkeypatch):
    import zentrel_core.clusterlane as clusterlane

    def logger(message, level="info"):
        if level == "error":
            raise OSError("log closed")

    monkeypatch.setattr(clusterlane, "log_message", logger)
    node.local_result = ValueError("x")
    with pytest.raises(OSError, match="log closed"):
        node.execute([], {})


class OpaqueWrapper(Wrapped):
    def __str__(self):
        return "<parameter>"


@pytest.mark.parametrize("wrap,line", [(lambda o: o, 1), (OpaqueWrapper, 2)])
def test_passphrase_is_masked_in_diagnostics_only(node, host_log, wrap, line):
    profile = {"host": "h", "keyPassphrase": "s3cret", "keyFilename": "~/.ssh/id"}
    options = remote_options(hpc_profile=profile)
    node.execute([], {"_hpc_options": wrap(options)})
    assert not any("s3cret" in m for m in host_log.messages)
    assert "'keyPassphrase': '***'" in host_log.messages[line]
    assert profile["keyPassphrase"] == "s3cret"
    assert node.calls[0][3]["hpc_profile"] is profile


@pytest.mark.parametrize("options", [
    Wrapped(remote_options(hpc_profile={"host": "h", "keyPassphrase": "it's \\ \"q\""})),  # shown by str()
    remote_options(hpc_profile=types.MappingProxyType({"host": "h", "keyPassphrase": "s3cret"})),
    remote_options(hpc_profile={"host": "h", "jump": {"keyPassphrase": "s3cret"}}),
])
def test_passphrase_is_masked_wherever_the_text_shows_it(node, host_log, options):
    node.execute([], {"_hpc_options": options})
    assert not any("s3cret" in m or "it's" in m for m in host_log.messages)
    assert "'keyPassphrase': '***'" in host_log.messages[1]


def test_get_hpc_profile_always_raises(node):
    with pytest.raises(NodeException) as info:
        node._get_hpc_profile("gpu")
    assert info.value.args == (
        "configuration",
        "HPC profile 'gpu' not found. HPC profile retrieval is not yet implemented. "
        "See dev-notes/slurm-execution-strategy-redesign.md for planned implementation.")


def test_error_line_is_written_while_the_failure_is_handled(node, monkeypatch):
    import sys

    import zentrel_core.clusterlane as clusterlane

    seen = []

    def logger(message, level="info"):
        if level == "error":
            seen.append(sys.exception())
            raise OSError("log closed")

    monkeypatch.setattr(clusterlane, "log_message", logger)
    failure = ValueError("x")
    node.local_result = failure
    with pytest.raises(OSError) as info:
        node.execute([], {})
    assert seen == [failure]
    assert info.value.__context__ is failure
    assert sys.exception() is None
