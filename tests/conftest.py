"""Shared fixtures: the engine stand-in on sys.path, recorders for the host
log and the factory of test nodes."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STANDIN = os.path.join(ROOT, "standin")
if STANDIN not in sys.path:
    sys.path.insert(0, STANDIN)


class Recorder:
    """Callable that records its calls as (args, kwargs) pairs."""

    def __init__(self, result=None):
        self.calls = []
        self.result = result

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.result

    @property
    def messages(self):
        return [args[0] for args, _ in self.calls]


@pytest.fixture
def host_log(monkeypatch):
    """Replaces clusterlane's log_message with a recorder."""
    import zentrel_core.clusterlane as clusterlane

    recorder = Recorder()
    monkeypatch.setattr(clusterlane, "log_message", recorder)
    return recorder


@pytest.fixture
def recorder():
    return Recorder


@pytest.fixture
def make_node():
    """Builds a test node: make_node(node_id=..., working_path=..., inputs=...,
    outputs=..., categories=..., template_vars=..., local_result=...,
    remote_result=..., result_data=...) gives a nodes.SampleNode;
    make_node(scripted=True, previous=..., summary=..., ...) a
    nodes.ScriptedNode for runs against a scripted SSH client."""
    from nodes import SampleNode, ScriptedNode

    def make(*, scripted=False, **options):
        return (ScriptedNode if scripted else SampleNode)(**options)

    return make


@pytest.fixture(autouse=True)
def _cwd_in_tmp(tmp_path, monkeypatch):
    """Nodes without a working path keep their state and lock files in the
    current directory: each test gets its own."""
    monkeypatch.chdir(tmp_path)


# ---- the cluster tests (marked `bed`) -----------------------------------------

@pytest.fixture(scope="module")
def bed():
    """sshd and SLURM of the test bed, shared by the tests of one module (a
    module that needs other settings defines its own)."""
    from testbed import Testbed

    with Testbed(redis=False) as b:
        yield b


@pytest.fixture
def private_home(tmp_path, monkeypatch):
    """A home of our own: known_hosts under our control."""
    home = tmp_path / "home"
    (home / ".ssh").mkdir(parents=True)
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def work(tmp_path):
    """A node's working directory holding one input file."""
    d = tmp_path / "work"
    d.mkdir()
    (d / "in.txt").write_text("hello cluster\n")
    return d
