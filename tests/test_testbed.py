"""Checks of the loopback test bed itself: the profile it hands out, the
environment a remote command sees, and a teardown that ends everything the
bed started, also after a killed run, and nothing it did not start.  What
sshd, SLURM and Redis then do is seen through our modules' own tests."""

import json
import os
import pwd
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path

import paramiko
import pytest

from testbed import Testbed, reap_leftovers
from testbed.procs import is_running, snapshot

pytestmark = pytest.mark.bed

REPO = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def bed():
    with Testbed(redis=True, ssh=True, slurm=True) as b:
        yield b


def connect(bed) -> paramiko.SSHClient:
    client = paramiko.SSHClient()
    client.load_host_keys(bed.known_hosts_path)
    client.set_missing_host_key_policy(paramiko.RejectPolicy())
    client.connect(bed.ssh_host, port=bed.ssh_port, username=bed.ssh_user, key_filename=bed.key_path,
                   look_for_keys=False, allow_agent=False, timeout=10)
    return client


def remote(client, cmd, timeout=30):
    _, out, err = client.exec_command(cmd, timeout=timeout)
    status = out.channel.recv_exit_status()
    return status, out.read().decode().strip(), err.read().decode().strip()


def submit(ssh, bed, script_args):
    status, out, err = remote(ssh, f"cd {bed.remote_work_dir} && sbatch --parsable {script_args}")
    assert status == 0, err
    return int(out.split(";")[0])


@pytest.fixture(scope="module")
def ssh(bed):
    client = connect(bed)
    yield client
    client.close()


def processes_of(root: str):
    """Processes that name the directory on their command line or work in it."""
    return [p for p in snapshot() if p.cmdline and (root + "/" in p.cmdline or p.cwd.startswith(root))]


@pytest.fixture
def bystander(bed):
    """A process of the bed's user that no bed started: no teardown or
    reaper may end it."""
    pw = pwd.getpwnam(bed.ssh_user)
    proc = subprocess.Popen(["sleep", "300"], user=pw.pw_uid, group=pw.pw_gid, cwd=pw.pw_dir)
    yield proc
    assert proc.poll() is None, "a process the bed did not start was ended"
    proc.kill()
    proc.wait()


# ---------------------------------------------------------------- profile

def test_profile_points_at_the_bed(bed):
    prof = bed.profile()
    assert prof == {"host": "127.0.0.1", "port": bed.ssh_port, "username": bed.ssh_user,
                    "remoteWorkDir": bed.remote_work_dir, "authMethod": "key",
                    "keyFilename": bed.key_path}
    assert bed.profile(port=1)["port"] == 1
    assert Path(prof["remoteWorkDir"]).parent == Path(bed.remote_home)


# ------------------------------------------------- remote session environment

def test_non_interactive_session_sees_slurm(bed, ssh):
    status, out, err = remote(
        ssh, 'echo "$SQUEUE_STATES|$SLURM_CONF"; command -v sbatch squeue sacct scancel; '
             'scontrol ping')
    assert status == 0, err
    lines = out.splitlines()
    assert lines[0] == f"all|{bed.slurm_conf}"
    assert [Path(p).name for p in lines[1:5]] == ["sbatch", "squeue", "sacct", "scancel"]
    assert "is UP" in lines[5]


def test_run_as_user_is_the_ssh_user(bed):
    r = bed.run_as_user('id -un; echo "$SQUEUE_STATES"; pwd')
    assert r.returncode == 0
    assert r.stdout.split() == [bed.ssh_user, "all", bed.remote_home]


# -------------------------------------------------------------------- teardown

