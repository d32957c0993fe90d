"""Odd but legal input from the caller: execute() ends at once with a
NodeException (or its normal result), never with a raw error of the
caller's objects, never in an endless walk, and shows no passphrase in any
line; node IDs that cannot name a file are refused before anything is made."""
import os
import subprocess
import sys
import textwrap

import pytest

from zentrel_core.node import NodeException

SECRET = "s3cr3t-passphrase"


class Boom(Exception):
    pass


class RaisingValue:
    """A parameter object whose get_value() raises."""

    def get_value(self):
        raise LookupError("no value")


class BadKeys(dict):
    """A flow variable whose keys() raises (or returns a non-iterable)."""

    def __init__(self, keys_result=None):
        super().__init__(keyPassphrase=SECRET)
        self.keys_result = keys_result

    def keys(self):
        if self.keys_result is None:
            raise RuntimeError("keys failed")
        return self.keys_result


class BadItems(dict):
    def __getitem__(self, key):
        raise RuntimeError("getitem failed")


class BadAttr:
    def __getattr__(self, name):
        raise TypeError("getattr failed")


class BadList(list):
    def __iter__(self):
        raise RuntimeError("iter failed")


def secret_with(**methods):
    """A passphrase object whose special methods misbehave as given."""
    def raises(self, *args):
        raise RuntimeError("no")
    namespace = {name: (raises if how == "raise" else (lambda self, v=how: v)) for name, how in methods.items()}
    return type("OddSecret", (), namespace)()


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("str failed")


class NonTextStr(Exception):
    def __str__(self):
        return 42


def remote(profile, **options):
    return {"execution_mode": "remote", "hpc_profile_id": "p", "slurm_script": "#!/bin/bash\n",
            "hpc_profile": profile, **options}


# (flow_vars, what run_local does) -> NodeException
HOSTILE = {
    "get_value raises": ({"execution_mode": RaisingValue()}, None),
    "keys() raises": ({"x": BadKeys()}, Boom("run failed")),
    "keys() not iterable": ({"x": BadKeys(keys_result=42)}, Boom("run failed")),
    "profile __getitem__ raises": ({"_hpc_options": remote(BadItems(keyPassphrase=SECRET))}, None),
    "__getattr__ raises TypeError": ({"x": BadAttr()}, Boom("run failed")),
    "options __getattr__ raises TypeError": ({"_hpc_options": BadAttr()}, None),
    "passphrase __bool__ raises": ({"_hpc_options": {"p": {"keyPassphrase": secret_with(__bool__="raise")}}},
                                   Boom("run failed")),
    "passphrase __repr__ raises": ({"_hpc_options": {"keyPassphrase": secret_with(__repr__="raise")}}, None),
    "passphrase __repr__ not text": ({"o": {"keyPassphrase": secret_with(__repr__=42)}}, Boom("run failed")),
    "passphrase __str__ raises": ({"o": {"keyPassphrase": secret_with(__str__="raise")}}, Boom("run failed")),
    "list __iter__ raises": ({"l": BadList([{"keyPassphrase": SECRET}])}, Boom("run failed")),
    "exception __str__ raises": ({}, BadStr()),
    "exception __str__ not text": ({}, NonTextStr()),
}


@pytest.mark.parametrize("flow_vars, raised", HOSTILE.values(), ids=HOSTILE.keys())
def test_hostile_input_gives_node_exception_without_secret(make_node, host_log, flow_vars, raised):
    node = make_node(node_key="k", **({} if raised is None else {"local_result": raised}))
    with pytest.raises(NodeException) as caught:
        node.execute([], flow_vars)
    assert type(caught.value) is NodeException
    texts = host_log.messages + [str(caught.value)]
    assert not any(SECRET in text for text in texts)


@pytest.mark.parametrize("raised, text", [(BadStr(), "BadStr"), (NonTextStr(), "NonTextStr"), (ValueError(), "ValueError")])
def test_exception_without_text_is_named_by_its_type(make_node, host_log, raised, text):
    node = make_node(node_key="k", local_result=raised)
    with pytest.raises(NodeException) as caught:
        node.execute([], {})
    assert caught.value.args == ("k", text)
    assert host_log.messages[-1] == f"Error in k: {text}"


