"""The test bed: Redis, OpenSSH and single-node SLURM (with accounting) on
loopback for tests and demos.

Everything runs as root without systemd, under one temporary directory
(``/tmp/zentrel-bed-XXXX``), bound to 127.0.0.1 on free ports.  The same
``Testbed`` object serves the pytest fixtures and the demo script.  The bed
records what it starts in that directory (see ``reaper``); its teardown and
the reaper of later runs end those processes and nothing else.
"""

from __future__ import annotations

import atexit
import os
import pwd
import shutil
import subprocess
import tempfile
import threading
from pathlib import Path

from . import procs, reaper
from .daemons import BedError, Daemons
from .services import account, mariadb, munge, redis, slurm, sshd

# The daemons, useradd and usermod live in sbin, which a non-login shell's
# PATH may lack; the bed and everything it starts look there too.
for _sbin in ("/usr/local/sbin", "/usr/sbin", "/sbin"):
    if _sbin not in os.environ.get("PATH", "").split(os.pathsep):
        os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + os.pathsep + _sbin

# PATH of a non-interactive `ssh host cmd` on Debian; used for run_as_user
# so checks see the same commands a remote session sees.
SSH_SESSION_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/games"

# Teardown in stages: SLURM first (it still needs munge while shutting down,
# and slurmctld hands its last records to slurmdbd), slurmdbd before MariaDB.
_STOP_ORDER = [["slurmd", "slurmctld", "sshd", "sshd-jump", "redis"], ["slurmdbd"], ["mariadb"], ["munged"]]

# strong references: a bed nobody holds on to is still torn down at exit
_live: "set[Testbed]" = set()


def _stop_all_at_exit() -> None:
    for bed in list(_live):
        # a forked child (multiprocessing) must not tear down its parent's bed
        if bed._owner_pid != os.getpid():
            continue
        try:
            bed.stop()
        except Exception:  # noqa: BLE001 - interpreter is exiting anyway
            pass


atexit.register(_stop_all_at_exit)


