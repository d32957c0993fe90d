"""munged with a fresh key; SLURM's daemons and clients authenticate
through its socket."""

from __future__ import annotations

import os
import shutil

from .. import procs


def start(bed) -> None:
    mdir = bed.root / "munge"
    mdir.mkdir(mode=0o755)
    key = mdir / "munge.key"
    fd = os.open(key, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o400)
    with os.fdopen(fd, "wb") as fh:
        fh.write(os.urandom(1024))
    # clients (slurm commands of the SSH user) connect to the socket here
    run = mdir / "run"
    run.mkdir()
    run.chmod(0o755)
    bed.munge_socket = str(run / "munge.socket")
    bed.daemons.spawn("munged", [
        shutil.which("munged") or "/usr/sbin/munged", "--foreground", "--force",
        f"--key-file={key}", f"--socket={bed.munge_socket}",
        f"--pid-file={mdir / 'munged.pid'}", f"--seed-file={mdir / 'munged.seed'}",
        f"--log-file={bed.root / 'logs' / 'munged.log'}",
    ], ready=lambda: _round_trip(bed.munge_socket), what="working munge socket")


def _round_trip(socket_path: str) -> bool:
    if not os.path.exists(socket_path):
        return False
    enc = procs.run(["munge", "-n", "-S", socket_path], timeout=5)
    if enc.returncode != 0:
        return False
    return procs.run(["unmunge", "-S", socket_path], input=enc.stdout, timeout=5).returncode == 0
