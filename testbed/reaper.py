"""What a bed started, and the reaper that ends it.

Every bed keeps a ledger in its directory (``/tmp/zentrel-bed-XXXX``): the
owner (pid and start time of the process that runs the bed), each daemon it
started (name, pid, start time) and each directory it made outside its root
(the job directory in the SSH user's home).  The processes of a bed are the
daemons of its ledger that still run with their recorded start time, every
process whose working directory lies in one of the bed's directories (job
steps: slurmstepd leaves slurmd's process tree, ignores SIGTERM and clears
its environment, but keeps slurmd's working directory, the bed's root), and
all descendants of these.  Nothing is ever chosen by name or by user.
"""

from __future__ import annotations

import json
import os
import pwd
import shutil
import tempfile
import time
from pathlib import Path

from . import procs

BED_PREFIX = "zentrel-bed-"
# ZENTREL_BED_USER lets beds of separate checkouts run side by side, each
# with its own login user (keys and ~/.ssh/environment are per user).
DEFAULT_USER = os.environ.get("ZENTREL_BED_USER", "zentrelbed")
_OWNER = "owner.json"
_LEDGER = "ledger.jsonl"
# file in a bed's job directory that names the bed's root
ROOT_MARKER = ".zentrel-bed-root"
# a bed directory without an owner file is being set up for this long
_SETUP_GRACE = 60.0


def _younger_than_setup(path: Path) -> bool:
    try:
        return time.time() - path.stat().st_mtime < _SETUP_GRACE
    except OSError:
        return False


class Ledger:
    """The record of one bed, kept in its root directory."""

    def __init__(self, root: Path):
        self.root = Path(root)

    def claim(self) -> None:
        """Record the calling process as the bed's owner."""
        pid = os.getpid()
        tmp = self.root / (_OWNER + ".tmp")
        tmp.write_text(json.dumps({"pid": pid, "start": procs.start_time(pid)}))
        tmp.replace(self.root / _OWNER)

    def owner(self) -> dict | None:
        try:
            return json.loads((self.root / _OWNER).read_text())
        except (OSError, ValueError):
            return None

    def owner_alive(self) -> bool:
        owner = self.owner()
        if owner is None:
            # not claimed yet: a bed in its first moments, or a broken one
            return _younger_than_setup(self.root)
        return isinstance(owner.get("pid"), int) and procs.is_running(owner["pid"], owner.get("start"))

    def _append(self, entry: dict) -> None:
        with open(self.root / _LEDGER, "a") as fh:
            fh.write(json.dumps(entry) + "\n")

    def add_process(self, name: str, pid: int) -> None:
        self._append({"process": name, "pid": pid, "start": procs.start_time(pid)})

    def add_dir(self, path: str | Path) -> None:
        self._append({"dir": str(path)})

    def _entries(self) -> list[dict]:
        try:
            lines = (self.root / _LEDGER).read_text().splitlines()
        except OSError:
            return []
        entries = []
        for line in lines:
            try:
                entries.append(json.loads(line))
            except ValueError:
                pass  # a line cut short by a killed owner
        return entries

    def processes(self) -> list[tuple[int, str | None]]:
        return [(e["pid"], e.get("start")) for e in self._entries() if isinstance(e.get("pid"), int)]

    def dirs(self) -> list[str]:
        """The bed's own directories: its root and those it recorded (only
        bed-named ones, so a damaged ledger cannot point anywhere else)."""
        extra = [e["dir"] for e in self._entries() if isinstance(e.get("dir"), str)]
        return [str(self.root)] + [d for d in extra if Path(d).name.startswith(BED_PREFIX)]


def bed_processes(started, dirs, snapshot: list[procs.Proc] | None = None) -> list[procs.Proc]:
    """The processes of a bed: those it `started` ((pid, start time) pairs)
    that still run, those working in one of its `dirs`, and all their
    descendants.  Never the calling process."""
    snapshot = procs.snapshot() if snapshot is None else snapshot
    by_pid = {p.pid: p for p in snapshot}
    roots = {pid for pid, start in started if pid in by_pid and by_pid[pid].start == start}
    roots |= {p.pid for p in snapshot if any(procs.is_under(p.cwd, d) for d in dirs)}
    found = roots | procs.descendants(snapshot, roots)
    found.discard(os.getpid())
    return [by_pid[pid] for pid in sorted(found)]


def end(victims: list[procs.Proc], timeout: float = 3.0) -> list[int]:
    """SIGKILL each process that is still the one seen (same pid and start
    time) and wait for them; return their pids."""
    current = [p.pid for p in victims if procs.is_running(p.pid, p.start)]
    procs.kill(current)
    procs.wait_gone(current, timeout)
    return current


def bed_roots() -> list[Path]:
    base = Path(tempfile.gettempdir())
    return sorted(p for p in base.glob(BED_PREFIX + "*") if p.is_dir())


def live_beds() -> list[Path]:
    """Bed directories whose owning process is still running."""
    return [r for r in bed_roots() if Ledger(r).owner_alive()]


def _orphan_work_dirs(user: str) -> list[str]:
    """Bed directories in the user's home whose bed root is gone."""
    try:
        home = Path(pwd.getpwnam(user).pw_dir)
    except KeyError:
        return []
    orphans = []
    for d in home.glob(BED_PREFIX + "*"):
        try:
            root = Path((d / ROOT_MARKER).read_text().strip())
        except OSError:
            if _younger_than_setup(d):
                continue  # its bed is writing the marker right now
            root = Path(tempfile.gettempdir()) / d.name
        if d.is_dir() and root.name == d.name and not root.exists():
            orphans.append(str(d))
    return orphans


def reap_leftovers(user: str = DEFAULT_USER, exclude: Path | None = None) -> list[int]:
    """End the processes and remove the directories of beds whose owner is
    gone (a killed run); live beds, `exclude` and every process that no bed
    started are left alone.  Returns the pids that were killed."""
    dead = [Ledger(r) for r in bed_roots() if r != exclude and not Ledger(r).owner_alive()]
    orphans = _orphan_work_dirs(user)
    snapshot = procs.snapshot()
    victims: dict[int, procs.Proc] = {}
    for ledger in dead:
        victims.update((p.pid, p) for p in bed_processes(ledger.processes(), ledger.dirs(), snapshot))
    victims.update((p.pid, p) for p in bed_processes([], orphans, snapshot))
    killed = end(list(victims.values()), timeout=2.0)
    for ledger in dead:
        for d in reversed(ledger.dirs()):
            shutil.rmtree(d, ignore_errors=True)
    for d in orphans:
        shutil.rmtree(d, ignore_errors=True)
    return killed
