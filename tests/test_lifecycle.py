"""One pass of _run_remote: profile checks, connection arguments, the host
key handling, what each SLURM state of the recorded job leads to, the
completed-job result, and how every failure is mapped and the client closed.
SSH faults at chosen steps and chosen SLURM answers come from a scripted
client; the real cluster is exercised in test_cluster_e2e."""
import os
import signal
import socket
import sys
import threading
import time
import types

import paramiko
import pytest

from fakessh import PROFILE, LogRecorder, expansion_of, install, options, submitting_cluster
from nodes import ScriptedNode
from zentrel_core.node import NodeException
from zentrel_core.parameters import BooleanParameter

JOB_DIR = "/scratch/alice/job_n1"
PREVIOUS = {"success": True, "remote_job_status": "submitted", "remote_job_id": "123",
            "remote_job_dir": JOB_DIR, "message": "Job submitted with ID: 123"}


@pytest.fixture
def ssh(monkeypatch):
    return submitting_cluster(monkeypatch)


def run(node, opts=None, flow_vars=None):
    log = LogRecorder()
    node.set_log_callback(log)
    return node._run_remote([], flow_vars or {}, options() if opts is None else opts), log


def raised(node, opts=None, flow_vars=None):
    with pytest.raises(NodeException) as caught:
        run(node, opts, flow_vars)
    return caught.value.origin, caught.value.message


# ---------------------------------------------------------------- before connecting

@pytest.mark.parametrize("opts, message", [
    ({}, "HPC profile data not provided. Please select an HPC profile in the Advanced Options panel."),
    ({"hpc_profile": {}}, "HPC profile data not provided. Please select an HPC profile in the Advanced Options panel."),
    ({"hpc_profile": {"host": "  ", "username": "a", "port": 22}},
     "HPC profile is missing required fields: host, remoteWorkDir. Please check your HPC profile configuration "
     "in Settings."),
    ({"hpc_profile": {"host": 10, "username": None, "remoteWorkDir": "\t"}},
     "HPC profile is missing required fields: username, remoteWorkDir. Please check your HPC profile "
     "configuration in Settings."),
    ({"hpc_profile": dict(PROFILE), "slurm_script": ""}, "SLURM script is required for remote execution."),
])
def test_configuration_errors_before_any_connection(make_node, monkeypatch, host_log, opts, message):
    created = []
    monkeypatch.setattr(paramiko, "SSHClient", lambda: created.append(1))
    assert raised(make_node(scripted=True), opts) == ("configuration", message)
    assert created == []


def test_validation_log_masks_the_passphrase(make_node, monkeypatch, host_log):
    profile = {"host": "h", "username": "", "remoteWorkDir": "/w", "keyPassphrase": "s3cret"}
    raised(make_node(scripted=True), {"hpc_profile": profile})
    assert host_log.calls == [(("HPC profile validation failed. Profile data: {'host': 'h', 'username': '', "
                                "'remoteWorkDir': '/w', 'keyPassphrase': '***'}",), {})]
    assert profile["keyPassphrase"] == "s3cret"


def test_validation_log_masks_a_passphrase_in_any_mapping(make_node, monkeypatch, host_log):
    profile = types.MappingProxyType({"host": "h", "keyPassphrase": "s3cret", "nested": {"keyPassphrase": "x"}})
    raised(make_node(scripted=True), {"hpc_profile": profile})
    assert host_log.messages == ["HPC profile validation failed. Profile data: {'host': 'h', 'keyPassphrase': "
                                 "'***', 'nested': {'keyPassphrase': '***'}}"]


@pytest.mark.parametrize("passphrase", [b"s3cret", ["s3cret", 1], {"s3cret": 1}, 1234567],
                         ids=["bytes", "list", "dict", "int"])
