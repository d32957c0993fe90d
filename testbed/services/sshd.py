"""OpenSSH sshd on loopback: key-only login of the bed's user, internal
SFTP, and the SLURM client settings in every session's environment."""

from __future__ import annotations

import os
import shutil
import socket
from pathlib import Path

from .. import procs
from ..config import render
from .account import keygen


def start(bed) -> None:
    (bed.ssh_port,) = procs.free_ports(1)
    sdir = bed.root / "sshd"
    sdir.mkdir(mode=0o755)
    host_key = keygen(sdir / "ssh_host_ed25519_key", "", "zentrel-bed-host")
    auth = sdir / "authorized_keys"
    auth.write_text("".join(Path(k + ".pub").read_text()
                            for k in (bed.key_path, bed.passphrase_key_path)))
    auth.chmod(0o644)
    kind, key = Path(host_key + ".pub").read_text().split()[:2]
    known = bed.root / "keys" / "known_hosts"
    known.write_text(f"[{bed.ssh_host}]:{bed.ssh_port} {kind} {key}\n")
    bed.known_hosts_path = str(known)

    env = bed.slurm_env if bed.want_slurm else {"SQUEUE_STATES": "all"}
    conf = render("sshd_config", sdir / "sshd_config", port=bed.ssh_port, host_key=host_key,
                  pid_file=sdir / "sshd.pid", authorized_keys=auth, user=bed.ssh_user,
                  setenv="SetEnv " + " ".join(f"{k}={v}" for k, v in env.items()) if env else "")
    # privilege separation directory of Debian's sshd
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    sshd = shutil.which("sshd") or "/usr/sbin/sshd"
    check = procs.run([sshd, "-t", "-f", conf])
    if check.returncode != 0:
        log = bed.root / "logs" / "sshd.log"
        log.write_text(check.stdout)
        bed.daemons.extra_logs["sshd"] = log
        raise bed.daemons.fail("sshd", "configuration test failed")
    bed.daemons.spawn("sshd", [sshd, "-D", "-e", "-f", conf],
                      ready=lambda: _banner(bed.ssh_host, bed.ssh_port), what="SSH banner")


def _banner(host: str, port: int) -> bool:
    with socket.create_connection((host, port), timeout=1) as s:
        return s.recv(64).startswith(b"SSH-2.0")
