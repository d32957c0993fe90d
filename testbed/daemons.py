"""The daemons of one bed: started in the background with their logs in
``logs/``, recorded in the bed's ledger, probed until ready, stopped."""

from __future__ import annotations

import signal
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

from . import procs
from .reaper import Ledger

_TERM_GRACE = 3.0


class BedError(RuntimeError):
    """A service of the bed failed to come up (message carries the log tail)."""


@dataclass
class _Daemon:
    argv: list[str]
    env: dict | None
    log: Path              # what the daemon logs (its own file or its output)
    stderr: Path | None    # its output, when it writes `log` itself
    ready: Callable[[], bool] | None
    what: str              # what `ready` waits for, for the error message
    proc: subprocess.Popen | None = None


class Daemons:
    def __init__(self, root: Path, ledger: Ledger, startup_timeout: float):
        self.root = root
        self.ledger = ledger
        self.startup_timeout = startup_timeout
        self._daemons: dict[str, _Daemon] = {}
        self.extra_logs: dict[str, Path] = {}

    @property
    def logs(self) -> dict[str, str]:
        logs = {name: str(d.log) for name, d in self._daemons.items()}
        logs.update((name, str(path)) for name, path in self.extra_logs.items())
        return logs

    def spawn(self, name: str, argv: list[str], env: dict | None = None, own_log: bool = False,
              ready: Callable[[], bool] | None = None, what: str = "") -> None:
        """Start a daemon.  Its stdout/stderr go to logs/NAME.log, or to
        logs/NAME.stderr when it writes logs/NAME.log itself (own_log).
        `ready` probes whether it serves (`what` names the answer awaited)."""
        logs = self.root / "logs"
        daemon = _Daemon(argv, env, logs / f"{name}.log",
                         logs / f"{name}.stderr" if own_log else None, ready, what)
        self._daemons[name] = daemon
        self._launch(name, daemon)

    def _launch(self, name: str, daemon: _Daemon) -> None:
        with open(daemon.stderr or daemon.log, "ab") as out:
            # own session: a Ctrl-C in the terminal reaches only us, and the
            # bed tears the daemons down in order
            daemon.proc = subprocess.Popen(
                daemon.argv, stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                cwd=self.root, env=daemon.env or procs.clean_env(), start_new_session=True)
        self.ledger.add_process(name, daemon.proc.pid)

    def __contains__(self, name: str) -> bool:
        return name in self._daemons

    def pid(self, name: str) -> int | None:
        """Pid of the daemon while it runs, else None."""
        daemon = self._daemons.get(name)
        if daemon is None or daemon.proc is None or daemon.proc.poll() is not None:
            return None
        return daemon.proc.pid

    def running(self) -> list[int]:
        return [pid for pid in map(self.pid, self._daemons) if pid is not None]

    def _get(self, name: str) -> _Daemon:
        daemon = self._daemons.get(name)
        if daemon is None:
            raise BedError(f"no service {name!r} in this bed")
        return daemon

    def fail(self, name: str, why: str) -> BedError:
        """The error for a daemon that did not come up, with its log tails."""
        text = f"{name} did not come up: {why}"
        daemon = self._daemons.get(name)
        paths = [daemon.log, daemon.stderr] if daemon else [self.extra_logs.get(name)]
        for path in paths:
            if path is not None and path.exists():
                text += f"\n--- tail of {path} ---\n{procs.tail(path)}"
        return BedError(text)

    def wait_ready(self, name: str, timeout: float | None = None) -> None:
        """Wait until the daemon's probe answers; BedError if it exits first
        or does not answer in time."""
        daemon = self._get(name)
        if daemon.ready is None:
            return
        timeout = timeout or self.startup_timeout
        deadline = time.monotonic() + timeout
        last = None
        while True:
            if daemon.proc.poll() is not None:
                raise self.fail(name, f"exited with status {daemon.proc.returncode} before {daemon.what}")
            try:
                if daemon.ready():
                    return
            except Exception as exc:  # noqa: BLE001 - remembered for the report
                last = exc
            if time.monotonic() > deadline:
                extra = f" (last error: {last})" if last else ""
                raise self.fail(name, f"no {daemon.what} within {timeout:.0f} s{extra}")
            time.sleep(0.05)

    def stop(self, names: list[str]) -> None:
        """SIGTERM the named daemons together, SIGKILL those still there
        after a grace period."""
        started = [self._daemons[n].proc for n in names if n in self._daemons]
        alive = [p for p in started if p is not None and p.poll() is None]
        for proc in alive:
            try:
                proc.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + _TERM_GRACE
        for proc in alive:
            try:
                proc.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                proc.kill()
                try:
                    proc.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass

    def restart(self, name: str) -> None:
        """Start a stopped daemon again as it was started; wait until ready."""
        daemon = self._get(name)
        if self.pid(name) is None:
            self._launch(name, daemon)
        self.wait_ready(name)
