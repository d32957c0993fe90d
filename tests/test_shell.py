"""Shell commands on the cluster: job state from squeue/sacct, path expansion
in the remote shell, directory creation, and quoting of inserted values.
The SSH client is scripted, since exact command texts and SLURM's odd
answers are the point here; the real cluster is exercised end to end."""
import shlex

import pytest

from fakessh import FakeSSH
from zentrel_core.node import NodeException

SQUEUE = "squeue -j {} -h -o %T 2>/dev/null"
SACCT = "sacct -j {} -n -o State -X 2>/dev/null | head -1"


@pytest.fixture
def node(make_node):
    return make_node(scripted=True)


@pytest.mark.parametrize("squeue_out, sacct_out, state, asked_sacct", [
    ("RUNNING\n", "COMPLETED", "RUNNING", False),
    ("pending", "", "PENDING", False),
    ("PENDING\nRUNNING\n", "", "RUNNING", False),            # job array: a task runs
    ("pending\ncompleting\n", "", "PENDING", False),         # first state SLURM still holds
    ("COMPLETED\nFAILED\n", "", "COMPLETED", False),         # none held: the first state
    ("Welcome to the cluster\nRUNNING\n", "", "RUNNING", False),  # login banner first
    ("Welcome\nto the cluster\n", "", "UNKNOWN", True),     # no state word: as no output
    ("Welcome to the cluster\n", "RUNNING\n", "RUNNING", True),
    ("  \n", "banner\n cancelled+ by 0\n", "CANCELLED", True),
    ("", "CANCELLED+\n", "CANCELLED", True),                  # state cut off by sacct's column
    ("  \n", " completed++ ", "COMPLETED", True),
    ("", "", "UNKNOWN", True),
])
def test_job_state_from_squeue_then_sacct(node, squeue_out, sacct_out, state, asked_sacct):
    ssh = FakeSSH().reply("^squeue", stdout=squeue_out).reply("^sacct", stdout=sacct_out)
    assert node._get_slurm_job_status(ssh, "917") == state
    expected = [SQUEUE.format("917")] + ([SACCT.format("917")] if asked_sacct else [])
    assert ssh.commands == expected


@pytest.mark.parametrize("value", [
    "917", "12345_7", "a b", "it's", "", "$(touch x)", "a;rm -rf ~", "`id`", "tab\there", "né",
    "@%+=:,./_-", "*", "x\ny",
])
def test_inserted_values_are_quoted_like_shlex(node, value):
    ssh = FakeSSH()
    node._get_slurm_job_status(ssh, value)
    node._ensure_remote_dir(ssh, value)
    q = shlex.quote(value)
    assert ssh.commands == [SQUEUE.format(q), SACCT.format(q), f"mkdir -p {q}"]


@pytest.mark.parametrize("method", ["_get_slurm_job_status", "_expand_remote_path", "_ensure_remote_dir"])
@pytest.mark.parametrize("value", [917, None, b"/tmp"])
def test_non_text_arguments_are_refused_before_any_command(node, method, value):
    ssh = FakeSSH()
    with pytest.raises(TypeError):
        getattr(node, method)(ssh, value)
    assert ssh.commands == []


def test_undecodable_output_raises(node):
    ssh = FakeSSH().reply("^squeue", stdout=b"RUN\xffNING")
    with pytest.raises(UnicodeDecodeError):
        node._get_slurm_job_status(ssh, "1")


EVAL = "bash -c 'eval echo \"{}\"'"
ECHO = 'echo "{}"'


@pytest.mark.parametrize("first, second, result, commands", [
    ((0, "/home/alice/work\n"), None, "/home/alice/work", 1),
    ((127, "junk"), (0, "/home/alice/work"), "/home/alice/work", 2),   # bash missing: plain echo
    ((0, "   "), (0, "/home/alice/work"), "/home/alice/work", 2),
    ((1, ""), (2, "/home/alice/work"), "~/work", 2),                   # failing echo is not trusted
    ((0, ""), (0, ""), "~/work", 2),
])
def test_path_expansion_attempts(node, host_log, first, second, result, commands):
    ssh = FakeSSH()
    ssh.reply("^bash -c", stdout=first[1], status=first[0])
    if second:
        ssh.reply("^echo", stdout=second[1], status=second[0])
    assert node._expand_remote_path(ssh, "~/work") == result
    assert ssh.commands == [EVAL.format("~/work"), ECHO.format("~/work")][:commands]
    fell_back = result == "~/work"
    assert host_log.calls == ([(("Could not expand remote path: ~/work",), {"level": "info"})] if fell_back else [])


@pytest.mark.parametrize("stderr, message", [
    ("mkdir: cannot create directory '/root/x': Permission denied\n",
     "Failed to create remote directory /root/x y: mkdir: cannot create directory '/root/x': Permission denied"),
    ("", "Failed to create remote directory /root/x y: "),
])
def test_refused_mkdir_raises_remote_dir(node, stderr, message):
    ssh = FakeSSH().reply("^mkdir", stderr=stderr, status=1)
    with pytest.raises(NodeException) as caught:
        node._ensure_remote_dir(ssh, "/root/x y")
    assert (caught.value.origin, caught.value.message) == ("remote_dir", message)
    assert ssh.commands == ["mkdir -p '/root/x y'"]
