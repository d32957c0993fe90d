"""Single-node SLURM: slurmctld and slurmd as root, the node described by
`slurmd -C`, jobs recorded by slurmdbd when the bed has accounting and in a
completion file (`sacct -c`) always."""

from __future__ import annotations

import os
import pwd
from pathlib import Path

from .. import procs
from ..config import render
from ..daemons import BedError
from . import slurmdbd

CLUSTER = "zentrelbed"
PARTITION = "debug"

_ACCOUNTING = """\
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=127.0.0.1
AccountingStoragePort={port}
AccountingStoragePass={munge_socket}
JobAcctGatherType=jobacct_gather/linux"""
# clients talking to slurmdbd ignore AuthInfo: AccountingStoragePass names
# the munge socket for them
_NO_ACCOUNTING = """\
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none"""


def start(bed) -> None:
    """Start slurmdbd (with accounting), slurmctld and slurmd; munged (and
    MariaDB) are started already."""
    bed.daemons.wait_ready("munged", timeout=10)
    sdir = Path(bed.slurm_conf).parent
    (sdir / "state").mkdir(parents=True)
    (sdir / "spool").mkdir()
    for d in (sdir, sdir / "state", sdir / "spool"):
        d.chmod(0o755)
    r = procs.run(["slurmd", "-C"])
    node_line = r.stdout.splitlines()[0] if r.returncode == 0 and r.stdout else ""
    if not node_line.startswith("NodeName="):
        raise BedError(f"slurmd -C gave no NodeName line: {r.stdout}")
    bed.slurm_node = node_line.split()[0].split("=", 1)[1]
    ctl_host = procs.run(["hostname", "-s"]).stdout.strip() or bed.slurm_node
    bed.jobcomp_path = str(sdir / "jobcomp.txt")
    accounting = _NO_ACCOUNTING
    if bed.want_accounting:
        slurmdbd.start(bed, ctl_host)
        bed.daemons.wait_ready("slurmdbd")
        accounting = _ACCOUNTING.format(port=bed.slurmdbd_port, munge_socket=bed.munge_socket)
    bed.slurmctld_port, bed.slurmd_port = procs.free_ports(2)
    (sdir / "plugstack.conf").write_text("")
    render("slurm.conf", Path(bed.slurm_conf), cluster=CLUSTER, ctl_host=ctl_host,
           slurmctld_port=bed.slurmctld_port, slurmd_port=bed.slurmd_port,
           munge_socket=bed.munge_socket, dir=sdir, logs=bed.root / "logs",
           accounting=accounting, jobcomp=bed.jobcomp_path, min_job_age=bed.min_job_age,
           node_line=node_line, partition=PARTITION)
    env = procs.clean_env({"SLURM_CONF": bed.slurm_conf})
    bed.daemons.spawn("slurmctld", ["slurmctld", "-D", "-f", bed.slurm_conf], env=env, own_log=True,
                      ready=lambda: _ping(bed), what="UP from scontrol ping")
    bed.daemons.spawn("slurmd", ["slurmd", "-D", "-f", bed.slurm_conf], env=env, own_log=True,
                      ready=lambda: _node_serves(bed), what="idle node in sinfo")


def _ping(bed) -> bool:
    return bed.run_slurm(["scontrol", "ping"], timeout=10).returncode == 0


def _node_serves(bed) -> bool:
    if not _ping(bed):
        return False
    info = bed.run_slurm(["sinfo", "-h", "-N", "-o", "%T"], timeout=10)
    # idle at bring-up; allocated or mixed when slurmd comes back under jobs
    return info.returncode == 0 and info.stdout.strip() in ("idle", "allocated", "mixed")


def wait_ready(bed) -> None:
    bed.daemons.wait_ready("slurmctld")
    bed.daemons.wait_ready("slurmd")
    # slurmctld recreates the completion file with its own mode at start;
    # `sacct -c` of the SSH user needs write access to it
    pw = pwd.getpwnam(bed.ssh_user)
    jobcomp = Path(bed.jobcomp_path)
    jobcomp.touch(exist_ok=True)
    os.chown(jobcomp, pw.pw_uid, pw.pw_gid)
    jobcomp.chmod(0o664)