def test_node_key_without_text_is_named_by_its_type(make_node, host_log):
    class Key:
        def __str__(self):
            raise RuntimeError("no text")
    key = Key()
    node = make_node(local_result=ValueError("bad"))
    node.node_key = key
    with pytest.raises(NodeException) as caught:
        node.execute([], {})
    assert caught.value.args == (key, "bad")
    assert host_log.messages[-1] == "Error in Key: bad"


def test_passphrase_deep_in_options_is_masked(make_node, host_log):
    deep = {"keyPassphrase": SECRET}
    for level in range(40):  # dicts and lists, 40 levels
        deep = {"next": deep} if level % 2 else [deep]
    node = make_node(local_result=ValueError(f"failed near {SECRET}"))
    with pytest.raises(NodeException) as caught:
        node.execute([], {"_hpc_options": {"execution_mode": "local", "deep": deep}})
    assert "***" in caught.value.args[1] and SECRET not in caught.value.args[1]
    assert not any(SECRET in line for line in host_log.messages)
    assert any("'***'" in line for line in host_log.messages)


CYCLES = """
    import json, sys
    import zentrel_core.clusterlane as clusterlane
    from nodes import SampleNode
    from zentrel_core.node import NodeException
    lines = []
    clusterlane.log_message = lambda text, **kw: lines.append(text)
    o = {"execution_mode": "local", "keyPassphrase": "SECRET"}
    o["a"] = o; o["b"] = o
    l = [{"keyPassphrase": "SECRET"}]; l += [l, l]
    for flow_vars in ({"_hpc_options": o}, {"x": l, "y": [[l, l], l]}):
        try:
            SampleNode("n1", local_result=ValueError("SECRET failed")).execute([], flow_vars)
        except NodeException as e:
            lines.append(str(e))
    print(json.dumps(lines))
"""


def test_cyclic_input_ends_and_is_masked():
    env = dict(os.environ, PYTHONPATH=os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(CYCLES)], capture_output=True, text=True,
                         timeout=60, env=env, check=True).stdout
    assert "SECRET" not in out
    assert out.count("Error in SampleNode: *** failed") == 2


ID_REFUSED = ("cannot name a job directory and state file: it must not contain '/', line breaks or NUL characters "
              "and must be at most 232 bytes long")


@pytest.mark.parametrize("node_id", ["x/../../../esc", "a\nb", "a\rb", "a\0b", "é" * 117, "n" * 233])
def test_node_id_that_cannot_name_a_file_is_refused_first(make_node, tmp_path, node_id):
    node = make_node(node_id=node_id, working_path=tmp_path)
    profile = {"host": "127.0.0.1", "username": "nobody", "remoteWorkDir": "~/w", "port": 1}
    with pytest.raises(NodeException) as caught:
        node._run_remote([], {}, {"hpc_profile": profile, "slurm_script": "#!/bin/bash\n"})
    assert caught.value.args == ("configuration", f"Node ID {node_id!r} {ID_REFUSED}")
    assert os.listdir(tmp_path) == []


def test_longest_node_id_passes_the_check(make_node, tmp_path):
    node = make_node(node_id="n" * 232, working_path=tmp_path)
    profile = {"host": "127.0.0.1", "username": "nobody", "remoteWorkDir": "~/w", "port": 1, "ioTimeout": 2}
    with pytest.raises(NodeException) as caught:
        node._run_remote([], {}, {"hpc_profile": profile, "slurm_script": "#!/bin/bash\n"})
    assert caught.value.args[0] != "configuration"  # got as far as connecting (port 1 refuses)


@pytest.mark.bed
def test_node_id_with_line_break_adopts_no_other_nodes_job(bed, work, make_node, private_home):
    from test_cluster_e2e import execute, hpc_flow_vars, node_options

    fv = hpc_flow_vars(bed, "#!/bin/bash\nsleep 30\n")
    job_id = execute(make_node(node_id="nl12808", **node_options(work)), fv)["remote_job_id"]
    try:
        with pytest.raises(NodeException) as caught:
            make_node(node_id="nl12808\nX", **node_options(work)).execute([], fv)
        assert caught.value.args == ("configuration", f"Node ID 'nl12808\\nX' {ID_REFUSED}")
        assert sorted(p.name for p in work.iterdir()) == [".zentrel_hpc_nl12808.json", ".zentrel_hpc_nl12808.json.lock",
                                                          "in.txt"]
    finally:
        bed.run_as_user(f"scancel {job_id}")
