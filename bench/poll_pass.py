"""A poll pass of a cluster node against the test bed's real sshd and SLURM,
against bare paramiko making the same round trips.

The poll pass is `execute` of a node whose recorded job is running: connect,
expand the remote work directory (`bash -c 'eval echo "DIR"'`), open SFTP,
ask `squeue` for the job's state, close.  The bare column makes exactly those
calls with paramiko on the calling thread, reading each command's output and
exit status.  The two are interleaved pass by pass (order flipped every
pair) and each pass is timed on its own, so that drifts of a shared machine
hit both alike; the medians are compared.  A second bare column measured the
same way shows the noise floor of the comparison.  The module sends with
TCP_NODELAY (Nagle's algorithm made downloads on threads crawl), which also
shortens each round trip; the "bare nodelay" column sets it too, so the
module against that column is the cost of the pass worker and the module's
own steps.  The "module kept" column is the same poll pass with
"keepConnection" in the profile: after its first pass it takes the kept
connection (no handshake, no login) and keeps it again at the end; the
target is at most a quarter of a fresh pass.  The node's log lines go to
a no-op callback (the engine's logger is not ours to measure).

    PYTHONPATH=standin:build/dev/pkg:. python bench/poll_pass.py [pairs]   (as root; default 40)
"""

import json
import socket
import statistics
import sys
import time

import paramiko

from _bed_bench import bed_with_home, print_medians, quiet_node, remote_vars, wait_for
from zentrel_core.clusterlane import ClusterlaneBase


class PollNode(ClusterlaneBase):
    def get_input_files(self, flow_vars):
        return []

    def get_output_files(self, flow_vars):
        return []

    def get_template_variables(self, flow_vars):
        return {}

    def run_local(self, predecessor_data, flow_vars):
        return {"success": True}


def bare_pass(profile, job_id, no_delay=False):
    ssh = paramiko.SSHClient()
    ssh.set_missing_host_key_policy(paramiko.AutoAddPolicy())
    ssh.load_system_host_keys()
    ssh.connect(hostname=profile["host"], port=profile["port"], username=profile["username"],
                key_filename=profile["keyFilename"])
    if no_delay:
        ssh.get_transport().sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        _, out, err = ssh.exec_command(f"bash -c 'eval echo \"{profile['remoteWorkDir']}\"'")
        out.read(), err.read(), out.channel.recv_exit_status()
        ssh.open_sftp()
        _, out, err = ssh.exec_command(f"squeue -j {job_id} -h -o %T 2>/dev/null")
        state = out.read().decode().strip()
        err.read()
    finally:
        ssh.close()
    return state


def main() -> None:
    pairs = int(sys.argv[1]) if len(sys.argv) > 1 else 40
    with bed_with_home() as (bed, work):
        profile = bed.profile()
        flow_vars = remote_vars(profile, "#!/bin/bash\nsleep 600\n")
        node = quiet_node(PollNode, "bench_poll", work)
        job_id = json.loads(node.execute([], flow_vars))["remote_job_id"]
        wait_for(lambda: bare_pass(profile, job_id) == "RUNNING", 30, "start")

        kept_vars = {"_hpc_options": dict(flow_vars["_hpc_options"],
                                          hpc_profile=dict(profile, keepConnection=60))}

        def module_pass():
            result = json.loads(node.execute([], flow_vars))
            assert result["remote_job_status"] == "running", result

        def module_kept():
            result = json.loads(node.execute([], kept_vars))
            assert result["remote_job_status"] == "running", result

        def bare():
            assert bare_pass(profile, job_id) == "RUNNING"

        def bare_no_delay():
            assert bare_pass(profile, job_id, no_delay=True) == "RUNNING"

        module_kept()  # the connection the kept column goes on with
        columns = {"module": (module_pass, []), "module kept": (module_kept, []), "bare": (bare, []),
                   "bare again": (bare, []), "bare nodelay": (bare_no_delay, [])}
        for i in range(pairs):
            order = list(columns.values())
            for call, times in order if i % 2 else reversed(order):
                started = time.perf_counter()
                call()
                times.append(time.perf_counter() - started)
        bed.run_as_user(f"scancel {job_id}")

    times = {label: column for label, (_, column) in columns.items()}
    print_medians("pass", times, f"{pairs} passes each",
                  ratios=[("vs bare", statistics.median(times["bare"])),
                          ("vs module", statistics.median(times["module"]))])


if __name__ == "__main__":
    main()
