"""The SSH user of the bed: a local account with key-only login, its job
directory for this bed, and the client keys (accepted, passphrase-protected,
and one sshd does not know)."""

from __future__ import annotations

import os
import pwd
from pathlib import Path

from .. import procs
from ..daemons import BedError
from ..reaper import ROOT_MARKER


def prepare(bed) -> None:
    user = bed.ssh_user
    try:
        pw = pwd.getpwnam(user)
    except KeyError:
        r = procs.run(["useradd", "--create-home", "--shell", "/bin/bash", user])
        if r.returncode != 0 and "already exists" not in r.stdout:
            raise BedError(f"useradd {user} failed: {r.stdout}")
        pw = pwd.getpwnam(user)
    # sshd with UsePAM no refuses locked accounts ('!'); '*' allows key login
    if procs.run(["getent", "shadow", user]).stdout.split(":")[1:2] != ["*"]:
        r = procs.run(["usermod", "-p", "*", user])
        if r.returncode != 0:
            raise BedError(f"usermod -p '*' {user} failed: {r.stdout}")
    home = Path(pw.pw_dir)
    if not home.is_dir():
        home.mkdir(parents=True, mode=0o755)
        os.chown(home, pw.pw_uid, pw.pw_gid)
    bed.remote_home = str(home)
    work = home / bed.root.name
    # recorded first: a run killed from here on still has it removed
    bed.ledger.add_dir(work)
    work.mkdir(mode=0o755)
    os.chown(work, pw.pw_uid, pw.pw_gid)
    # names the bed's root, so that a reaper elsewhere can tell whether the
    # bed still exists (beds may live under different temporary directories)
    (work / ROOT_MARKER).write_text(str(bed.root))
    bed.remote_work_dir = str(work)

    keys = bed.root / "keys"
    keys.mkdir(mode=0o700)
    # key files stay root-only; only the public halves go to sshd
    bed.key_path = keygen(keys / "id_ed25519", "")
    bed.passphrase_key_path = keygen(keys / "id_ed25519_pass", bed.passphrase)
    bed.wrong_key_path = keygen(keys / "id_ed25519_wrong", "")


def keygen(path: Path, passphrase: str, comment: str = "zentrel-bed") -> str:
    r = procs.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase, "-C", comment, "-f", str(path)])
    if r.returncode != 0:
        raise BedError(f"ssh-keygen failed for {path}: {r.stdout}")
    return str(path)
