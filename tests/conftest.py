"""Shared fixtures (recorders for the host log, the factory of test nodes,
the test bed) and the parallel run of the suite.

The engine stand-in is installed next to the modules (tools/setup.sh), so
nothing here touches sys.path.

The suite runs on pytest-xdist workers (`-n 4 --dist loadfile
--no-loadscope-reorder`, set in pyproject.toml):

- A module's tests run on one worker, one after the other, so a
  module-scoped bed starts once per module.
- Each worker brings its beds up as a login user of its own
  (`$ZENTREL_BED_USER-gwN`): beds of one user would share its home and
  its ~/.ssh.
- Modules with a test marked `clock` (one that waits a long time on real
  clocks: SLURM time limits, a controller restart) are handed out first,
  that test first within its module, then the modules without bed tests,
  then the other bed modules; so the long waits overlap with the rest.
- While no test has finished for 20 s, a line names the tests still running
  (in parallel runs).

A new bed-test module: `pytestmark = [pytest.mark.bed, ...]` and the `bed`
fixture below (one bed per module); a module that needs other bed settings
defines its own module-scoped fixture named `bed` (see test_accounting.py).
A test that waits on real clocks for more than about 20 s gets
`pytest.mark.clock`, follows its jobs together rather than one after the
other (test_accounting.py follows four jobs at once), and shares its module
with at least two other tests: xdist queues the next module behind a worker
once two or fewer of its tests are pending, and that module would wait for
the whole clock.
"""
import atexit
import os
import shutil
import signal
import tempfile
import threading
import time
import uuid

import pytest

# before any test module imports testbed, whose default user this sets
_WORKER = os.environ.get("PYTEST_XDIST_WORKER")

# The tests run as a user of their own: a home whose ~/.ssh/known_hosts and
# ~/.ssh/config start empty.  The beds' host keys are new on every bring-up,
# so pinning them into the real ~/.ssh/known_hosts would leave a stale line
# per bed (and a user's ssh config could reroute the tests' connections).
# Subprocesses (the demo's driver) inherit it.
_HOME = tempfile.mkdtemp(prefix="zentrel-test-home-")
os.mkdir(os.path.join(_HOME, ".ssh"), 0o700)
os.environ["HOME"] = _HOME
atexit.register(shutil.rmtree, _HOME, True)
if _WORKER:
    os.environ["ZENTREL_BED_USER"] = f"{os.environ.get('ZENTREL_BED_USER', 'zentrelbed')}-{_WORKER}"


def pytest_collection_modifyitems(config, items):
    """Modules with a `clock` test first (that test first), then the modules
    without bed tests, then the other bed modules (each module's tests stay
    together and in order otherwise); the same order on every worker."""
    modules = {}
    for item in items:
        modules.setdefault(item.module.__name__, []).append(item)

    def module_rank(name):
        tests = modules[name]
        if any(t.get_closest_marker("clock") for t in tests):
            return 0
        return 2 if any(t.get_closest_marker("bed") for t in tests) else 1

    order = {name: (module_rank(name), n) for n, name in enumerate(modules)}
    position = {id(item): n for n, item in enumerate(items)}
    items.sort(key=lambda t: (order[t.module.__name__], t.get_closest_marker("clock") is None, position[id(t)]))


class Heartbeat:
    """Writes a line naming the running tests whenever none has finished for
    `quiet` seconds (long clock-bound tests would otherwise leave the
    terminal silent for minutes)."""

    def __init__(self, reporter, quiet=20.0):
        self.reporter, self.quiet = reporter, quiet
        self.running = {}
        self.last = time.monotonic()
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._run, name="heartbeat", daemon=True)

    def pytest_runtest_logstart(self, nodeid):
        with self.lock:
            self.running[nodeid] = time.monotonic()

    def pytest_runtest_logfinish(self, nodeid):
        with self.lock:
            self.running.pop(nodeid, None)
            self.last = time.monotonic()

    def _run(self):
        while not self.stop.wait(1.0):
            now = time.monotonic()
            with self.lock:
                if now - self.last < self.quiet or not self.running:
                    continue
                self.last = now
                running = ", ".join(f"{nodeid} ({now - started:.0f} s)"
                                    for nodeid, started in sorted(self.running.items(), key=lambda i: i[1]))
            # a line of its own, also in the middle of a row of dots
            self.reporter.write(f"\n    ... still running: {running}\n")


@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    # only xdist's controller: it runs no test itself, so no capture of a
    # test's output swallows the line (in a run with -n 0 it would)
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None and config.pluginmanager.hasplugin("dsession"):
        heartbeat = Heartbeat(reporter)
        config.pluginmanager.register(heartbeat, "heartbeat")
        heartbeat.thread.start()
        config.add_cleanup(heartbeat.stop.set)


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
def sessions(bed):
    """Signals the sshd processes of the open connections; every frozen one
    is let go again at the end of the test."""
    frozen = []

    def signal_all(sig):
        from testbed import procs

        pids = bed.sshd_sessions()
        assert pids, "no open SSH connection to signal"
        procs.kill(pids, sig)  # a session's child may end with the parent signalled before it
        if sig == signal.SIGSTOP:
            frozen.extend(pids)

    yield signal_all
    for pid in frozen:
        try:
            os.kill(pid, signal.SIGCONT)
        except ProcessLookupError:
            pass


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


# The bed user's ~/.bashrc (which bash reads for a command sent over SSH)
# puts every directory ~/.zentrel-test-bin-* first on PATH; without such a
# directory it does nothing.
PATH_HOOK = 'for d in "$HOME"/.zentrel-test-bin-*; do [ -d "$d" ] && PATH="$d:$PATH"; done  # zentrel tests'


@pytest.fixture
def wrap_command(bed):
    """wrap_command(name, script): a script run instead of the SLURM command
    `name` in the SSH sessions of this test's nodes (it gets the real
    command's path as $REAL); removed at the end of the test.  The scripts
    act only on this test's jobs and hand everything else to $REAL."""
    bed.run_as_user(f"grep -qF '# zentrel tests' ~/.bashrc || sed -i '1i {PATH_HOOK}' ~/.bashrc", check=True)
    directory = os.path.join(bed.remote_home, f".zentrel-test-bin-{uuid.uuid4().hex[:8]}")

    def wrap(name, script):
        real = bed.run_as_user(f"command -v {name}", check=True).stdout.strip()
        bed.run_as_user(f"mkdir -p {directory} && cat > {directory}/{name} && chmod 755 {directory}/{name}",
                        input=f"#!/bin/bash\nREAL={real}\n{script}\n", check=True)

    yield wrap
    shutil.rmtree(directory, ignore_errors=True)
