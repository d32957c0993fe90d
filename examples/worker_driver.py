"""Runs the word counting node the way the engine's worker runs a node.

    python -m examples.worker_driver --host H --port P --user U --key KEY \\
        --remote-work-dir DIR --redis-port N --workdir W [--report R.json]
    python -m examples.worker_driver --local-only --workdir W [--redis-port N]

1. Cluster run: installs a logging callback that forwards every cluster event
   of the node to `stream_log` (source "hpc"), sets the stream context, then
   calls `execute` with "_hpc_options" naming the cluster profile, once a
   second, until the job has completed or failed.  Each state is printed.
2. Local run: the same node, `execute` with execution mode "local".
3. A call of `post_with_progress` to a slow HTTP service started here, so
   that its waiting lines are streamed.

With --local-only the cluster run is left out: no cluster is needed, and
without --redis-port no Redis either (publication is best effort).

Log lines reach Redis (channel "zentrel:logs") on REDIS_HOST/REDIS_PORT,
which this driver sets from its arguments.  A JSON report of everything that
happened is written with --report.  The compiled modules and the engine's
zentrel_core package (here the stand-in, ``standin/``, which tools/setup.sh
installs beside them) must be importable.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import shutil
import sys
import threading
import time
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from zentrel_core.node import NodeException
from zentrel_core.parameters import IntegerParameter, StringParameter
from zentrel_core.pulsewire import post_with_progress, set_stream_context, stream_log

from examples.wordcount_node import WordCountNode, read_template

NODE_ID = "wordcount_1"
NODE_KEY = "wordcount"
WORKFLOW_ID = "demo-workflow"
PROFILE_ID = "embedded-localhost"
SAMPLE_INPUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sample_input.txt")

# Parameters of stream_log that a cluster event's metadata must not fill:
# `job_id` becomes `slurm_job_id` (the SLURM job, not the run), the others
# get an "hpc_" prefix.
_STREAM_LOG_PARAMETERS = frozenset(
    ("message", "level", "source", "node_id", "workflow_id", "job_id", "progress", "component"))

_TERMINAL_FAILURES = frozenset(("failed", "cancelled", "timeout", "node_fail"))


def say(text: str) -> None:
    # one write per line: the demo's log relay shares the terminal
    sys.stdout.write(f"[worker] {text}\n")
    sys.stdout.flush()


def make_log_forwarder(log=None):
    """Logging callback for `set_log_callback`: forwards each cluster event to
    `stream_log` with source "hpc" and the event's metadata as extra
    keywords, so that it travels to the UI with the run's stream context."""
    def forward(level, message, /, **metadata):
        extra = {}
        for key, value in metadata.items():
            if key == "job_id":
                key = "slurm_job_id"
            elif key in _STREAM_LOG_PARAMETERS:
                key = "hpc_" + key
            extra[key] = value
        (log or stream_log)(message, level=level, source="hpc", **extra)
    return forward


# ---- a slow HTTP service for post_with_progress --------------------------

class SlowService:
    """HTTP service on 127.0.0.1 that answers each POST after `delay` seconds
    with {"status": "ok", "received": <the posted JSON>}."""

    def __init__(self, delay: float):
        delay_s = delay

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length") or 0)
                try:
                    received = json.loads(self.rfile.read(length) or b"null")
                except ValueError:
                    received = None
                time.sleep(delay_s)
                body = json.dumps({"status": "ok", "received": received}).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):  # keep the terminal for the demo's lines
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/analyse"
        self._thread = threading.Thread(target=self.server.serve_forever, name="slow-service", daemon=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()


# ---- the runs ------------------------------------------------------------

def make_profile(args) -> dict:
    """HPC profile as the engine's Settings → HPC Profiles stores it."""
    return {
        "host": args.host,
        "port": args.port,
        "username": args.user,
        "remoteWorkDir": args.remote_work_dir,
        "authMethod": "key",
        "keyFilename": args.key,
    }


def prepare_input(workdir: str, name: str, source: str) -> str:
    """Copies the input into its own directory under workdir: the node's
    outputs land next to its input, so each run gets its own directory."""
    directory = os.path.join(workdir, name)
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, os.path.basename(source))
    shutil.copyfile(source, path)
    return path


def node_options(input_path: str, top_n: int, hpc_options: dict) -> dict:
    return {
        "input_file": StringParameter(label="Input File", value=input_path),
        "top_n": IntegerParameter(label="Top Words", value=top_n),
        "_hpc_options": hpc_options,
    }


def follow_cluster_job(node, flow_vars: dict, timeout: float, interval: float = 1.0) -> tuple[list, dict]:
    """Calls execute once per `interval` until the job completes or fails, as
    the worker does; returns every result and the last one."""
    results = []
    deadline = time.monotonic() + timeout
    while True:
        result = json.loads(node.execute([], flow_vars))
        results.append(result)
        status = result.get("remote_job_status")
        say(f"job {result.get('remote_job_id')}: {status} - {result.get('message')}")
        if status == "submitted" and len(results) > 1:
            say("warning: the job was submitted again (the previous one was no longer known to SLURM)")
        if status == "completed" or status in _TERMINAL_FAILURES or not result.get("success"):
            return results, result
        if time.monotonic() > deadline:
            raise TimeoutError(f"job {result.get('remote_job_id')} still {status} after {timeout:.0f} s")
        time.sleep(interval)


def list_files(directory: str) -> dict:
    return {name: os.path.getsize(os.path.join(directory, name))
            for name in sorted(os.listdir(directory))
            if os.path.isfile(os.path.join(directory, name)) and not name.startswith(".")}


