"""The reaper of the test bed on plain processes (no daemons): it ends what a
dead bed recorded, their descendants and what works in the bed's directory,
and nothing else, whatever its name."""
import json
import subprocess
import tempfile
import time

from testbed import reap_leftovers
from testbed.procs import descendants, read_proc, snapshot
from testbed.reaper import Ledger


def gone(pid):
    proc = read_proc(pid)
    return proc is None or proc.state == "Z"


def test_reaper_ends_only_what_a_dead_bed_started(tmp_path, monkeypatch):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    dead, live = tmp_path / "zentrel-bed-dead", tmp_path / "zentrel-bed-live"
    dead.mkdir()
    live.mkdir()
    owner = subprocess.Popen(["true"])
    owner.wait()
    (dead / "owner.json").write_text(json.dumps({"pid": owner.pid, "start": "1"}))
    Ledger(live).claim()

    sleep = ["sleep", "300"]
    daemon = subprocess.Popen(["bash", "-c", "sleep 300 & wait"], start_new_session=True)
    Ledger(dead).add_process("daemon", daemon.pid)
    step = subprocess.Popen(sleep, cwd=dead)            # a job step, known by where it works
    stranger = subprocess.Popen(sleep)                   # same command, nobody's
    reused = subprocess.Popen(sleep)                     # recorded pid, but another process now
    with open(dead / "ledger.jsonl", "a") as fh:
        fh.write(json.dumps({"process": "old", "pid": reused.pid, "start": "0"}) + "\n")
    other_bed = subprocess.Popen(sleep, cwd=live)
    deadline = time.monotonic() + 5
    while not (child := descendants(snapshot(), {daemon.pid})):
        assert time.monotonic() < deadline
        time.sleep(0.05)
    try:
        killed = reap_leftovers(user="zentrel-no-such-user")
        assert set(killed) == {daemon.pid, step.pid} | child
        assert all(gone(pid) for pid in killed)
        assert [p.poll() for p in (stranger, reused, other_bed)] == [None, None, None]
        assert not dead.exists() and live.exists()
    finally:
        for p in (daemon, step, stranger, reused, other_bed):
            p.kill()
            p.wait()
