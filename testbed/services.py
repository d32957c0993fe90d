"""Loopback Redis, OpenSSH and single-node SLURM for tests and demos.

Everything runs as root without systemd, under one temporary directory
(``/tmp/zentrel-bed-XXXX``), bound to 127.0.0.1 on free ports.  The same
``Testbed`` object serves the pytest session fixture and the demo script.

A bed writes ``owner.json`` (its pid and process start time) into its
directory.  At bring-up, directories of beds whose owner is gone are treated
as leftovers of a killed run: their processes are killed and the directories
removed, so a second run on the same machine starts clean.
"""

from __future__ import annotations

import atexit
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from pathlib import Path

# The daemons, useradd and usermod live in sbin, which a non-login shell's
# PATH may lack; the bed and everything it starts look there too.
for _sbin in ("/usr/local/sbin", "/usr/sbin", "/sbin"):
    if _sbin not in os.environ.get("PATH", "").split(os.pathsep):
        os.environ["PATH"] = os.environ.get("PATH", "/usr/bin:/bin") + os.pathsep + _sbin

BED_PREFIX = "zentrel-bed-"
DEFAULT_USER = "zentrelbed"
# PATH of a non-interactive `ssh host cmd` on Debian; used for run_as_user
# so checks see the same commands a remote session sees.
SSH_SESSION_PATH = "/usr/local/bin:/usr/bin:/bin:/usr/games"
SLURM_CLUSTER = "zentrelbed"
SLURM_PARTITION = "debug"

_TERM_GRACE = 3.0


class BedError(RuntimeError):
    """A service of the bed failed to come up (message carries the log tail)."""


# --------------------------------------------------------------------------
# small helpers
# --------------------------------------------------------------------------

def _free_ports(count: int) -> list[int]:
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


def _tail(path: Path | str, lines: int = 40) -> str:
    try:
        with open(path, "rb") as fh:
            fh.seek(0, os.SEEK_END)
            size = fh.tell()
            fh.seek(max(0, size - 16384))
            data = fh.read().decode("utf-8", "replace")
    except OSError as exc:
        return f"(no log: {exc})"
    return "\n".join(data.splitlines()[-lines:])


def _proc_start_time(pid: int) -> str | None:
    """Start time of a process in clock ticks (field 22 of /proc/PID/stat)."""
    try:
        with open(f"/proc/{pid}/stat") as fh:
            stat = fh.read()
    except OSError:
        return None
    # the command name may contain spaces and parentheses; fields follow the last ')'
    return stat[stat.rfind(")") + 2:].split()[19]


def _owner_alive(owner: dict) -> bool:
    pid = owner.get("pid")
    if not isinstance(pid, int):
        return False
    return _proc_start_time(pid) == owner.get("start")


def _read_owner(root: Path) -> dict:
    try:
        return json.loads((root / "owner.json").read_text())
    except (OSError, ValueError):
        return {}


class _ProcInfo:
    __slots__ = ("pid", "ppid", "uid", "comm", "cmdline", "cwd")

    def __init__(self, pid, ppid, uid, comm, cmdline, cwd):
        self.pid, self.ppid, self.uid = pid, ppid, uid
        self.comm, self.cmdline, self.cwd = comm, cmdline, cwd


def _processes() -> list[_ProcInfo]:
    """Snapshot of all processes from /proc (vanishing ones are skipped)."""
    out = []
    me = os.getpid()
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        pid = int(name)
        if pid == me:
            continue
        try:
            with open(f"/proc/{pid}/stat") as fh:
                stat = fh.read()
            comm = stat[stat.find("(") + 1:stat.rfind(")")]
            ppid = int(stat[stat.rfind(")") + 2:].split()[1])
            uid = os.stat(f"/proc/{pid}").st_uid
            with open(f"/proc/{pid}/cmdline", "rb") as fh:
                cmdline = fh.read().replace(b"\0", b" ").decode("utf-8", "replace")
        except (OSError, ValueError, IndexError):
            continue
        try:
            cwd = os.readlink(f"/proc/{pid}/cwd")
        except OSError:
            cwd = ""
        out.append(_ProcInfo(pid, ppid, uid, comm, cmdline, cwd))
    return out


