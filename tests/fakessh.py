"""Scripted stand-ins for paramiko's SSHClient and SFTPClient.

Used where the real cluster cannot produce a case: exact command texts and
their order, chosen SLURM answers ("CANCELLED+" from sacct, stderr noise from
sbatch), undecodable output, and exceptions raised at a chosen step.

    ssh = FakeSSH()
    ssh.reply(r"^squeue ", stdout="RUNNING\n")
    ssh.fail("connect", paramiko.AuthenticationException("denied"))
    install(monkeypatch, ssh)      # paramiko.SSHClient() now returns `ssh`

Commands without a matching reply print nothing and exit with status 0,
except the job query before a submission: it prints the job directory (its
physical path) and no job.
"""
import io
import re
import shlex
import types

import paramiko


def _as_bytes(data):
    return data if isinstance(data, bytes) else data.encode("utf-8")


class FakeChannel:
    """A command's channel whose whole output has arrived."""

    def __init__(self, stdout, stderr, status):
        self._out, self._err = _as_bytes(stdout), _as_bytes(stderr)
        self.status = status
        self.eof_received = True
        self.closed = False

    def recv_ready(self):
        return bool(self._out)

    def recv(self, nbytes):
        data, self._out = self._out[:nbytes], self._out[nbytes:]
        return data

    def recv_stderr_ready(self):
        return bool(self._err)

    def recv_stderr(self, nbytes):
        data, self._err = self._err[:nbytes], self._err[nbytes:]
        return data

    def recv_exit_status(self):
        return self.status

    def close(self):
        self.closed = True


class FakeChannelFile:
    def __init__(self, channel):
        self.channel = channel


class Reply:
    def __init__(self, stdout="", stderr="", status=0):
        self.stdout, self.stderr, self.status = stdout, stderr, status


class _Turns:
    def __init__(self, replies):
        self._replies = replies

    def next(self):
        return self._replies.pop(0) if len(self._replies) > 1 else self._replies[0]


class _Faults:
    """Exceptions to raise at named steps, optionally only for matching arguments."""

    def __init__(self):
        self._faults = []

    def add(self, step, exception, match=None):
        self._faults.append((step, exception, match))

    def check(self, step, argument=""):
        for name, exception, match in self._faults:
            if name == step and (match is None or re.search(match, str(argument))):
                raise exception


class FakeRemoteFile:
    def __init__(self, sftp, path, faults):
        self._sftp, self._path, self._faults = sftp, path, faults
        self._buffer = io.StringIO()
        self.closed = False

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return None

    def write(self, text):
        self._faults.check("write", self._path)
        self._buffer.write(text)

    def close(self):
        if not self.closed:
            self.closed = True
            self._sftp.files[self._path] = self._buffer.getvalue().encode("utf-8")


class FakeDownload:
    """A remote file opened for reading."""

    def __init__(self, data):
        self._data, self._pos = data, 0

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return None

    def seek(self, offset):
        self._pos = offset

    def prefetch(self, file_size=None):
        pass

    def read(self, size):
        chunk = self._data[self._pos:self._pos + size]
        self._pos += len(chunk)
        return chunk


class FakeSFTP:
    """Keeps uploaded and written files in `files` (remote path -> bytes)."""

    def __init__(self, faults, log):
        self.files = {}
        self.puts = []  # (local, remote) in order
        self._faults = faults
        self._log = log

    def put(self, localpath, remotepath, callback=None):
        self._log.append(("put", remotepath))
        self._faults.check("put", remotepath)
        with open(localpath, "rb") as fh:
            self.files[remotepath] = fh.read()
        self.puts.append((localpath, remotepath))

    def file(self, filename, mode="r"):
        self._log.append(("file", filename))
        self._faults.check("file", filename)
        return FakeRemoteFile(self, filename, self._faults)

    def stat(self, path):
        self._log.append(("stat", path))
        if path not in self.files:
            raise FileNotFoundError(2, "No such file")
        return types.SimpleNamespace(st_size=len(self.files[path]), st_mtime=0)

    def open(self, filename, mode="r"):
        self._log.append(("get", filename))
        self._faults.check("get", filename)
        if filename not in self.files:
            raise FileNotFoundError(2, "No such file")
        return FakeDownload(self.files[filename])


class FakeTransport:
    """The client's transport: only closing it (and waiting for its reader) counts."""

    def __init__(self):
        self.closed = False

    def close(self):
        self.closed = True

    def join(self, timeout=None):
        pass


