"""A private MariaDB on loopback for slurmdbd: its own data directory and
my.cnf (``--defaults-file`` keeps /etc/mysql out); OS root logs in over the
socket."""

from __future__ import annotations

import shutil

from .. import procs
from ..config import render
from ..daemons import BedError


def start(bed) -> None:
    ddir = bed.root / "mariadb"
    (ddir / "data").mkdir(parents=True)
    (ddir / "tmp").mkdir()
    (bed.mariadb_port,) = procs.free_ports(1)
    cnf = render("my.cnf", ddir / "my.cnf", dir=ddir, port=bed.mariadb_port, logs=bed.root / "logs")
    # --defaults-file must be the first option of every MariaDB program
    r = procs.run(["mariadb-install-db", f"--defaults-file={cnf}", "--user=root", "--skip-test-db"])
    if r.returncode != 0:
        raise BedError(f"mariadb-install-db failed: {r.stdout[-2000:]}")
    bed.daemons.spawn("mariadb", [shutil.which("mariadbd") or "/usr/sbin/mariadbd",
                                  f"--defaults-file={cnf}", "--user=root"],
                      own_log=True, ready=lambda: sql(bed, "SELECT 1").returncode == 0,
                      what="answer to SELECT 1")


def sql(bed, statements: str):
    return procs.run(["mariadb", f"--defaults-file={bed.root / 'mariadb' / 'my.cnf'}",
                      "-e", statements], timeout=20)


def create_database(bed, name: str, user: str, password: str) -> None:
    """A database and a user from 127.0.0.1 with all rights on it."""
    r = sql(bed, f"CREATE DATABASE {name}; "
                 f"CREATE USER '{user}'@'127.0.0.1' IDENTIFIED BY '{password}'; "
                 f"GRANT ALL ON {name}.* TO '{user}'@'127.0.0.1';")
    if r.returncode != 0:
        raise bed.daemons.fail("mariadb", f"creating database {name} failed: {r.stdout}")