def _descendants(procs: list[_ProcInfo], roots: set[int]) -> set[int]:
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


def _under(path: str, prefix: str) -> bool:
    path = path.removesuffix(" (deleted)")
    return path == prefix or path.startswith(prefix.rstrip("/") + "/")


def _kill_pids(pids, sig=signal.SIGKILL) -> None:
    for pid in pids:
        try:
            os.kill(pid, sig)
        except (ProcessLookupError, PermissionError):
            pass


def _wait_gone(pids, timeout: float) -> set[int]:
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
            st = _proc_state(pid)
            if st is None or st == "Z":
                pending.discard(pid)
        if not pending or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    return pending


def _proc_state(pid: int) -> str | None:
    try:
        with open(f"/proc/{pid}/stat") as fh:
            stat = fh.read()
    except OSError:
        return None
    return stat[stat.rfind(")") + 2:].split()[0]


def _run(argv, **kw) -> subprocess.CompletedProcess:
    kw.setdefault("stdout", subprocess.PIPE)
    kw.setdefault("stderr", subprocess.STDOUT)
    kw.setdefault("text", True)
    kw.setdefault("timeout", 60)
    return subprocess.run(argv, **kw)


def _clean_env(extra: dict | None = None) -> dict:
    """Environment for daemons and client commands: ours, minus any SLURM
    settings inherited from the caller (e.g. when run inside a real job)."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("SLURM_", "SQUEUE_", "SBATCH_", "SACCT_"))}
    if extra:
        env.update(extra)
    return env


# --------------------------------------------------------------------------
# leftovers of killed runs
# --------------------------------------------------------------------------

def _bed_roots() -> list[Path]:
    base = Path(tempfile.gettempdir())
    return sorted(p for p in base.glob(BED_PREFIX + "*") if p.is_dir())


def live_beds() -> list[Path]:
    """Bed directories whose owning process is still running."""
    return [r for r in _bed_roots() if _owner_alive(_read_owner(r))]


def reap_leftovers(user: str = DEFAULT_USER, exclude: Path | None = None) -> list[int]:
    """Kill processes and remove directories left by beds whose owner died.

    Processes count as a dead bed's when their command line or working
    directory lies under its directory or its work directory in the user's
    home.  When no bed is alive at all, slurmstepd processes and every
    process of the dedicated user are leftovers too (slurmstepd clears its
    environment and ignores SIGTERM, so nothing else identifies it).
    Returns the pids that were killed.
    """
    dead = [r for r in _bed_roots()
            if r != exclude and not _owner_alive(_read_owner(r))]
    try:
        pw = pwd.getpwnam(user)
    except KeyError:
        pw = None
    home_dirs = []
    if pw is not None and os.path.isdir(pw.pw_dir):
        home_dirs = [Path(pw.pw_dir) / r.name for r in dead]
        # work dirs in the home whose bed directory is already gone
        for d in Path(pw.pw_dir).glob(BED_PREFIX + "*"):
            root = Path(tempfile.gettempdir()) / d.name
            if not root.exists() and d not in home_dirs:
                home_dirs.append(d)
    prefixes = [str(r) for r in dead] + [str(d) for d in home_dirs]
    nobody_alive = not [r for r in live_beds() if r != exclude]

    victims = set()
    procs = _processes()
    for p in procs:
        if any(pref + "/" in p.cmdline or _under(p.cwd, pref) for pref in prefixes):
            victims.add(p.pid)
        elif nobody_alive and (p.comm == "slurmstepd"
                               or (pw is not None and p.uid == pw.pw_uid)):
            victims.add(p.pid)
    victims |= _descendants(procs, victims)
    _kill_pids(victims)
    _wait_gone(victims, 2.0)
    for d in dead + home_dirs:
        shutil.rmtree(d, ignore_errors=True)
    return sorted(victims)


# --------------------------------------------------------------------------
# the bed
# --------------------------------------------------------------------------

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
    """

    # not a pytest test class despite the name
    __test__ = False

    def __init__(self, redis: bool = True, ssh: bool = True, slurm: bool = True,
                 user: str = DEFAULT_USER, passphrase: str = "zentrel-bed-passphrase",
                 startup_timeout: float = 30.0, accounting: bool = True,
                 min_job_age: int = 3600, squeue_states_all: bool = True):
        if slurm and not ssh:
            # SLURM is only reached through SSH by the code under test
            ssh = True
        self.want_redis, self.want_ssh, self.want_slurm = redis, ssh, slurm
        # slurmdbd + MariaDB behind SLURM, so sacct answers as on a production cluster
        self.want_accounting = slurm and accounting
        # seconds slurmctld keeps an ended job visible to squeue
        self.min_job_age = int(min_job_age)
        # SQUEUE_STATES=all in the SSH session keeps ended jobs in squeue's answer
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

        self._procs: dict[str, subprocess.Popen] = {}
        self._spawned: dict[str, tuple] = {}
        self._logs: dict[str, Path] = {}
        self._stderr: dict[str, Path] = {}
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
        """Variables a SLURM client needs to reach this bed's controller."""
        env = {"SQUEUE_STATES": "all"} if self.squeue_states_all else {}
        if self.slurm_conf:
            env["SLURM_CONF"] = self.slurm_conf
        return env

    @property
    def logs(self) -> dict:
        """Log file of each service, by name."""
        return {k: str(v) for k, v in self._logs.items()}

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
                          "partition": SLURM_PARTITION, "cluster": SLURM_CLUSTER,
                          "jobcomp": self.jobcomp_path,
                          "accounting": self.want_accounting,
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
        return _run(argv, env=_clean_env(self.slurm_env), timeout=timeout,
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
        self.root = Path(tempfile.mkdtemp(prefix=BED_PREFIX))
        _live.add(self)
        pid = self._owner_pid = os.getpid()
        (self.root / "owner.json").write_text(
            json.dumps({"pid": pid, "start": _proc_start_time(pid)}))
        reap_leftovers(self.ssh_user, exclude=self.root)
        # the SSH user reads slurm.conf, authorized_keys and the munge socket
        # from here; private keys inside stay 0600
        os.chmod(self.root, 0o755)
        (self.root / "logs").mkdir()

        if self.want_ssh:
            self._prepare_user()
        if self.want_redis:
            self._start_redis()
        if self.want_slurm:
            self._start_munge()
            if self.want_accounting:
                self._start_mariadb()
            self._start_slurm()
        if self.want_ssh:
            self._start_sshd()
        # wait for the slow ones last so their start-up overlaps
        if self.want_redis:
            self._wait_redis()
        if self.want_ssh:
            self._wait_sshd()
        if self.want_slurm:
            self._wait_slurm()

    def _spawn(self, name: str, argv: list[str], env: dict | None = None,
               own_log: bool = False) -> subprocess.Popen:
        """Start a daemon in the background.  Its stdout/stderr go to
        logs/NAME.log, or to logs/NAME.stderr when the daemon writes
        logs/NAME.log itself (own_log)."""
        log = self.root / "logs" / (f"{name}.stderr" if own_log else f"{name}.log")
        if own_log:
            self._stderr[name] = log
            self._logs[name] = self.root / "logs" / f"{name}.log"
        else:
            self._logs[name] = log
        with open(log, "ab") as fh:
            # own session: a Ctrl-C in the terminal reaches only us, and we
            # tear the daemons down in order
            proc = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=fh, stderr=subprocess.STDOUT,
                cwd=self.root, env=env or _clean_env(), start_new_session=True)
        self._procs[name] = proc
        self._spawned[name] = (argv, env, own_log)
        return proc

    # ---- fault injection -------------------------------------------------

    def stop_service(self, name: str) -> None:
        """Stop one daemon of this bed (e.g. "slurmctld") and wait until it is gone."""
        proc = self._procs.get(name)
        if proc is None:
            raise BedError(f"no service {name!r} in this bed")
        self._terminate([proc])

    def restart_service(self, name: str) -> None:
        """Start a daemon stopped by stop_service again, as it was started."""
        proc = self._procs.get(name)
        if proc is not None and proc.poll() is None:
            return
        argv, env, own_log = self._spawned[name]
        self._spawn(name, argv, env, own_log)
        if name == "slurmctld":
            self._wait_for("slurmctld", lambda: self.run_slurm(
                ["scontrol", "ping"], timeout=10).returncode == 0, "UP from scontrol ping")

    def sshd_sessions(self) -> list[int]:
        """Pids of the per-connection processes of this bed's sshd (not the
        listener itself): freezing or killing them freezes or drops the
        connections that are open now."""
        proc = self._procs.get("sshd")
        if proc is None or proc.poll() is not None:
            return []
        return sorted(_descendants(_processes(), {proc.pid}))

    def _fail(self, name: str, why: str, log: Path | None = None) -> BedError:
        text = f"{name} did not come up: {why}"
        for path in (log or self._logs.get(name), self._stderr.get(name)):
            if path is not None and path.exists():
                text += f"\n--- tail of {path} ---\n{_tail(path)}"
        return BedError(text)

    def _wait_for(self, name: str, probe, what: str, timeout: float | None = None,
                  log: Path | None = None) -> None:
        deadline = time.monotonic() + (timeout or self.startup_timeout)
        last = None
        while True:
            proc = self._procs.get(name)
            if proc is not None and proc.poll() is not None:
                raise self._fail(name, f"exited with status {proc.returncode} "
                                       f"before {what}", log)
            try:
                if probe():
                    return
            except Exception as exc:  # noqa: BLE001 - remembered for the report
                last = exc
            if time.monotonic() > deadline:
                extra = f" (last error: {last})" if last else ""
                raise self._fail(name, f"no {what} within "
                                       f"{timeout or self.startup_timeout:.0f} s{extra}", log)
            time.sleep(0.05)

    # ---- redis -----------------------------------------------------------

    def _start_redis(self) -> None:
        (self.redis_port,) = _free_ports(1)
        rdir = self.root / "redis"
        rdir.mkdir()
        self._spawn("redis", [
            shutil.which("redis-server") or "/usr/bin/redis-server",
            "--port", str(self.redis_port), "--bind", "127.0.0.1",
            "--save", "", "--appendonly", "no", "--daemonize", "no",
            "--dir", str(rdir), "--protected-mode", "yes",
        ])

    def _redis_ping(self) -> bool:
        with socket.create_connection(("127.0.0.1", self.redis_port), timeout=1) as s:
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")

    def _wait_redis(self) -> None:
        self._wait_for("redis", self._redis_ping, "PONG")

    # ---- ssh user and sshd ----------------------------------------------

    def _prepare_user(self) -> None:
        user = self.ssh_user
        try:
            pw = pwd.getpwnam(user)
        except KeyError:
            r = _run(["useradd", "--create-home", "--shell", "/bin/bash", user])
            if r.returncode != 0 and "already exists" not in r.stdout:
                raise BedError(f"useradd {user} failed: {r.stdout}")
            pw = pwd.getpwnam(user)
        # sshd with UsePAM no refuses locked accounts ('!'); '*' allows key login
        if _run(["getent", "shadow", user]).stdout.split(":")[1:2] != ["*"]:
            r = _run(["usermod", "-p", "*", user])
            if r.returncode != 0:
                raise BedError(f"usermod -p '*' {user} failed: {r.stdout}")
        home = Path(pw.pw_dir)
        if not home.is_dir():
            home.mkdir(parents=True, mode=0o755)
            os.chown(home, pw.pw_uid, pw.pw_gid)
        self.remote_home = str(home)
        work = home / self.root.name
        work.mkdir(mode=0o755)
        os.chown(work, pw.pw_uid, pw.pw_gid)
        self.remote_work_dir = str(work)

        keys = self.root / "keys"
        keys.mkdir(mode=0o700)
        # key files stay root-only; only the public halves go to sshd
        self.key_path = self._keygen(keys / "id_ed25519", "")
        self.passphrase_key_path = self._keygen(keys / "id_ed25519_pass", self.passphrase)
        self.wrong_key_path = self._keygen(keys / "id_ed25519_wrong", "")

    def _keygen(self, path: Path, passphrase: str, comment: str = "zentrel-bed") -> str:
        r = _run(["ssh-keygen", "-q", "-t", "ed25519", "-N", passphrase,
                  "-C", comment, "-f", str(path)])
        if r.returncode != 0:
            raise BedError(f"ssh-keygen failed for {path}: {r.stdout}")
        return str(path)

    def _start_sshd(self) -> None:
        (self.ssh_port,) = _free_ports(1)
        sdir = self.root / "sshd"
        sdir.mkdir(mode=0o755)
        hostkey = self._keygen(sdir / "ssh_host_ed25519_key", "", "zentrel-bed-host")
        auth = sdir / "authorized_keys"
        auth.write_text("".join(
            Path(k + ".pub").read_text()
            for k in (self.key_path, self.passphrase_key_path)))
        auth.chmod(0o644)
        host_pub = Path(hostkey + ".pub").read_text().split()
        known = self.root / "keys" / "known_hosts"
        known.write_text(f"[{self.ssh_host}]:{self.ssh_port} {host_pub[0]} {host_pub[1]}\n")
        self.known_hosts_path = str(known)

        env = self.slurm_env if self.want_slurm else {"SQUEUE_STATES": "all"}
        setenv = f"SetEnv {' '.join(f'{k}={v}' for k, v in env.items())}" if env else ""
        conf = sdir / "sshd_config"
        conf.write_text(f"""\
# sshd for the zentrel test bed: key-only login of one user on loopback
Port {self.ssh_port}
ListenAddress 127.0.0.1
HostKey {hostkey}
PidFile {sdir / 'sshd.pid'}
AuthorizedKeysFile {auth}
AllowUsers {self.ssh_user}
PubkeyAuthentication yes
PasswordAuthentication no
KbdInteractiveAuthentication no
PermitRootLogin no
UsePAM no
StrictModes no
PrintMotd no
X11Forwarding no
Subsystem sftp internal-sftp
{setenv}
LogLevel VERBOSE
""")
        # privilege separation directory of Debian's sshd
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        sshd = shutil.which("sshd") or "/usr/sbin/sshd"
        log = self.root / "logs" / "sshd.log"
        self._logs["sshd"] = log
        r = _run([sshd, "-t", "-f", str(conf)])
        if r.returncode != 0:
            log.write_text(r.stdout)
            raise self._fail("sshd", "configuration test failed")
        self._spawn("sshd", [sshd, "-D", "-e", "-f", str(conf)])

    def _ssh_banner(self) -> bool:
        with socket.create_connection((self.ssh_host, self.ssh_port), timeout=1) as s:
            return s.recv(64).startswith(b"SSH-2.0")

    def _wait_sshd(self) -> None:
        self._wait_for("sshd", self._ssh_banner, "SSH banner")

    # ---- munge -----------------------------------------------------------

    def _start_munge(self) -> None:
        mdir = self.root / "munge"
        mdir.mkdir(mode=0o755)
        key = mdir / "munge.key"
        with open(key, "wb") as fh:
            fh.write(os.urandom(1024))
        key.chmod(0o400)
        # clients (slurm commands of the SSH user) connect to the socket here
        run = mdir / "run"
        run.mkdir(mode=0o755)
        run.chmod(0o755)
        self.munge_socket = str(run / "munge.socket")
        self._spawn("munged", [
            shutil.which("munged") or "/usr/sbin/munged", "--foreground", "--force",
            f"--key-file={key}", f"--socket={self.munge_socket}",
            f"--pid-file={mdir / 'munged.pid'}", f"--seed-file={mdir / 'munged.seed'}",
            f"--log-file={self.root / 'logs' / 'munged.log'}",
        ])

    def _munge_ok(self) -> bool:
        if not os.path.exists(self.munge_socket):
            return False
        enc = _run(["munge", "-n", "-S", self.munge_socket], timeout=5)
        if enc.returncode != 0:
            return False
        dec = _run(["unmunge", "-S", self.munge_socket], input=enc.stdout, timeout=5)
        return dec.returncode == 0

    # ---- accounting: MariaDB and slurmdbd --------------------------------

    def _start_mariadb(self) -> None:
        ddir = self.root / "mariadb"
        (ddir / "data").mkdir(parents=True)
        (self.mariadb_port,) = _free_ports(1)
        cnf = ddir / "my.cnf"
        cnf.write_text(f"""\
# private MariaDB of the zentrel test bed: slurmdbd's database on loopback
[mysqld]
datadir={ddir / 'data'}
socket={ddir / 'mysqld.sock'}
port={self.mariadb_port}
bind-address=127.0.0.1
pid-file={ddir / 'mysqld.pid'}
log-error={self.root / 'logs' / 'mariadb.log'}
skip-name-resolve
skip-log-bin
innodb_buffer_pool_size=16M
innodb_log_file_size=8M
innodb_log_buffer_size=1M
performance_schema=OFF

[client]
socket={ddir / 'mysqld.sock'}
user=root
""")
        self._mariadb_cnf = str(cnf)
        self._logs["mariadb"] = self.root / "logs" / "mariadb.log"
        # --defaults-file must come first; it keeps /etc/mysql out
        r = _run(["mariadb-install-db", f"--defaults-file={cnf}", "--user=root",
                  "--skip-test-db", "--auth-root-authentication-method=socket"])
        if r.returncode != 0:
            raise BedError(f"mariadb-install-db failed: {r.stdout[-2000:]}")
        self._spawn("mariadb", [shutil.which("mariadbd") or "/usr/sbin/mariadbd",
                                f"--defaults-file={cnf}", "--user=root"], own_log=True)

    def _mariadb_sql(self, sql: str) -> subprocess.CompletedProcess:
        return _run(["mariadb", f"--defaults-file={self._mariadb_cnf}", "-e", sql], timeout=20)

    def _start_slurmdbd(self, sdir: Path, ctl_host: str) -> None:
        self._wait_for("mariadb", lambda: self._mariadb_sql("SELECT 1").returncode == 0,
                       "answer to SELECT 1")
        password = os.urandom(12).hex()
        r = self._mariadb_sql(
            f"CREATE DATABASE slurm_acct_db; "
            f"CREATE USER 'slurm'@'127.0.0.1' IDENTIFIED BY '{password}'; "
            f"GRANT ALL ON slurm_acct_db.* TO 'slurm'@'127.0.0.1';")
        if r.returncode != 0:
            raise self._fail("mariadb", f"creating the accounting database failed: {r.stdout}")
        (self.slurmdbd_port,) = _free_ports(1)
        # slurmdbd reads slurmdbd.conf next to $SLURM_CONF; it must be 0600
        # and owned by SlurmUser (root here), or slurmdbd refuses to start
        conf = sdir / "slurmdbd.conf"
        fd = os.open(conf, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600)
        with os.fdopen(fd, "w") as fh:
            fh.write(f"""\
# slurmdbd of the zentrel test bed
AuthType=auth/munge
AuthInfo=socket={self.munge_socket}
DbdHost={ctl_host}
DbdAddr=127.0.0.1
DbdPort={self.slurmdbd_port}
SlurmUser=root
LogFile={self.root / 'logs' / 'slurmdbd.log'}
PidFile={sdir / 'slurmdbd.pid'}
DebugLevel=info
StorageType=accounting_storage/mysql
StorageHost=127.0.0.1
StoragePort={self.mariadb_port}
StorageUser=slurm
StoragePass={password}
StorageLoc=slurm_acct_db
""")
        self._spawn("slurmdbd", ["slurmdbd", "-D"],
                    env=_clean_env({"SLURM_CONF": str(sdir / "slurm.conf")}), own_log=True)
        self._wait_for("slurmdbd", self._slurmdbd_listens, "listening port")

    def _slurmdbd_listens(self) -> bool:
        with socket.create_connection(("127.0.0.1", self.slurmdbd_port), timeout=1):
            return True

    # ---- slurm -----------------------------------------------------------

    def _start_slurm(self) -> None:
        self._wait_for("munged", self._munge_ok, "working munge socket", timeout=10)
        sdir = self.root / "slurm"
        (sdir / "state").mkdir(parents=True)
        (sdir / "spool").mkdir()
        self.slurmctld_port, self.slurmd_port = _free_ports(2)
        r = _run(["slurmd", "-C"])
        node_line = r.stdout.splitlines()[0] if r.returncode == 0 and r.stdout else ""
        if not node_line.startswith("NodeName="):
            raise BedError(f"slurmd -C gave no NodeName line: {r.stdout}")
        self.slurm_node = node_line.split()[0].split("=", 1)[1]
        ctl_host = _run(["hostname", "-s"]).stdout.strip() or self.slurm_node
        self.jobcomp_path = str(sdir / "jobcomp.txt")
        if self.want_accounting:
            self._start_slurmdbd(sdir, ctl_host)
            accounting = f"""\
AccountingStorageType=accounting_storage/slurmdbd
AccountingStorageHost=127.0.0.1
AccountingStoragePort={self.slurmdbd_port}
AccountingStoragePass={self.munge_socket}
JobAcctGatherType=jobacct_gather/linux"""
        else:
            accounting = """\
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none"""
        plugstack = sdir / "plugstack.conf"
        plugstack.write_text("")
        conf = sdir / "slurm.conf"
        conf.write_text(f"""\
# single-node SLURM for the zentrel test bed
ClusterName={SLURM_CLUSTER}
SlurmctldHost={ctl_host}(127.0.0.1)
SlurmctldPort={self.slurmctld_port}
SlurmdPort={self.slurmd_port}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
CredType=cred/munge
AuthInfo=socket={self.munge_socket}
StateSaveLocation={sdir / 'state'}
SlurmdSpoolDir={sdir / 'spool'}
SlurmctldPidFile={sdir / 'slurmctld.pid'}
SlurmdPidFile={sdir / 'slurmd.pid'}
SlurmctldLogFile={self.root / 'logs' / 'slurmctld.log'}
SlurmdLogFile={self.root / 'logs' / 'slurmd.log'}
SlurmctldDebug=info
SlurmdDebug=info
PlugStackConfig={plugstack}
MpiDefault=none
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
{accounting}
JobCompType=jobcomp/filetxt
JobCompLoc={self.jobcomp_path}
SchedulerParameters=batch_sched_delay=0
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
ReturnToService=2
JobRequeue=0
KillWait=2
MinJobAge={self.min_job_age}
{node_line} NodeAddr=127.0.0.1 State=UNKNOWN
PartitionName={SLURM_PARTITION} Nodes=ALL Default=YES MaxTime=INFINITE State=UP
""")
        conf.chmod(0o644)
        for d in (sdir, sdir / "state", sdir / "spool"):
            d.chmod(0o755)
        self.slurm_conf = str(conf)
        env = _clean_env({"SLURM_CONF": self.slurm_conf})
        self._spawn("slurmctld", ["slurmctld", "-D", "-f", self.slurm_conf], env=env,
                    own_log=True)
        self._spawn("slurmd", ["slurmd", "-D", "-f", self.slurm_conf], env=env, own_log=True)

    def _slurm_ready(self) -> bool:
        ping = self.run_slurm(["scontrol", "ping"], timeout=10)
        if ping.returncode != 0 or "UP" not in ping.stdout:
            return False
        info = self.run_slurm(["sinfo", "-h", "-N", "-o", "%T"], timeout=10)
        return info.returncode == 0 and info.stdout.strip() == "idle"

    def _wait_slurm(self) -> None:
        self._wait_for("slurmctld", lambda: self.run_slurm(
            ["scontrol", "ping"], timeout=10).returncode == 0, "UP from scontrol ping")
        self._wait_for("slurmd", self._slurm_ready, "idle node in sinfo")
        # slurmctld recreates the completion file with its own mode at start;
        # `sacct -c` of the SSH user needs write access to it
        pw = pwd.getpwnam(self.ssh_user)
        jc = Path(self.jobcomp_path)
        jc.touch(exist_ok=True)
        os.chown(jc, pw.pw_uid, pw.pw_gid)
        jc.chmod(0o664)

    # ---- teardown --------------------------------------------------------

    def stop(self) -> None:
        """Stop every service, kill leftover job steps, remove the temp dir.
        Safe to call more than once and after a failed start."""
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
        _live.discard(self)
        procs = _processes()
        daemons = {p.pid for p in self._procs.values() if p.poll() is None}
        family = _descendants(procs, daemons)

        # slurm first (it still needs munge while shutting down), then the
        # rest; slurmctld hands its last records to slurmdbd, which needs MariaDB
        order = ["slurmd", "slurmctld", "sshd", "redis"]
        running = [self._procs[n] for n in order if n in self._procs]
        self._terminate(running)
        self._kill_strays(family)
        for name in ("slurmdbd", "mariadb", "munged"):
            if name in self._procs:
                self._terminate([self._procs[name]])
        # anything still around that belongs to this bed
        self._kill_strays(set())

        if self.remote_work_dir:
            shutil.rmtree(self.remote_work_dir, ignore_errors=True)
        if self.root is not None:
            shutil.rmtree(self.root, ignore_errors=True)

    @staticmethod
    def _terminate(procs: list[subprocess.Popen]) -> None:
        alive = [p for p in procs if p.poll() is None]
        for p in alive:
            try:
                p.send_signal(signal.SIGTERM)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + _TERM_GRACE
        for p in alive:
            try:
                p.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                try:
                    p.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    pass

    def _kill_strays(self, family: set[int]) -> None:
        """SIGKILL job steps, job processes and session processes of this bed.

        slurmstepd ignores SIGTERM and clears its environment, so steps are
        found by their place in the process tree (forked by our slurmd), by
        their working directory, or -- when no other bed is alive -- as any
        slurmstepd and any process of the dedicated user."""
        prefixes = [str(self.root)] if self.root else []
        if self.remote_work_dir:
            prefixes.append(self.remote_work_dir)
        others_alive = [r for r in live_beds() if r != self.root]
        try:
            uid = pwd.getpwnam(self.ssh_user).pw_uid
        except KeyError:
            uid = None
        procs = _processes()
        victims = set(p.pid for p in procs if p.pid in family)
        for p in procs:
            if any(pref + "/" in p.cmdline or _under(p.cwd, pref) for pref in prefixes):
                victims.add(p.pid)
            elif not others_alive and (p.comm == "slurmstepd"
                                       or (uid is not None and p.uid == uid)):
                victims.add(p.pid)
        victims |= _descendants(procs, victims)
        victims.discard(os.getpid())
        _kill_pids(victims)
        _wait_gone(victims, 3.0)
