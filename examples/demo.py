"""The demo: one node run on an embedded localhost cluster, with live logs.

    python -m examples.demo [--keep] [--input FILE] [--top-n N] [--download-large]

Brings up the test bed (redis-server, sshd and a single-node SLURM on
loopback, the same `testbed.Testbed` the tests use), subscribes to the Redis
channel "zentrel:logs" and prints every log entry as it arrives, runs the
worker driver (examples/worker_driver.py) against the bed as a separate
process, as the engine's worker would run, then shows the downloaded files
and the result data, and tears everything down, on Ctrl-C and failures too.
run-demo.sh installs what this needs and calls it.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import redis  # noqa: E402

from testbed import BedError, Testbed  # noqa: E402

CHANNEL = "zentrel:logs"
_TTY = sys.stdout.isatty()


def _style(code: str, text: str) -> str:
    return f"\033[{code}m{text}\033[0m" if _TTY else text


_LEVEL_STYLE = {"debug": "2", "info": "0", "warning": "33", "error": "31;1"}


def emit(line: str) -> None:
    """Writes a whole line at once: the relay thread and the driver process
    share the terminal, and print() writes the line break separately."""
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def say(text: str) -> None:
    emit(_style("1", f"==> {text}"))


class Spinner:
    """Shows that a slow step is alive: elapsed seconds on one line (on a
    terminal), or a line every few seconds otherwise."""

    def __init__(self, label: str):
        self.label = label
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self.started = time.monotonic()

    def _run(self):
        frames = "|/-\\"
        i = 0
        while not self._stop.wait(0.1 if _TTY else 5.0):
            elapsed = time.monotonic() - self.started
            if _TTY:
                print(f"\r    {frames[i % 4]} {self.label} {elapsed:4.1f} s", end="", flush=True)
                i += 1
            else:
                print(f"    ... {self.label} ({elapsed:.0f} s)", flush=True)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        if _TTY:
            print("\r\033[K", end="", flush=True)


def format_entry(entry: dict) -> str:
    """One log entry as a terminal line: time, level, node, source, message,
    progress and the metadata."""
    stamp = str(entry.get("timestamp", ""))
    clock = stamp[11:23] if len(stamp) >= 19 else stamp
    level = str(entry.get("level", ""))
    line = (f"  {clock:<12} {_style(_LEVEL_STYLE.get(level, '0'), f'{level.upper():<7}')} "
            f"{entry.get('node_id', '-'):<12} {entry.get('source', ''):<4} {entry.get('message', '')}")
    if "progress" in entry:
        filled = int(max(0.0, min(100.0, float(entry["progress"]))) // 10)
        line += _style("36", f"  [{'#' * filled}{'.' * (10 - filled)}] {entry['progress']:g}%")
    metadata = entry.get("metadata")
    if metadata:
        line += _style("2", "  (" + ", ".join(f"{k}={v}" for k, v in metadata.items()) + ")")
    return line


class LogRelay:
    """Subscriber to "zentrel:logs" that prints each entry as it arrives,
    as the server's relay forwards them to the UI.

    It also prints the worker's own lines (`print_in_order`), each after
    every entry that the worker published before writing that line: the
    line waits for a fence message published on a second channel of the
    same subscription, and Redis delivers a subscriber's messages in the
    order it took the PUBLISH commands, so the fence comes after the entries
    (the worker's publications have completed when it writes the line)."""

    FENCE_CHANNEL = "zentrel:demo-fence"

    def __init__(self, port: int):
        self.client = redis.Redis(host="127.0.0.1", port=port)
        self.pubsub = self.client.pubsub(ignore_subscribe_messages=False)
        self.entries: list[dict] = []
        self._waiting: dict[str, str] = {}  # fence token -> worker line
        self._tokens = itertools.count(1)
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="log-relay", daemon=True)

    def __enter__(self):
        channels = (CHANNEL, self.FENCE_CHANNEL)
        self.pubsub.subscribe(*channels)
        # only messages published after the confirmations are certain to arrive
        confirmed = 0
        deadline = time.monotonic() + 5
        while confirmed < len(channels) and time.monotonic() < deadline:
            message = self.pubsub.get_message(timeout=0.5)
            if message and message["type"] == "subscribe":
                confirmed += 1
        if confirmed < len(channels):
            raise RuntimeError(f"no subscription confirmation from Redis for {CHANNEL}")
        self._thread.start()
        return self

    def _run(self):
        while not self._stop.is_set():
            try:
                message = self.pubsub.get_message(timeout=0.2)
            except (redis.ConnectionError, ValueError):
                return
            if not message or message["type"] != "message":
                continue
            if message["channel"] == self.FENCE_CHANNEL.encode():
                with self._lock:
                    line = self._waiting.pop(message["data"].decode(), None)
                if line is not None:
                    emit(line)
                continue
            try:
                entry = json.loads(message["data"])
            except ValueError:
                emit(f"  (not a JSON entry: {message['data']!r})")
                continue
            self.entries.append(entry)
            emit(format_entry(entry))

    def print_in_order(self, line: str) -> None:
        """Prints a worker line after the entries published before it."""
        token = str(next(self._tokens))
        with self._lock:
            self._waiting[token] = line
        try:
            self.client.publish(self.FENCE_CHANNEL, token)
        except redis.RedisError:
            with self._lock:
                line = self._waiting.pop(token, None)
            if line is not None:
                emit(line)

    def drain(self, quiet_for: float = 0.3, at_most: float = 3.0) -> None:
        """Waits until every worker line is printed and no entry has arrived
        for `quiet_for` seconds; then prints any line still waiting."""
        deadline = time.monotonic() + at_most
        seen = -1
        while time.monotonic() < deadline and (seen != len(self.entries) or self._waiting):
            seen = len(self.entries)
            time.sleep(quiet_for)
        with self._lock:
            left, self._waiting = list(self._waiting.values()), {}
        for line in left:
            emit(line)

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=2)
        try:
            self.pubsub.close()
            self.client.close()
        except redis.RedisError:
            pass