@pytest.mark.parametrize("shape", ["dict", "UserDict", "mappingproxy", "nested", "parameter"])
def test_passphrase_of_any_type_is_masked_in_every_text(make_node, ssh, host_log, passphrase, shape):
    """Diagnostic lines, the validation line, the error line and the
    exception text of a failure whose text shows the options."""
    import collections

    from zentrel_core.parameters import StringParameter

    def flow_vars(username):
        profile = dict(PROFILE, username=username, keyPassphrase=passphrase)
        if shape == "nested":
            profile["jump"] = {"keyPassphrase": passphrase}
        wrap = {"UserDict": collections.UserDict, "mappingproxy": types.MappingProxyType}.get(shape, dict)
        opts = options(wrap(profile))
        return {"_hpc_options": StringParameter(value=opts) if shape == "parameter" else opts}

    texts = []
    for username in ("", "alice"):  # invalid, then valid with a failing connect
        fv = flow_vars(username)
        ssh.fail("connect", paramiko.SSHException(f"refused: {fv}"))
        with pytest.raises(NodeException) as caught:
            make_node(scripted=True).execute([], fv)
        texts += [str(caught.value)]
    texts += [str(m) for m in host_log.messages]
    shown = [repr(passphrase), str(passphrase), "s3cret", "1234567"]
    assert not [t for t in texts if any(s in t for s in shown)]
    [validation] = [m for m in host_log.messages if m.startswith("HPC profile validation failed")]
    assert "'keyPassphrase': '***'" in validation and "refused" in texts[1]


@pytest.mark.parametrize("field, value", [
    ("port", 0), ("port", 65536), ("port", 120031), ("port", True), ("port", 22.0), ("port", "22a"),
    ("port", ""), ("port", "\uff12\uff12"), ("port", None), ("port", "99999999999999999999999"),
    ("ioTimeout", 0), ("ioTimeout", -1.5), ("ioTimeout", float("inf")), ("ioTimeout", float("nan")),
    ("ioTimeout", True), ("ioTimeout", "30"), ("ioTimeout", None),
])
def test_port_and_io_timeout_are_checked_before_connecting(make_node, monkeypatch, field, value):
    created = []
    monkeypatch.setattr(paramiko, "SSHClient", lambda: created.append(1))
    origin, message = raised(make_node(scripted=True), options(dict(PROFILE, **{field: value})))
    assert origin == "configuration" and created == []
    assert message == {"port": "HPC profile field 'port' must be a whole number from 1 to 65535",
                       "ioTimeout": "HPC profile field 'ioTimeout' must be a positive number of seconds"}[field]


def test_port_is_checked_before_io_timeout(make_node, monkeypatch):
    origin, message = raised(make_node(scripted=True), options(dict(PROFILE, port=0, ioTimeout=0)))
    assert "'port'" in message


@pytest.mark.parametrize("extra", [{"port": 65535}, {"port": "00022"}, {"ioTimeout": 7.5}, {"ioTimeout": 10**400}])
def test_valid_port_and_io_timeout_pass(make_node, ssh, extra):
    result, _ = run(make_node(scripted=True), options(dict(PROFILE, **extra)))
    assert result["remote_job_status"] == "submitted"
    # a port given as text is sent as a number: "[host]:00022" would be a host key pattern ssh never writes
    assert ssh.connect_kwargs["port"] == int(extra.get("port", 22))


def test_missing_paramiko_is_a_dependency_error(make_node, monkeypatch):
    monkeypatch.setitem(sys.modules, "paramiko", None)
    assert raised(make_node(scripted=True)) == (
        "dependency", "Remote HPC execution requires paramiko. Install with: pip install paramiko")


def test_script_falls_back_to_the_node_attribute(make_node, ssh):
    node = make_node(scripted=True)
    node._slurm_script = "#!/bin/bash\nhostname\n"
    run(node, options(slurm_script=""))
    assert ssh.sftp.files[f"{JOB_DIR}/submit.sh"] == b"#!/bin/bash\nhostname\n"


# ---------------------------------------------------------------- connecting

HOME = os.path.expanduser("~")


@pytest.mark.parametrize("extra, kwargs", [
    ({}, {"port": 22}),
    ({"port": "2222", "keyFilename": "~/.ssh/id", "keyPassphrase": "pw"},
     {"port": 2222, "key_filename": f"{HOME}/.ssh/id", "passphrase": "pw"}),
    ({"authMethod": "key", "keyFilename": "/k", "keyPassphrase": ""}, {"port": 22, "key_filename": "/k"}),
    ({"authMethod": "agent", "keyFilename": "/k", "keyPassphrase": "pw"}, {"port": 22}),
    ({"keyPassphrase": "pw"}, {"port": 22}),
    ({"ioTimeout": 7}, {"port": 22, "timeout": 7.0, "banner_timeout": 7.0, "auth_timeout": 7.0}),
])
def test_connection_arguments(make_node, ssh, extra, kwargs):
    node = make_node(scripted=True)
    _, log = run(node, options(dict(PROFILE, **extra)))
    assert ssh.connect_kwargs == dict({"hostname": "hpc.example.org", "username": "alice"}, **kwargs)
    assert log.find("Connecting")[0][1:] == (
        f"Connecting to HPC cluster: hpc.example.org:{kwargs['port']}",
        {"hostname": "hpc.example.org", "port": kwargs["port"], "username": "alice"})


