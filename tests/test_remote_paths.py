"""Remote work directories with characters a shell would read.  On the real
sshd only a leading ~ or ~name and $NAME / ${NAME} are expanded; blanks,
quotes, "#", globs, ";" and "$(...)" stay literal and nothing in the path
runs.  A path of shell-safe characters still goes out as the old eval
command.  Line breaks and NULs, before or after the expansion, are refused
before anything is created on the cluster."""
import os
import shlex

import paramiko
import pytest

from fakessh import PROFILE, FakeSSH, LogRecorder, options
from test_cluster_e2e import execute, failure, hpc_flow_vars, node_options, poll
from zentrel_core.node import NodeException

REFUSED = ("configuration", "HPC profile field 'remoteWorkDir' must not contain line breaks or NUL characters")
EVAL = "bash -c 'eval echo \"{}\"'"


@pytest.fixture(scope="module")
def ssh(bed):
    bed.run_as_user("rm -rf ~/ran_* && touch ~/p4glob_a ~/p4glob_b", check=True)
    client = paramiko.SSHClient()
    client.load_host_keys(bed.known_hosts_path)
    client.connect(bed.ssh_host, port=bed.ssh_port, username=bed.ssh_user, key_filename=bed.key_path,
                   look_for_keys=False, allow_agent=False, timeout=10)
    yield client
    client.close()
    bed.run_as_user("rm -f ~/p4glob_a ~/p4glob_b")


@pytest.mark.bed
@pytest.mark.parametrize("path, expected", [
    ("~/p4  two", "{home}/p4  two"),
    ("~/p4 #1", "{home}/p4 #1"),
    ("~/My Project #1", "{home}/My Project #1"),
    ("~/it's", "{home}/it's"),
    ('~/p4_"dq"', '{home}/p4_"dq"'),
    (r"~/p4_\$x", "{home}/p4_\\"),                     # the backslash is literal, $x is a variable (unset)
    ("~/p4glob_*", "{home}/p4glob_*"),                  # ~/p4glob_a and ~/p4glob_b exist
    ("~/p4_$(id -u)", "{home}/p4_$(id -u)"),
    ("~/p4;echo INJECTED", "{home}/p4;echo INJECTED"),
    ("~/ran_`touch ~/ran_bq`|touch ~/ran_bar&", "{home}/ran_`touch ~/ran_bq`|touch ~/ran_bar&"),
    ("~/ran_$(touch ~/ran_cs)>x<y", "{home}/ran_$(touch ~/ran_cs)>x<y"),
    ("${HOME}/x y", "{home}/x y"),
    ("$HOME/x", "{home}/x"),
    ("~{user}/a b", "{home}/a b"),
    ("~/$USER's dir", "{home}/{user}'s dir"),
    ("~/a $1 ${ b $", "{home}/a $1 ${ b $"),           # $ before a non-name, ${ without a name: literal
    ("~/a ${HOME:-x} ${HOME", "{home}/a ${HOME:-x} ${HOME"),
    ("~nosuchuser_zb/a b", "~nosuchuser_zb/a b"),
    ("~/né ü", "{home}/né ü"),
    ("~/tail ", "{home}/tail "),                          # blanks at the end belong to the path
    ("/tmp/~x (y)", "/tmp/~x (y)"),
])
def test_only_home_and_variables_are_expanded(bed, ssh, make_node, host_log, path, expected):
    user = bed.ssh_user
    got = make_node()._expand_remote_path(ssh, path.replace("{user}", user))
    assert got == expected.replace("{home}", bed.remote_home).replace("{user}", user)
    assert bed.run_as_user("rm -fv ~/ran_*").stdout == ""   # nothing in the path ran
    assert host_log.calls == []


@pytest.mark.parametrize("path", ["~/work", "$HOME/x", "${HOME}/w-1.2+3,4:5@6%7=8", "~alice/x", "/scratch/$USER"])
def test_safe_paths_send_the_old_command(make_node, path):
    ssh = FakeSSH().reply("^bash -c", stdout="/expanded\n")
    assert make_node(scripted=True)._expand_remote_path(ssh, path) == "/expanded"
    assert ssh.commands == [EVAL.format(path)]