class Testbed:
    """Redis, sshd and SLURM on loopback; use as a context manager.

    >>> with Testbed(redis=True, ssh=True, slurm=True) as bed:
    ...     bed.profile()

    `accounting` puts slurmdbd + MariaDB behind SLURM so that `sacct`
    answers as on a production cluster; `min_job_age` is SLURM's MinJobAge
    (seconds an ended job stays with the controller); `squeue_states_all`
    sets SQUEUE_STATES=all in the SSH session, so squeue keeps listing ended
    jobs until then.
    """

    # not a pytest test class despite the name
    __test__ = False

    def __init__(self, redis: bool = True, ssh: bool = True, slurm: bool = True,
                 user: str = reaper.DEFAULT_USER, passphrase: str = "zentrel-bed-passphrase",
                 startup_timeout: float = 30.0, accounting: bool = True,
                 min_job_age: int = 3600, squeue_states_all: bool = True):
        # SLURM is only reached through SSH by the code under test
        self.want_redis, self.want_ssh, self.want_slurm = redis, ssh or slurm, slurm
        self.want_accounting = slurm and accounting
        self.min_job_age = int(min_job_age)
        self.squeue_states_all = squeue_states_all
        self.ssh_user = user
        self.passphrase = passphrase
        self.startup_timeout = startup_timeout

        self.root: Path | None = None
        self.redis_port: int | None = None
        self.ssh_host = "127.0.0.1"
        self.ssh_port: int | None = None
        self.key_path: str | None = None
        self.passphrase_key_path: str | None = None
        self.wrong_key_path: str | None = None
        self.known_hosts_path: str | None = None
        self.ssh_host_key_path: str | None = None
        self.jump_port: int | None = None
        self.jump_host_key_path: str | None = None
        self.remote_home: str | None = None
        self.remote_work_dir: str | None = None
        self.slurm_conf: str | None = None
        self.slurm_node: str | None = None
        self.slurmctld_port: int | None = None
        self.slurmd_port: int | None = None
        self.jobcomp_path: str | None = None
        self.munge_socket: str | None = None
        self.mariadb_port: int | None = None
        self.slurmdbd_port: int | None = None

        self.ledger: reaper.Ledger | None = None
        self.daemons: Daemons | None = None
        self._lock = threading.Lock()
        self._started = False
        self._stopped = False
        self._owner_pid = os.getpid()

    # ---- context manager -------------------------------------------------

    def __enter__(self) -> "Testbed":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ---- public facts ----------------------------------------------------

    @property
    def slurm_env(self) -> dict:
        """Variables a SLURM client of the SSH session needs for this bed."""
        env = {"SQUEUE_STATES": "all"} if self.squeue_states_all else {}
        if self.slurm_conf:
            env["SLURM_CONF"] = self.slurm_conf
        return env

    @property
    def programs(self) -> list[str]:
        """The daemons this bed starts, in the order it starts them."""
        names = ["redis-server"] if self.want_redis else []
        if self.want_slurm:
            names += ["munged"] + (["mariadbd"] if self.want_accounting else [])
        if self.want_ssh:
            names.append("sshd")
        if self.want_slurm:
            names += (["slurmdbd"] if self.want_accounting else []) + ["slurmctld", "slurmd"]
        return names

    @property
    def logs(self) -> dict:
        """Log file of each service, by name."""
        return self.daemons.logs if self.daemons else {}

    def profile(self, **overrides) -> dict:
        """Connection profile for the cluster node, ready to use."""
        if not self.want_ssh or self.ssh_port is None:
            raise BedError("the bed was started without ssh")
        prof = {
            "host": self.ssh_host,
            "port": self.ssh_port,
            "username": self.ssh_user,
            "remoteWorkDir": self.remote_work_dir,
            "authMethod": "key",
            "keyFilename": self.key_path,
        }
        prof.update(overrides)
        return prof

    def facts(self) -> dict:
        """Everything a client needs, as plain JSON-able data."""
        d = {"root": str(self.root) if self.root else None, "logs": self.logs}
        if self.want_redis:
            d["redis"] = {"host": "127.0.0.1", "port": self.redis_port}
        if self.want_ssh:
            d["ssh"] = {
                "host": self.ssh_host, "port": self.ssh_port, "user": self.ssh_user,
                "key_path": self.key_path,
                "passphrase_key_path": self.passphrase_key_path,
                "passphrase": self.passphrase,
                "wrong_key_path": self.wrong_key_path,
                "known_hosts_path": self.known_hosts_path,
                "remote_home": self.remote_home,
                "profile": self.profile(),
            }
        if self.want_slurm:
            d["slurm"] = {"conf": self.slurm_conf, "node": self.slurm_node,
                          "partition": slurm.PARTITION, "cluster": slurm.CLUSTER,
                          "jobcomp": self.jobcomp_path, "accounting": self.want_accounting,
                          "min_job_age": self.min_job_age}
        return d

    def run_as_user(self, cmd: str, timeout: float = 60, check: bool = False,
                    input: str | None = None) -> subprocess.CompletedProcess:
        """Run a shell command as the SSH user, with the environment of a
        non-interactive SSH session (PATH, SQUEUE_STATES, SLURM_CONF), in its
        home.  stdout/stderr are captured as text."""
        pw = pwd.getpwnam(self.ssh_user)
        env = {
            "HOME": pw.pw_dir, "USER": pw.pw_name, "LOGNAME": pw.pw_name,
            "SHELL": pw.pw_shell or "/bin/bash", "PATH": SSH_SESSION_PATH,
            "LANG": "C.UTF-8",
        }
        env.update(self.slurm_env)
        return subprocess.run(
            ["/bin/bash", "-c", cmd], user=pw.pw_uid, group=pw.pw_gid,
            extra_groups=[], env=env, cwd=pw.pw_dir, input=input,
            capture_output=True, text=True, timeout=timeout, check=check)

    def run_slurm(self, argv: list[str], timeout: float = 30) -> subprocess.CompletedProcess:
        """Run a SLURM client command as root against this bed."""
        return procs.run(argv, env=procs.clean_env(self.slurm_env), timeout=timeout,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    # ---- bring-up --------------------------------------------------------

    def start(self) -> "Testbed":
        with self._lock:
            if self._started:
                return self
            self._started = True
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self) -> None:
        self.root = Path(tempfile.mkdtemp(prefix=reaper.BED_PREFIX))
        _live.add(self)
        self._owner_pid = os.getpid()
        self.ledger = reaper.Ledger(self.root)
        self.ledger.claim()
        reaper.reap_leftovers(self.ssh_user, exclude=self.root)
        # the SSH user reads slurm.conf, authorized_keys and the munge socket
        # from here; private keys inside stay 0600
        os.chmod(self.root, 0o755)
        (self.root / "logs").mkdir()
        self.daemons = Daemons(self.root, self.ledger, self.startup_timeout)
        if self.want_slurm:
            # known before sshd starts: its sessions get SLURM_CONF
            (self.root / "slurm").mkdir()
            self.slurm_conf = str(self.root / "slurm" / "slurm.conf")

        # start everything, then wait, so that the start-ups overlap
        if self.want_ssh:
            account.prepare(self)
        if self.want_redis:
            redis.start(self)
        if self.want_slurm:
            munge.start(self)
            if self.want_accounting:
                mariadb.start(self)
        if self.want_ssh:
            sshd.start(self)
        if self.want_slurm:
            slurm.start(self)
        if self.want_redis:
            self.daemons.wait_ready("redis")
        if self.want_ssh:
            self.daemons.wait_ready("sshd")
        if self.want_slurm:
            slurm.wait_ready(self)

    # ---- fault injection -------------------------------------------------

    def stop_service(self, name: str) -> None:
        """Stop one daemon of this bed (e.g. "slurmctld") and wait until it is gone."""
        if self.daemons is None or name not in self.daemons:
            raise BedError(f"no service {name!r} in this bed")
        self.daemons.stop([name])

    def restart_service(self, name: str) -> None:
        """Start a daemon stopped by stop_service again, as it was started,
        and wait until it serves."""
        if self.daemons is None or name not in self.daemons:
            raise BedError(f"no service {name!r} in this bed")
        self.daemons.restart(name)

    def start_jump_host(self) -> int:
        """Start the jump host (a second sshd, once per bed) and return its
        port; its log, logs["sshd-jump"], names each forwarded connection."""
        with self._lock:
            if self.jump_port is None:
                sshd.start_jump(self)
        return self.jump_port

    def regenerate_host_key(self) -> None:
        """Give the cluster's sshd a new host key (it is restarted);
        known_hosts_path then lists the new one."""
        sshd.regenerate_host_key(self)

    def sshd_sessions(self, service: str = "sshd") -> list[int]:
        """Pids of the per-connection processes of this bed's sshd (not the
        listener itself; "sshd-jump": of the jump host): freezing or killing
        them freezes or drops the connections that are open now."""
        pid = self.daemons.pid(service) if self.daemons and service in self.daemons else None
        if pid is None:
            return []
        return sorted(procs.descendants(procs.snapshot(), {pid}))

    # ---- teardown --------------------------------------------------------

    def stop(self) -> None:
        """Stop every service, end the bed's remaining processes (job steps,
        SSH sessions), remove its directories.  Safe to call more than once
        and after a failed start."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
        _live.discard(self)
        if self.root is None:
            return
        dirs = self.ledger.dirs() if self.ledger else [str(self.root)]
        started = self.ledger.processes() if self.ledger else []
        # taken while the daemons run: their children leave the tree with them
        family = reaper.bed_processes(started, dirs)
        if self.daemons is not None:
            for stage in _STOP_ORDER:
                self.daemons.stop(stage)
        reaper.end(family + reaper.bed_processes(started, dirs))
        for d in reversed(dirs):
            shutil.rmtree(d, ignore_errors=True)