@pytest.mark.usefixtures("private_home")
def test_server_silent_after_its_banner_fails_within_the_io_timeout(make_node):
    server = socket.create_server(("127.0.0.1", 0))
    held = []

    def banner_then_nothing():
        conn, _ = server.accept()
        held.append(conn)
        conn.sendall(b"SSH-2.0-OpenSSH_9.2\r\n")

    threading.Thread(target=banner_then_nothing, daemon=True).start()
    profile = dict(PROFILE, host="127.0.0.1", port=server.getsockname()[1], ioTimeout=3)
    started = time.monotonic()
    try:
        origin, message = raised(make_node(scripted=True), options(profile))
    finally:
        for conn in held + [server]:
            conn.close()
    assert time.monotonic() - started < 10
    assert origin in ("ssh", "remote_execution") and message.strip() not in ("", "SSH error connecting to 127.0.0.1:")


def test_known_hosts_are_loaded_before_connecting_and_new_hosts_accepted(make_node, ssh):
    run(make_node(scripted=True))
    names = [c[0] for c in ssh.calls]
    assert names[:3] == ["set_missing_host_key_policy", "load_system_host_keys", "connect"]
    assert ssh.calls[1] == ("load_system_host_keys", None)
    # never paramiko's AutoAddPolicy: it would save (rewrite) a known_hosts given to load_host_keys
    assert not isinstance(ssh.policy, paramiko.AutoAddPolicy) and callable(ssh.policy.missing_host_key)
    assert names[-1] == "close" and ssh.close_count == 1



def test_expanded_work_dir_is_logged_and_used(make_node, ssh):
    expansion_of(ssh, "~/scratch", "/home/alice/scratch")
    result, log = run(make_node(scripted=True), options(dict(PROFILE, remoteWorkDir="~/scratch")))
    assert ("debug", "Expanded remote work dir: ~/scratch -> /home/alice/scratch", {}) in log.events
    assert result["remote_job_dir"] == "/home/alice/scratch/job_n1"


# ---------------------------------------------------------------- failures and closing

FAULTS = [
    (paramiko.AuthenticationException("Authentication failed."), "authentication",
     "SSH authentication failed for alice@hpc.example.org. Please check your SSH key or credentials.",
     ("SSH authentication failed for alice@hpc.example.org", ["hostname", "username"])),
    (paramiko.SSHException("Error reading SSH protocol banner"), "ssh",
     "SSH error connecting to hpc.example.org: Error reading SSH protocol banner",
     ("SSH error: Error reading SSH protocol banner", ["hostname", "error"])),
    (socket.timeout("timed out"), "remote_execution", "timed out",
     ("Remote execution error: timed out", ["error"])),
    (ValueError("bad"), "remote_execution", "bad", ("Remote execution error: bad", ["error"])),
    (EOFError(), "remote_execution", "EOFError", ("Remote execution error: EOFError", ["error"])),
]


@pytest.mark.parametrize("step, match", [
    ("connect", None), ("exec_command", "^bash -c"), ("open_sftp", None),
    ("exec_command", "^mkdir"), ("put", None), ("file", None), ("exec_command", "sbatch"),
])
@pytest.mark.parametrize("exception, origin, message, logged", FAULTS, ids=lambda v: type(v).__name__)
def test_failures_are_mapped_and_the_client_closed(make_node, ssh, tmp_path, step, match, exception, origin, message,
                                                  logged):
    f = tmp_path / "in.dat"
    f.write_text("x")
    ssh.fail(step, exception, match)
    node = make_node(scripted=True, inputs=[str(f)])
    if isinstance(exception, TimeoutError) and step not in ("load_system_host_keys", "connect"):
        # once connected, any timeout means the server went silent
        message = "No answer from hpc.example.org for 300 seconds"
        logged = ("Remote execution error: " + message, ["error"])
    assert raised(node) == (origin, message)
    errors = [(m, list(meta)) for lvl, m, meta in node._log_callback.events if lvl == "error"]
    assert errors == [logged]
    assert ssh.close_count == 1 and ssh.calls[-1][0] == "close"
    assert node.saved == []