@pytest.mark.bed
@pytest.mark.parametrize("path, expected", [("~/it's #1 $(id -u)", "{home}/it's #1 $(id -u)"),
                                            ("${HOME}/a  b;c", "{home}/a  b;c")])
def test_second_attempt_without_bash_is_as_safe(bed, make_node, path, expected):
    """Without bash on the cluster the second command goes to the login
    shell itself; it must print the literal path in a plain POSIX sh too."""
    ssh = FakeSSH().reply("^bash -c", status=127)
    make_node(scripted=True)._expand_remote_path(ssh, path)
    second = ssh.commands[1]
    assert "eval" not in second and not second.startswith("bash")
    printed = bed.run_as_user(f"sh -c {shlex.quote(second)}", check=True).stdout
    assert printed == expected.replace("{home}", bed.remote_home) + "\n"


@pytest.mark.bed
def test_job_runs_in_the_literal_directory(bed, work, make_node, private_home):
    relative = os.path.relpath(bed.remote_work_dir, bed.remote_home)
    profile = bed.profile(remoteWorkDir=f"~/{relative}/it's #1 $(id -u) *")
    make = lambda: make_node(node_id="paths_literal", **node_options(work))  # noqa: E731
    results = poll(make, hpc_flow_vars(bed, "#!/bin/bash\npwd > result.txt\n", profile=profile))
    job_dir = f"{bed.remote_work_dir}/it's #1 $(id -u) */job_paths_literal"
    assert results[0]["remote_job_dir"] == job_dir
    assert results[-1]["remote_job_status"] == "completed"
    assert results[-1]["data"]["result"] == job_dir


@pytest.mark.parametrize("work_dir", ["~/a\nb", "/w\r", "/w\0x", "\n/w"])
def test_line_breaks_and_nul_refused_before_connecting(make_node, monkeypatch, work_dir):
    created = []
    monkeypatch.setattr(paramiko, "SSHClient", lambda: created.append(1))
    with pytest.raises(NodeException) as caught:
        make_node(scripted=True)._run_remote([], {}, options(dict(PROFILE, remoteWorkDir=work_dir)))
    assert (caught.value.origin, caught.value.message) == REFUSED and created == []


@pytest.fixture
def broken_variable(bed):
    """ZB_BROKEN in the login environment of the bed's SSH sessions: a
    directory name with a line break in it (set first thing in ~/.bashrc)."""
    line = f"export ZB_BROKEN=$'{bed.remote_home}/zb_nl_a\\nb'  # zentrel paths test\n"
    bed.run_as_user("rm -rf ~/zb_nl_* && cat - ~/.bashrc > ~/.bashrc.new && mv ~/.bashrc.new ~/.bashrc",
                    input=line, check=True)
    yield "ZB_BROKEN"
    bed.run_as_user("sed -i '/# zentrel paths test$/d' ~/.bashrc", check=True)


@pytest.mark.bed
@pytest.mark.parametrize("suffix", ["/x", "/x y"])   # through eval, and through printf
def test_line_break_after_expansion_refused(bed, work, make_node, private_home, broken_variable, suffix):
    node = make_node(node_id="paths_broken", **node_options(work))
    log = LogRecorder()
    node.set_log_callback(log)
    profile = bed.profile(remoteWorkDir=f"${broken_variable}{suffix}")
    with pytest.raises(NodeException) as caught:
        node.execute([], hpc_flow_vars(bed, profile=profile))
    assert (caught.value.origin, caught.value.message) == REFUSED
    assert [e for e in log.events if e[0] == "error"] == []
    assert bed.run_as_user("ls -d ~/zb_nl_* 2>/dev/null").stdout == ""
    assert not (work / ".zentrel_hpc_paths_broken.json").exists()