class FakeSSH:
    """An SSHClient double: records every call and answers from a script."""

    def __init__(self):
        self.commands = []       # exec_command texts, in order
        self.calls = []          # (method, detail) of every call, in order
        self.connect_kwargs = None
        self.policy = None
        self.close_count = 0
        self._rules = []
        self._faults = _Faults()
        self.sftp = FakeSFTP(self._faults, self.calls)
        self.transport = FakeTransport()

    # ---- scripting --------------------------------------------------------

    def reply(self, pattern, stdout="", stderr="", status=0):
        """Answer commands matching the regular expression `pattern`; a later
        rule for the same command wins over an earlier one."""
        self._rules.insert(0, (re.compile(pattern), Reply(stdout, stderr, status)))
        return self

    def reply_in_turn(self, pattern, *replies):
        """Answer matching commands with the replies in turn (Reply objects),
        the last one from then on."""
        turns = list(replies)
        rule = _Turns(turns)
        self._rules.insert(0, (re.compile(pattern), rule))
        return self

    def fail(self, step, exception, match=None):
        """Raise `exception` at `step` ("load_system_host_keys", "connect",
        "exec_command", "open_sftp", "put", "file", "write", "get"), for
        exec_command only when the command matches `match`."""
        self._faults.add(step, exception, match)
        return self

    @property
    def closed(self):
        return self.close_count > 0

    # ---- the SSHClient surface used by the node ---------------------------

    def set_missing_host_key_policy(self, policy):
        self.calls.append(("set_missing_host_key_policy", type(policy).__name__))
        self.policy = policy

    def load_system_host_keys(self, filename=None):
        self.calls.append(("load_system_host_keys", filename))
        self._faults.check("load_system_host_keys")

    def connect(self, **kwargs):
        self.calls.append(("connect", kwargs.get("hostname")))
        self.connect_kwargs = kwargs
        self._faults.check("connect")

    def exec_command(self, command):
        self.calls.append(("exec_command", command))
        self.commands.append(command)
        self._faults.check("exec_command", command)
        reply = next((r for p, r in self._rules if p.search(command)), None) or _default_reply(command)
        if isinstance(reply, _Turns):
            reply = reply.next()
        channel = FakeChannel(reply.stdout, reply.stderr, reply.status)
        return io.BytesIO(b""), FakeChannelFile(channel), FakeChannelFile(channel)

    def get_transport(self):
        return self.transport

    def open_sftp(self):
        self.calls.append(("open_sftp", None))
        self._faults.check("open_sftp")
        return self.sftp

    def close(self):
        self.calls.append(("close", None))
        self.close_count += 1


_JOB_QUERY = re.compile(r"^cd (.+) && pwd -P && squeue ")


def _default_reply(command):
    query = _JOB_QUERY.match(command)
    return Reply(stdout=shlex.split(query.group(1))[0] + "\n") if query else Reply()


def install(monkeypatch, ssh):
    """Make paramiko.SSHClient() return `ssh` (the node imports paramiko on each call)."""
    monkeypatch.setattr(paramiko, "SSHClient", lambda: ssh)
    return ssh


class LogRecorder:
    """A logging callback for set_log_callback: (level, message, metadata) per event."""

    def __init__(self):
        self.events = []

    def __call__(self, level, message, **metadata):
        self.events.append((level, message, metadata))

    @property
    def messages(self):
        return [message for _, message, _ in self.events]

    def find(self, prefix):
        return [e for e in self.events if e[1].startswith(prefix)]


PROFILE = {"host": "hpc.example.org", "username": "alice", "remoteWorkDir": "/scratch/alice"}
SCRIPT = "#!/bin/bash\n#SBATCH --chdir={{WORKING_DIR}}\necho hi\n"


def options(profile=None, **extra):
    opts = {"execution_mode": "remote", "hpc_profile_id": "p1",
            "hpc_profile": dict(PROFILE) if profile is None else profile, "slurm_script": SCRIPT}
    opts.update(extra)
    return opts


def expansion_of(ssh, path, expanded):
    """Script the first expansion attempt of `path` to print `expanded`."""
    return ssh.reply("^" + re.escape(f"bash -c 'eval echo \"{path}\"'") + "$", stdout=expanded + "\n")


def submitting_cluster(monkeypatch):
    """A fake client for a cluster whose work dir /scratch/alice expands to
    itself and whose sbatch accepts the job as 917, installed as paramiko's
    SSHClient."""
    fake = FakeSSH()
    expansion_of(fake, "/scratch/alice", "/scratch/alice")
    fake.reply("sbatch submit.sh$", stdout="Submitted batch job 917\n")
    return install(monkeypatch, fake)