def test_bad_host_key_is_an_ssh_error(make_node, ssh):
    key_a = paramiko.Ed25519Key(data=bytes.fromhex(
        "0000000b7373682d6564323535313900000020" + "11" * 32))
    key_b = paramiko.Ed25519Key(data=bytes.fromhex(
        "0000000b7373682d6564323535313900000020" + "22" * 32))
    ssh.fail("connect", paramiko.BadHostKeyException("hpc.example.org", key_a, key_b))
    origin, message = raised(make_node(scripted=True))
    assert origin == "ssh" and message.startswith("SSH error connecting to hpc.example.org: Host key for server")
    assert ssh.closed


def test_interrupt_passes_unchanged_and_closes(make_node, ssh):
    ssh.fail("open_sftp", KeyboardInterrupt())
    with pytest.raises(KeyboardInterrupt):
        run(make_node(scripted=True))
    assert ssh.close_count == 1


@pytest.mark.parametrize("link", ["__context__", "__cause__"])
def test_interrupt_turned_into_a_library_error_still_stops_the_pass(make_node, ssh, link):
    interrupt = KeyboardInterrupt()
    error = paramiko.SSHException("Server connection dropped: ")
    setattr(error, link, EOFError())
    setattr(getattr(error, link), "__context__", interrupt)
    ssh.fail("put", error)
    node = make_node(scripted=True, inputs=[__file__])
    with pytest.raises(KeyboardInterrupt) as caught:
        run(node)
    assert caught.value is interrupt
    assert ssh.close_count == 1
    assert not [e for e in node._log_callback.events if e[0] == "error"]


def test_timeout_absorbed_by_an_override_still_fails_the_pass(ssh):
    class Forgiving(ScriptedNode):
        def _get_slurm_job_status(self, ssh, job_id):
            try:
                return super()._get_slurm_job_status(ssh, job_id)
            except TimeoutError:
                return "RUNNING"

    answer = ssh.exec_command

    def slow_squeue(command):
        if command.startswith("squeue"):
            time.sleep(0.3)  # longer than the ioTimeout below: the wait gives up
        return answer(command)

    ssh.exec_command = slow_squeue
    origin, message = raised(Forgiving(previous={"remote_job_id": "5"}), options(dict(PROFILE, ioTimeout=0.05)))
    assert (origin, message) == ("remote_execution", "No answer from hpc.example.org for 0.05 seconds")


@pytest.mark.parametrize("command, previous, program", [
    ("^bash -c", None, "bash"), ("^squeue", PREVIOUS, "squeue"), ("sbatch submit.sh$", None, "sbatch")])
@pytest.mark.parametrize("stream", ["stdout", "stderr"])
def test_answer_over_16_mib_fails_the_pass_with_nothing_recorded(make_node, ssh, command, previous, program, stream):
    ssh.reply(command, **{stream: b"x" * (16 * 1024 * 1024 + 1)})
    node = make_node(scripted=True, previous=previous and dict(PREVIOUS))
    assert raised(node) == ("remote_execution", f"[slurm] The cluster's answer to {program} exceeds 16 MiB")
    assert node.saved == [] and ssh.closed and ssh.transport.closed  # the flood stopped with the connection


def test_answer_of_exactly_16_mib_is_read(make_node, ssh):
    ssh.reply("^squeue", stdout=b"RUNNING" + b" " * (16 * 1024 * 1024 - 7))
    result, _ = run(make_node(scripted=True, previous=dict(PREVIOUS)))
    assert result["remote_job_status"] == "running"


