"""OpenSSH sshd on loopback: key-only login of the bed's user, internal
SFTP, and the SLURM client settings in every session's environment.  A
second sshd, the jump host, is started on demand (``start_jump``): the same
user and keys, its own host key and port, and a log that names every
forwarded connection."""

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
    env = bed.slurm_env if bed.want_slurm else {"SQUEUE_STATES": "all"}
    host_key = _spawn(bed, "sshd", bed.ssh_port, "VERBOSE",
                      "SetEnv " + " ".join(f"{k}={v}" for k, v in env.items()) if env else "")
    bed.ssh_host_key_path = host_key
    known = bed.root / "keys" / "known_hosts"
    known.write_text(known_hosts_line(bed.ssh_host, bed.ssh_port, host_key))
    bed.known_hosts_path = str(known)


def start_jump(bed) -> None:
    """The jump host: DEBUG1 makes sshd log each direct-tcpip request."""
    (bed.jump_port,) = procs.free_ports(1)
    bed.jump_host_key_path = _spawn(bed, "sshd-jump", bed.jump_port, "DEBUG1", "")
    bed.daemons.wait_ready("sshd-jump")


def regenerate_host_key(bed) -> None:
    """A new host key for the cluster's sshd, which is restarted to use it."""
    bed.stop_service("sshd")
    for path in (bed.ssh_host_key_path, bed.ssh_host_key_path + ".pub"):
        os.remove(path)
    keygen(Path(bed.ssh_host_key_path), "", "zentrel-bed-host")
    Path(bed.known_hosts_path).write_text(known_hosts_line(bed.ssh_host, bed.ssh_port, bed.ssh_host_key_path))
    bed.restart_service("sshd")


def known_hosts_line(host: str, port: int, host_key: str) -> str:
    kind, key = Path(host_key + ".pub").read_text().split()[:2]
    return f"[{host}]:{port} {kind} {key}\n"


def _spawn(bed, name: str, port: int, log_level: str, setenv: str) -> str:
    sdir = bed.root / name
    sdir.mkdir(mode=0o755)
    host_key = keygen(sdir / "ssh_host_ed25519_key", "", "zentrel-bed-host")
    auth = sdir / "authorized_keys"
    auth.write_text("".join(Path(k + ".pub").read_text()
                            for k in (bed.key_path, bed.passphrase_key_path)))
    auth.chmod(0o644)
    conf = render("sshd_config", sdir / "sshd_config", port=port, host_key=host_key,
                  pid_file=sdir / "sshd.pid", authorized_keys=auth, user=bed.ssh_user,
                  setenv=setenv, log_level=log_level)
    # privilege separation directory of Debian's sshd
    os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
    sshd = shutil.which("sshd") or "/usr/sbin/sshd"
    check = procs.run([sshd, "-t", "-f", conf])
    if check.returncode != 0:
        log = bed.root / "logs" / f"{name}.log"
        log.write_text(check.stdout)
        bed.daemons.extra_logs[name] = log
        raise bed.daemons.fail(name, "configuration test failed")
    bed.daemons.spawn(name, [sshd, "-D", "-e", "-f", conf],
                      ready=lambda: _banner(bed.ssh_host, port), what="SSH banner")
    return host_key


def _banner(host: str, port: int) -> bool:
    with socket.create_connection((host, port), timeout=1) as s:
        return s.recv(64).startswith(b"SSH-2.0")
