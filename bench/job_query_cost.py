"""What the job query costs a submission: the command each submission now
sends before its uploads (`cd DIR && pwd -P && squeue -h -u "$USER" -o
'%i|%T|%Z'`), timed over one SSH connection to the test bed, next to
`mkdir -p DIR` (a command every submission already sent) and to whole
submitting passes of a node (connect, mkdir, job query, upload, sbatch).
The job query is timed with no job of the user and with `jobs` queued jobs.

    python bench/job_query_cost.py [rounds] [jobs]   (as root; default 30, 20)
"""

import json
import socket
import statistics
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT), str(ROOT / "standin"), str(ROOT / "tests")]

import paramiko  # noqa: E402

from testbed import Testbed  # noqa: E402


def timed(ssh, command, rounds):
    samples = []
    for _ in range(rounds):
        started = time.perf_counter()
        _, out, err = ssh.exec_command(command)
        out.read()
        err.read()
        out.channel.recv_exit_status()
        samples.append((time.perf_counter() - started) * 1000)
    return samples


def show(label, samples):
    print(f"{label:<44}{statistics.median(samples):>9.1f}{min(samples):>9.1f}{max(samples):>9.1f}")


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    jobs = int(sys.argv[2]) if len(sys.argv) > 2 else 20
    with Testbed(redis=False) as bed:
        job_dir = f"{bed.remote_work_dir}/job_bench"
        query = f"cd {job_dir} && pwd -P && squeue -h -u \"$USER\" -o '%i|%T|%Z'"
        ssh = paramiko.SSHClient()
        ssh.load_host_keys(bed.known_hosts_path)
        ssh.connect(bed.ssh_host, port=bed.ssh_port, username=bed.ssh_user, key_filename=bed.key_path,
                    look_for_keys=False, allow_agent=False)
        # as the module's passes send: without Nagle's delay
        ssh.get_transport().sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        print(f"{'command (ms)':<44}{'median':>9}{'min':>9}{'max':>9}   ({rounds} rounds)")
        show("mkdir -p DIR", timed(ssh, f"mkdir -p {job_dir}", rounds))
        show("job query, no job", timed(ssh, query, rounds))
        bed.run_as_user(f"cd {bed.remote_work_dir} && for i in $(seq {jobs}); do sbatch -H --wrap 'sleep 1' "
                        ">/dev/null; done", check=True)
        show(f"job query, {jobs} held jobs of the user", timed(ssh, query, rounds))
        bed.run_as_user("scancel -u \"$USER\"")
        ssh.close()

        from nodes import SampleNode
        work = Path(tempfile.mkdtemp())
        (work / "in.txt").write_text("x")
        options = {"execution_mode": "remote", "hpc_profile_id": "bed", "hpc_profile": bed.profile(),
                   "slurm_script": "#!/bin/bash\ntrue\n"}
        passes = []
        for i in range(min(rounds, 10)):
            node = SampleNode(f"bench_{i}", working_path=work, inputs=[str(work / "in.txt")], outputs=[])
            started = time.perf_counter()
            result = json.loads(node.execute([], {"_hpc_options": options}))
            passes.append((time.perf_counter() - started) * 1000)
            assert result["remote_job_status"] == "submitted", result
        show("whole submitting pass", passes)


if __name__ == "__main__":
    main()
