"""slurmdbd, SLURM's accounting daemon, storing into the bed's MariaDB."""

from __future__ import annotations

import os
import shutil
import socket

from .. import procs
from ..config import render
from . import mariadb


def start(bed, ctl_host: str) -> None:
    bed.daemons.wait_ready("mariadb")
    password = os.urandom(12).hex()
    mariadb.create_database(bed, "slurm_acct_db", "slurm", password)
    (bed.slurmdbd_port,) = procs.free_ports(1)
    sdir = bed.root / "slurm"
    # slurmdbd reads slurmdbd.conf next to $SLURM_CONF; it must be mode 0600
    # and owned by SlurmUser (root here), or slurmdbd refuses to start
    render("slurmdbd.conf", sdir / "slurmdbd.conf", mode=0o600, munge_socket=bed.munge_socket,
           dbd_host=ctl_host, port=bed.slurmdbd_port, logs=bed.root / "logs", dir=sdir,
           db_port=bed.mariadb_port, db_password=password, db_name="slurm_acct_db")
    bed.daemons.spawn("slurmdbd", [shutil.which("slurmdbd") or "/usr/sbin/slurmdbd", "-D"],
                      env=procs.clean_env({"SLURM_CONF": bed.slurm_conf}), own_log=True,
                      ready=lambda: _listens(bed.slurmdbd_port), what="listening port")


def _listens(port: int) -> bool:
    with socket.create_connection(("127.0.0.1", port), timeout=1):
        return True