def run_on_cluster(node, args, cluster_input: str, run_id: str, report: dict) -> None:
    """Runs the node as a SLURM job and follows it to its end; fills
    report["cluster"], and report["error"] unless the job completed."""
    hpc_options = {
        "execution_mode": "remote",
        "hpc_profile_id": PROFILE_ID,
        "hpc_profile": make_profile(args),
        "slurm_script": read_template(args.script),
        "force_resubmit": False,
        "download_large_files": args.download_large,
    }
    say(f"cluster run of {NODE_ID} on {args.user}@{args.host}:{args.port} (run {run_id})")
    results, final = follow_cluster_job(node, node_options(cluster_input, args.top_n, hpc_options), args.timeout)
    report["cluster"] = {
        "states": [r.get("remote_job_status") for r in results],
        "results": results,
        "files": list_files(os.path.dirname(cluster_input)),
        "dir": os.path.dirname(cluster_input),
    }
    if final.get("remote_job_status") != "completed":
        report["error"] = final.get("message")


def run(args, report: dict) -> None:
    """The three runs; what happened is filled into `report` as it happens,
    so that a failure still leaves what came before it."""
    os.environ["REDIS_HOST"] = args.redis_host
    if args.redis_port is not None:
        os.environ["REDIS_PORT"] = str(args.redis_port)
    run_id = args.run_id or f"run-{uuid.uuid4().hex[:8]}"
    report.update(run_id=run_id, node_id=NODE_ID, workflow_id=WORKFLOW_ID)

    cluster_input = prepare_input(args.workdir, "cluster", args.input)
    local_input = prepare_input(args.workdir, "local", args.input)
    node = WordCountNode(NODE_ID, NODE_KEY, working_path=os.path.dirname(cluster_input))
    node.set_log_callback(make_log_forwarder())
    set_stream_context(node_id=NODE_ID, workflow_id=WORKFLOW_ID, job_id=run_id)

    # 1. on the cluster
    if not args.local_only:
        run_on_cluster(node, args, cluster_input, run_id, report)
        if "error" in report:
            return

    # 2. the same node, locally
    say(f"local run of {NODE_ID}")
    local = json.loads(node.execute([], node_options(local_input, args.top_n, {"execution_mode": "local"})))
    report["local"] = {"result": local, "files": list_files(os.path.dirname(local_input)),
                       "dir": os.path.dirname(local_input)}
    say(f"local: {local.get('message')}")

    # 3. a slow service, with waiting lines while it thinks
    with SlowService(args.service_delay) as service:
        say(f"posting the top words to {service.url} (answers after {args.service_delay:g} s)")
        started = time.monotonic()
        response = post_with_progress(
            service.url, {"node": NODE_ID, "top_words": local.get("top_words", [])},
            {"User-Agent": "zentrel-demo-worker"}, 30, NODE_ID, "word-analysis service",
            cold_start_hint="a cold start takes a few seconds", progress_value=50, update_interval=1)
        report["post"] = {"status": response.status_code, "json": response.json(),
                          "seconds": round(time.monotonic() - started, 2)}
    say(f"service answered {response.status_code} after {report['post']['seconds']} s")


def parse_args(argv=None):
    parser = argparse.ArgumentParser(prog="python -m examples.worker_driver", description=__doc__.split("\n")[0])
    cluster = parser.add_argument_group("cluster profile")
    cluster.add_argument("--host")
    cluster.add_argument("--port", type=int, default=22)
    cluster.add_argument("--user")
    cluster.add_argument("--key", help="private key file for the SSH login")
    cluster.add_argument("--remote-work-dir")
    parser.add_argument("--local-only", action="store_true", help="leave out the cluster run")
    parser.add_argument("--redis-host", default="127.0.0.1")
    parser.add_argument("--redis-port", type=int, help="Redis port (default: REDIS_PORT as set)")
    parser.add_argument("--workdir", required=True, help="local directory for inputs, outputs and the state file")
    parser.add_argument("--input", default=SAMPLE_INPUT, help="text file to count (default: a sample text)")
    parser.add_argument("--top-n", type=int, default=5)
    parser.add_argument("--script", help="SLURM script template to use instead of the node's wordcount.slurm")
    parser.add_argument("--download-large", action="store_true", help="also download the large output file")
    parser.add_argument("--service-delay", type=float, default=3.0, help="seconds the slow service takes")
    parser.add_argument("--timeout", type=float, default=120.0, help="give up following the job after this")
    parser.add_argument("--run-id", help="job identifier of the run in the stream context")
    parser.add_argument("--report", help="write a JSON report of the runs to this file")
    parser.add_argument("--host-log", default="warning", help="level of the host log on stderr")
    args = parser.parse_args(argv)
    args.workdir = os.path.abspath(args.workdir)
    missing = [f"--{name.replace('_', '-')}" for name in ("host", "user", "key", "remote_work_dir")
               if getattr(args, name) is None]
    if missing and not args.local_only:
        parser.error(f"the cluster run needs {', '.join(missing)} (or --local-only)")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    logging.basicConfig(level=args.host_log.upper(), stream=sys.stderr,
                        format="[host-log] %(levelname)s %(message)s")
    report: dict = {}
    try:
        run(args, report)
    except NodeException as exc:
        say(f"node failed: {exc}")
        report["error"] = str(exc)
    except TimeoutError as exc:
        say(f"gave up: {exc}")
        report["error"] = str(exc)
    except KeyboardInterrupt:
        say("interrupted")
        report["error"] = "interrupted"
    code = 1 if "error" in report else 0
    if args.report:
        with open(args.report, "w", encoding="utf-8") as fh:
            json.dump(report, fh, indent=2)
    return code


if __name__ == "__main__":
    sys.exit(main())