def driver_command(bed: Testbed, workdir: str, report: str, args) -> list[str]:
    command = [
        sys.executable, "-m", "examples.worker_driver",
        "--host", bed.ssh_host, "--port", str(bed.ssh_port), "--user", bed.ssh_user,
        "--key", bed.key_path, "--remote-work-dir", bed.remote_work_dir,
        "--redis-port", str(bed.redis_port), "--workdir", workdir, "--report", report,
        "--top-n", str(args.top_n),
    ]
    if args.input:
        command += ["--input", os.path.abspath(args.input)]
    if args.download_large:
        command.append("--download-large")
    return command


def driver_env() -> dict:
    env = dict(os.environ)
    extra = [ROOT]
    if env.get("PYTHONPATH"):
        extra.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(extra)
    return env


def driver_home(bed: Testbed, workdir: str) -> str:
    """A home for the driver whose ~/.ssh/known_hosts lists the bed's host
    key: the bed's key is new on every bring-up, and pinning it into the
    real ~/.ssh/known_hosts would leave a stale line there per run."""
    home = os.path.join(workdir, "home")
    os.makedirs(os.path.join(home, ".ssh"), mode=0o700)
    shutil.copyfile(bed.known_hosts_path, os.path.join(home, ".ssh", "known_hosts"))
    return home


def run_driver(command: list[str], relay: LogRelay, home: str) -> int:
    """Runs the worker driver; its output lines go through the relay, so that
    each follows the log entries of the call it reports."""
    env = {**driver_env(), "HOME": home}
    proc = subprocess.Popen(command, cwd=ROOT, env=env, stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        for line in proc.stdout or ():
            relay.print_in_order(line.rstrip("\n"))
        return proc.wait()
    finally:
        # interrupted: a Ctrl-C has reached the driver from the terminal too,
        # a SIGTERM has not; either way it must be gone before the bed
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=3)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()


