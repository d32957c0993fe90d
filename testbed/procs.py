"""Process helpers of the test bed: one reader of /proc, process trees,
signalling and waiting, short commands and their environment."""

from __future__ import annotations

import os
import signal
import socket
import subprocess
import time
from dataclasses import dataclass
from pathlib import Path


@dataclass(frozen=True)
class Proc:
    """One process as /proc showed it at snapshot time."""
    pid: int
    ppid: int
    uid: int
    state: str
    start: str   # start time in clock ticks since boot: pid + start names a process
    comm: str
    cmdline: str
    cwd: str


def read_proc(pid: int) -> Proc | None:
    """The process `pid`, or None when it does not exist (any more)."""
    try:
        with open(f"/proc/{pid}/stat") as fh:
            stat = fh.read()
        uid = os.stat(f"/proc/{pid}").st_uid
        with open(f"/proc/{pid}/cmdline", "rb") as fh:
            cmdline = fh.read().replace(b"\0", b" ").decode("utf-8", "replace")
    except OSError:
        return None
    try:
        cwd = os.readlink(f"/proc/{pid}/cwd")
    except OSError:
        cwd = ""
    # the command name may contain spaces and parentheses; fields follow the last ')'
    fields = stat[stat.rfind(")") + 2:].split()
    return Proc(pid=pid, ppid=int(fields[1]), uid=uid, state=fields[0], start=fields[19],
                comm=stat[stat.find("(") + 1:stat.rfind(")")], cmdline=cmdline,
                cwd=cwd.removesuffix(" (deleted)"))


def snapshot() -> list[Proc]:
    """All processes but this one (vanishing ones are skipped)."""
    me = os.getpid()
    procs = (read_proc(int(n)) for n in os.listdir("/proc") if n.isdigit() and int(n) != me)
    return [p for p in procs if p is not None]


def start_time(pid: int) -> str | None:
    proc = read_proc(pid)
    return proc.start if proc else None


def is_running(pid: int, start: str | None) -> bool:
    """True while the process `pid` that started at `start` runs (a reused
    pid has another start time)."""
    proc = read_proc(pid)
    return proc is not None and proc.start == start and proc.state != "Z"


def descendants(procs: list[Proc], roots: set[int]) -> set[int]:
    children: dict[int, list[int]] = {}
    for p in procs:
        children.setdefault(p.ppid, []).append(p.pid)
    found: set[int] = set()
    stack = list(roots)
    while stack:
        for child in children.get(stack.pop(), ()):
            if child not in found:
                found.add(child)
                stack.append(child)
    return found


def is_under(path: str, directory: str | Path) -> bool:
    directory = str(directory).rstrip("/")
    return path == directory or path.startswith(directory + "/")


def kill(pids, sig=signal.SIGKILL) -> None:
    for pid in pids:
        try:
            os.kill(pid, sig)
        except (ProcessLookupError, PermissionError):
            pass


def wait_gone(pids, timeout: float) -> set[int]:
    """Wait until the pids have exited; return those still alive."""
    pending = set(pids)
    deadline = time.monotonic() + timeout
    while pending:
        for pid in list(pending):
            # reap our own children so they do not linger as zombies
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass
            proc = read_proc(pid)
            if proc is None or proc.state == "Z":
                pending.discard(pid)
        if not pending or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    return pending


def run(argv, **kw) -> subprocess.CompletedProcess:
    """Run a short command; output as text, stderr folded into stdout."""
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.STDOUT)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 60)
    return subprocess.run(argv, **kw)


def clean_env(extra: dict | None = None) -> dict:
    """Environment for daemons and client commands: ours, minus any SLURM
    settings inherited from the caller (e.g. when run inside a real job)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("SLURM_", "SQUEUE_", "SBATCH_", "SACCT_"))}
    if extra:
        env.update(extra)
    return env


def free_ports(count: int) -> list[int]:
    """Distinct free TCP ports on 127.0.0.1 (all sockets held until picked)."""
    socks = []
    try:
        for _ in range(count):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.bind(("127.0.0.1", 0))
            socks.append(s)
        return [s.getsockname()[1] for s in socks]
    finally:
        for s in socks:
            s.close()


def tail(path: Path | str, lines: int = 40) -> str:
    try:
        with open(path, "rb") as fh:
            fh.seek(0, os.SEEK_END)
            fh.seek(max(0, fh.tell() - 16384))
            data = fh.read().decode("utf-8", "replace")
    except OSError as exc:
        return f"(no log: {exc})"
    return "\n".join(data.splitlines()[-lines:])