def test_ssh_calls_run_on_a_worker_and_host_callbacks_here(make_node, ssh, monkeypatch):
    # the host's signal dispositions are not the module's business
    for name in ("signal", "getsignal", "set_wakeup_fd"):
        monkeypatch.setattr(signal, name, lambda *a: pytest.fail(f"signal.{name} called"))
    threads = {}
    for method in ("exec_command", "open_sftp", "close"):
        def on_thread(*args, _method=method, _call=getattr(ssh, method)):
            threads.setdefault(_method, set()).add(threading.current_thread())
            return _call(*args)
        setattr(ssh, method, on_thread)
    node = make_node(scripted=True)
    log = LogRecorder()
    node.set_log_callback(lambda *args, **kw: (threads.setdefault("log", set()).add(threading.current_thread()),
                                               log(*args, **kw)))
    before = threading.active_count()
    node._run_remote([], {}, options())
    workers = threads["exec_command"] | threads["open_sftp"] | threads["close"]
    assert len(workers) == 1 and threading.current_thread() not in workers
    assert threads["log"] == {threading.current_thread()}
    assert threading.active_count() == before  # the worker has ended with the pass


def test_undecodable_remote_output_is_a_remote_execution_error(make_node, ssh):
    ssh.reply("^mkdir", stderr=b"\xff\xfe", status=1)
    origin, message = raised(make_node(scripted=True))
    assert origin == "remote_execution" and "can't decode byte 0xff" in message
    assert ssh.closed


def test_failing_log_in_a_failure_clause_still_closes(make_node, ssh):
    ssh.fail("connect", ValueError("bad"))
    node = make_node(scripted=True)

    def broken_log(level, message, **metadata):
        if level == "error":
            raise OSError("log down")

    node._hpc_log = broken_log
    with pytest.raises(OSError, match="log down"):
        node._run_remote([], {}, options())
    assert ssh.close_count == 1


# ---------------------------------------------------------------- the recorded job

ALIVE = ["RUNNING", "PENDING", "CONFIGURING", "COMPLETING", "SUSPENDED", "STOPPED", "SIGNALING", "STAGE_OUT",
         "REQUEUED", "REQUEUE_HOLD", "REQUEUE_FED", "RESIZING", "RESV_DEL_HOLD"]
ENDED = ["FAILED", "CANCELLED", "TIMEOUT", "NODE_FAIL"]


@pytest.mark.parametrize("state", ALIVE)
def test_job_slurm_still_holds_is_reported_not_resubmitted(make_node, ssh, state):
    ssh.reply("^squeue", stdout=state.lower() + "\n")
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    result, log = run(node)
    assert result == {"success": True, "remote_job_status": state.lower(), "remote_job_id": "123",
                      "message": f"Job is {state.lower()}"}
    assert ssh.commands[1:] == ["squeue -j 123 -h -o %T 2>/dev/null"]
    assert ssh.sftp.files == {} and node.saved == []
    assert log.events[3:] == [("info", "Checking existing job status: 123", {"job_id": "123"}),
                              ("info", f"SLURM job status: {state}", {"job_id": "123", "status": state})]


@pytest.mark.parametrize("squeue, sacct, state", [(s, "", s) for s in ENDED] + [("", "CANCELLED+", "CANCELLED")])
def test_ended_job_asks_for_force_resubmit(make_node, ssh, squeue, sacct, state):
    ssh.reply("^squeue", stdout=squeue).reply("^sacct", stdout=sacct)
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    result, log = run(node)
    low = state.lower()
    assert result == {"success": False, "remote_job_status": low, "remote_job_id": "123",
                      "message": f"Previous job {low}. Set 'Force Resubmit' to try again."}
    assert log.events[-1] == ("warning", f"Previous job {low}", {"job_id": "123", "status": state})
    assert node.saved == [] and not any("sbatch" in c for c in ssh.commands)


@pytest.mark.parametrize("state", ["UNKNOWN", "PREEMPTED", "BOOT_FAIL"])
def test_gone_job_is_replaced_by_a_new_submission(make_node, ssh, state):
    if state != "UNKNOWN":
        ssh.reply("^squeue", stdout=state)
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    result, _ = run(node)
    assert result["remote_job_id"] == "917" and node.saved == [result]


@pytest.mark.parametrize("ping, resubmitted", [
    (dict(stdout="Slurmctld(primary) at ctl is DOWN\n", status=1), False),
    (dict(stdout="Slurmctld(primary) at ctl is UP\n", status=0), True),
    (dict(stderr="bash: scontrol: command not found\n", status=127), True),
])
def test_unknown_job_is_not_resubmitted_while_the_controller_is_down(make_node, ssh, ping, resubmitted):
    ssh.reply("^scontrol ping$", **ping)
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    if resubmitted:
        assert run(node)[0]["remote_job_id"] == "917"
        return
    assert raised(node) == ("remote_execution", "[slurm] SLURM controller unreachable; state of job 123 unknown, "
                                                "nothing resubmitted")
    assert ssh.commands[-1] == "scontrol ping" and node.saved == [] and ssh.closed