def test_stop_leaves_nothing_and_is_idempotent(bed, bystander):
    # a second bed next to the module's: its running job must die with it
    other = Testbed(redis=True, ssh=True, slurm=True).start()
    root, work = str(other.root), other.remote_work_dir
    started = other.ledger.processes()
    assert {name for name in other.logs} >= {"redis", "sshd", "munged", "mariadb", "slurmdbd",
                                             "slurmctld", "slurmd"}
    r = other.run_as_user(f"cd {work} && sbatch --parsable --wrap 'sleep 300'")
    assert r.returncode == 0, r.stderr
    job = r.stdout.strip()
    deadline = time.monotonic() + 15
    while other.run_as_user(f"squeue -j {job} -h -o %T").stdout.strip() != "RUNNING":
        assert time.monotonic() < deadline
        time.sleep(0.2)
    ports = (other.redis_port, other.ssh_port)
    other.stop()
    other.stop()
    assert not Path(root).exists() and not Path(work).exists()
    assert processes_of(root) == [] and processes_of(work) == []
    assert [pid for pid, start in started if is_running(pid, start)] == []
    for port in ports:
        with pytest.raises(OSError):
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
    # the module's bed is untouched
    assert bed.run_as_user("scontrol ping").returncode == 0


def test_exception_inside_with_tears_down():
    with pytest.raises(KeyboardInterrupt):
        with Testbed(redis=True, ssh=False, slurm=False) as b:
            root = str(b.root)
            raise KeyboardInterrupt
    assert not Path(root).exists()
    assert processes_of(root) == []


def test_killed_run_is_cleaned_by_next_bring_up(bed, ssh, bystander):
    # a job of the live bed runs through the reaping of the dead one
    own_job = submit(ssh, bed, "--wrap 'sleep 300'")
    env = dict(os.environ, PYTHONPATH=str(REPO))
    proc = subprocess.Popen([sys.executable, "-m", "testbed", "up"], cwd=REPO, env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        facts = json.loads(_read_json(proc.stdout))
    except Exception:
        proc.kill()
        raise
    root = facts["root"]
    work = facts["ssh"]["profile"]["remoteWorkDir"]
    r = bed.run_as_user(f"SLURM_CONF={facts['slurm']['conf']} sbatch --parsable "
                        f"-D {work} --wrap 'sleep 300'")
    assert r.returncode == 0, r.stderr
    deadline = time.monotonic() + 15
    while not processes_of(work):
        assert time.monotonic() < deadline, "the job never started"
        time.sleep(0.2)
    # the owner dies without any teardown
    proc.send_signal(signal.SIGKILL)
    proc.wait()
    assert processes_of(root) and processes_of(work)
    with Testbed(redis=True, ssh=False, slurm=False):
        assert not Path(root).exists() and not Path(work).exists()
        assert processes_of(root) == [] and processes_of(work) == []
    assert remote(ssh, f"squeue -j {own_job} -h -o %T")[1] == "RUNNING"
    assert remote(ssh, f"scancel {own_job}")[0] == 0


def _read_json(stream) -> str:
    lines = []
    for line in stream:
        lines.append(line)
        if line.rstrip() == "}":
            return "".join(lines)
    raise AssertionError("`python -m testbed up` printed no facts: " + "".join(lines))


def test_cli_up_tears_down_on_sigterm():
    env = dict(os.environ, PYTHONPATH=str(REPO))
    proc = subprocess.Popen([sys.executable, "-X", "faulthandler", "-m", "testbed", "up", "--no-slurm"], cwd=REPO,
                            env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    facts = json.loads(_read_json(proc.stdout))
    assert set(facts) >= {"redis", "ssh"} and "slurm" not in facts
    proc.send_signal(signal.SIGTERM)
    try:
        returncode = proc.wait(timeout=20)
    except subprocess.TimeoutExpired:
        proc.send_signal(signal.SIGABRT)  # faulthandler prints where each thread is
        _, err = proc.communicate(timeout=10)
        reap_leftovers()  # the bed of the aborted command
        pytest.fail(f"`python -m testbed up` still running 20 s after SIGTERM:\n{err}")
    assert returncode == 0
    assert not Path(facts["root"]).exists()
    assert processes_of(facts["root"]) == []