def show_results(report: dict, relay: LogRelay) -> None:
    cluster = report.get("cluster", {})
    if cluster:
        say(f"job states seen by the worker: {' -> '.join(cluster.get('states', []))}")
        say(f"files in the cluster run's local directory {cluster.get('dir')}:")
        for name, size in cluster.get("files", {}).items():
            print(f"    {size:>8} bytes  {name}")
        final = (cluster.get("results") or [{}])[-1]
        data = final.get("data")
        if data is not None:
            for name, info in data.get("remote_files", {}).items():
                print(f"    {'(left)':>8}        {name} on the cluster: {info.get('remote_path')}")
            say("result data of the cluster run:")
            for key, value in data.items():
                emit(f"    {key}: {json.dumps(value)}")
    local = report.get("local", {}).get("result")
    if local is not None and cluster:
        remote = dict((cluster.get("results") or [{}])[-1].get("data") or {})
        for key in ("remote_files", "skipped_large_files", "output_dir"):
            remote.pop(key, None)
        local = {k: v for k, v in local.items() if k != "output_dir"}
        same = "the same" if remote == local else "DIFFERENT"
        say(f"local run: {local.get('message')} -- {same} result data as the cluster run")
    if "post" in report:
        post = report["post"]
        say(f"slow service answered HTTP {post['status']} after {post['seconds']} s")
    by_source: dict = {}
    for entry in relay.entries:
        by_source[entry.get("source")] = by_source.get(entry.get("source"), 0) + 1
    say(f"log entries received on {CHANNEL}: {len(relay.entries)} "
        f"({', '.join(f'{n} from {s}' for s, n in by_source.items())})")


def unreadable(path: str) -> str | None:
    """Why the input file cannot be counted (checked before anything
    starts), or None."""
    try:
        with open(path, "rb") as fh:
            fh.read(1)
    except OSError as exc:
        return exc.strerror or str(exc)
    return None


def _interrupt(signum, frame):
    # SIGTERM tears down the same way as Ctrl-C
    raise KeyboardInterrupt


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m examples.demo", description=__doc__.split("\n")[0])
    parser.add_argument("--input", help="text file to count (default: a sample text)")
    parser.add_argument("--top-n", type=int, default=5)
    parser.add_argument("--download-large", action="store_true", help="also download the large output file")
    parser.add_argument("--keep", action="store_true", help="keep the local work directory")
    args = parser.parse_args(argv)
    if args.input is not None:
        problem = unreadable(args.input)
        if problem:
            print(f"error: cannot read the input file {args.input}: {problem}", file=sys.stderr)
            return 2
    signal.signal(signal.SIGTERM, _interrupt)

    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="zentrel-demo-")
    code = 1
    try:
        bed = Testbed(redis=True, ssh=True, slurm=True)
        say(f"bringing up the embedded cluster: {', '.join(bed.programs)}")
        try:
            with Spinner("starting services"):
                bed.start()
            say(f"cluster up in {time.monotonic() - started:.1f} s: SSH {bed.ssh_user}@{bed.ssh_host}:"
                f"{bed.ssh_port}, SLURM node {bed.slurm_node}, Redis 127.0.0.1:{bed.redis_port}")
            say(f"services under {bed.root}, cluster work directory {bed.remote_work_dir}, "
                f"local work directory {workdir}")
            report_path = os.path.join(workdir, "report.json")
            with LogRelay(bed.redis_port) as relay:
                say(f"subscribed to {CHANNEL}; live log entries follow (time UTC, level, node, source)")
                code = run_driver(driver_command(bed, workdir, report_path, args), relay,
                                  driver_home(bed, workdir))
                relay.drain()
                try:
                    with open(report_path, encoding="utf-8") as fh:
                        report = json.load(fh)
                except (OSError, ValueError):
                    report = {}
                show_results(report, relay)
            if code != 0:
                say(f"the worker failed (exit status {code}): {report.get('error', 'see above')}")
        finally:
            with Spinner("stopping services"):
                bed.stop()
    except BedError as exc:
        say(f"the embedded cluster did not come up: {exc}")
    except KeyboardInterrupt:
        say("interrupted; everything has been torn down")
        code = 130
    finally:
        if args.keep:
            say(f"work directory kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    say(f"demo {'finished' if code == 0 else 'failed'} in {time.monotonic() - started:.1f} s")
    return code


if __name__ == "__main__":
    sys.exit(main())