def test_controller_is_asked_only_when_the_state_is_unknown(make_node, ssh):
    ssh.reply("^squeue", stdout="PREEMPTED").reply("^scontrol ping$", stdout="... is DOWN", status=1)
    run(make_node(scripted=True, previous=dict(PREVIOUS)))
    assert "scontrol ping" not in ssh.commands


def test_job_that_cannot_be_recorded_is_not_submitted(make_node, ssh, tmp_path):
    missing = tmp_path / "gone"
    node = make_node(scripted=True, working_path=str(missing))
    assert raised(node) == ("remote_execution", f"[state] Cannot record the job in {missing}/.zentrel_hpc_n1.json: "
                                                "No such file or directory; nothing submitted")
    assert ssh.commands == ["bash -c 'eval echo \"/scratch/alice\"'"] and ssh.sftp.files == {}
    assert not missing.exists() and ssh.closed


@pytest.mark.parametrize("opts, flow_vars, shown", [
    (options(force_resubmit=True), {}, "True"),
    (options(force_resubmit="yes"), {}, "yes"),                 # the options' value as found
    (options(force_resubmit=False), {"force_resubmit": BooleanParameter(default=False, value=True)}, "True"),
    (options(), {"force_resubmit": "false"}, "True"),   # any non-empty text counts as set
])
def test_force_resubmit_skips_the_recorded_job(make_node, ssh, opts, flow_vars, shown):
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    result, log = run(node, opts, flow_vars)
    assert log.events[0] == ("debug", f"force_resubmit = {shown}", {})
    assert not any(c.startswith(("squeue", "sacct")) for c in ssh.commands)
    assert result["remote_job_id"] == "917"


@pytest.mark.parametrize("previous", [None, {}, {"remote_job_id": ""}, {"remote_job_status": "submitted"}])
def test_no_usable_record_submits(make_node, ssh, previous):
    result, _ = run(make_node(scripted=True, previous=previous))
    assert result["remote_job_status"] == "submitted"
    assert not any(c.startswith("squeue") for c in ssh.commands)


def test_non_text_job_id_is_refused_without_resubmitting(make_node, ssh):
    node = make_node(scripted=True, previous=dict(PREVIOUS, remote_job_id=123))
    origin, message = raised(node)
    assert origin == "remote_execution" and "job_id" in message
    assert ssh.commands == ["bash -c 'eval echo \"/scratch/alice\"'"] and node.saved == []


# ---------------------------------------------------------------- completed job

@pytest.mark.parametrize("summary, data, message", [
    ({"downloaded": ["md.log"], "skipped": [], "remote_files": {}}, {"energy": 1.5, "local_dir": "/local/out"},
     "Job completed, results retrieved"),
    ({"downloaded": ["md.log"], "skipped": ["a.xtc", "b.trr"],
      "remote_files": {"a.xtc": {"remote_path": f"{JOB_DIR}/a.xtc"}, "b.trr": {"remote_path": f"{JOB_DIR}/b.trr"}}},
     {"energy": 1.5, "local_dir": "/local/out",
      "remote_files": {"a.xtc": {"remote_path": f"{JOB_DIR}/a.xtc"}, "b.trr": {"remote_path": f"{JOB_DIR}/b.trr"}},
      "skipped_large_files": ["a.xtc", "b.trr"]},
     "Job completed, results retrieved (2 large files skipped)"),
])
def test_completed_job_is_collected(make_node, ssh, summary, data, message):
    ssh.reply("^squeue", stdout="COMPLETED")
    opts = options(download_large_files=False)
    node = make_node(scripted=True, previous=dict(PREVIOUS), summary=summary,
                     result_data=lambda local_dir: {"energy": 1.5, "local_dir": local_dir})
    result, log = run(node, opts)
    assert result == {"success": True, "remote_job_status": "completed", "remote_job_id": "123",
                      "message": message, "data": data}
    assert list(result) == ["success", "remote_job_status", "remote_job_id", "message", "data"]
    assert node.retrievals == [(JOB_DIR, opts)]
    assert log.events[-2:] == [
        ("info", "Job completed, downloading output files", {"job_id": "123"}),
        ("info", "Results retrieved successfully",
         {"job_id": "123", "result_keys": list(data), "downloaded": 1, "skipped": len(summary["skipped"])})]
    assert node.saved == [] and ssh.closed


# ---------------------------------------------------------------- references

@pytest.mark.parametrize("squeue, fault", [("", None), ("RUNNING", None), ("COMPLETED", None),
                                           ("FAILED", None), ("", ValueError("bad"))])
def test_passes_keep_reference_counts(make_node, ssh, squeue, fault):
    ssh.reply("^squeue", stdout=squeue)
    if fault:
        ssh.fail("open_sftp", fault)
    node = make_node(scripted=True, previous=dict(PREVIOUS))
    node.set_log_callback(lambda level, message, **metadata: None)
    flow_vars, opts = {}, options()
    watched = (flow_vars, opts, opts["hpc_profile"], ssh, ssh.sftp, node)

    def passes(n):
        for _ in range(n):
            try:
                node._run_remote([], flow_vars, opts)
            except NodeException:
                pass
            # drop what the test doubles themselves keep from each pass
            node.retrievals.clear()
            node.calls.clear()
            if fault:
                fault.__traceback__ = None

    passes(5)
    before = [sys.getrefcount(o) for o in watched]
    passes(300)
    after = [sys.getrefcount(o) for o in watched]
    assert after == before


class OddStateNode(ScriptedNode):
    """A node whose status query is overridden and may answer with any value."""

    def __init__(self, state, **kwargs):
        super().__init__(**kwargs)
        self.state = state

    def _get_slurm_job_status(self, ssh, job_id):
        return self.state


@pytest.mark.parametrize("state", [None, b"RUNNING", 7, "RUNNING\udcff"])
def test_state_that_is_no_slurm_state_name_leads_to_a_new_submission(ssh, state):
    node = OddStateNode(state, previous=dict(PREVIOUS))
    result, log = run(node)
    assert result["remote_job_id"] == "917" and node.saved == [result]
    assert ("info", f"SLURM job status: {state}", {"job_id": "123", "status": state}) in log.events


# ---------------------------------------------------------------- exception chaining

def test_dependency_error_keeps_the_import_error_as_context(make_node, monkeypatch):
    monkeypatch.setitem(sys.modules, "paramiko", None)
    with pytest.raises(NodeException) as caught:
        run(make_node(scripted=True))
    assert isinstance(caught.value.__context__, ImportError)


@pytest.mark.parametrize("exception", [fault[0] for fault in FAULTS], ids=lambda v: type(v).__name__)
def test_error_log_runs_while_the_failure_is_handled(make_node, ssh, exception):
    ssh.fail("connect", exception)
    node = make_node(scripted=True)
    seen = []

    def recording_log(level, text, **metadata):
        if level == "error":
            seen.append(sys.exception())

    node._hpc_log = recording_log
    with pytest.raises(NodeException) as caught:
        node._run_remote([], {}, options())
    assert seen == [exception]
    assert caught.value.__context__ is exception
    assert sys.exception() is None


def test_failing_error_log_chains_to_the_original_failure(make_node, ssh):
    failure = ValueError("bad")
    ssh.fail("connect", failure)
    node = make_node(scripted=True)

    def broken_log(level, message, **metadata):
        if level == "error":
            raise OSError("log down")

    node._hpc_log = broken_log
    with pytest.raises(OSError) as caught:
        node._run_remote([], {}, options())
    assert caught.value.__context__ is failure
    assert ssh.close_count == 1


def test_lock_that_cannot_be_taken_warns_and_the_pass_goes_on(make_node, ssh, tmp_path):
    elsewhere = tmp_path / "created-through-the-link"
    lock = tmp_path / ".zentrel_hpc_n1.json.lock"
    lock.symlink_to(elsewhere)
    result, log = run(make_node(scripted=True))
    assert result["remote_job_status"] == "submitted"
    assert not elsewhere.exists() and lock.is_symlink()
    assert log.find("Cannot lock") == [("warning", f"Cannot lock {lock}: Too many levels of symbolic links; two "
                                                   "passes of this node at once may submit twice", {})]


def test_lock_file_is_private(make_node, ssh, tmp_path):
    run(make_node(scripted=True))
    assert (tmp_path / ".zentrel_hpc_n1.json.lock").stat().st_mode & 0o777 == 0o600
