"""Stream context, log entries and their publication on a real redis-server."""

import json
import logging
import re
import socket
import sys
import threading
from datetime import datetime, timezone

import pytest
import redis

from testbed import Testbed

import zentrel_core.logger
import zentrel_core.pulsewire as pulsewire

pytestmark = pytest.mark.bed

TIMESTAMP = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{6})?Z$")


@pytest.fixture(scope="module")
def redis_bed():
    with Testbed(redis=True, ssh=False, slurm=False) as bed:
        yield bed


@pytest.fixture
def redis_env(redis_bed, monkeypatch):
    monkeypatch.setenv("REDIS_HOST", "127.0.0.1")
    monkeypatch.setenv("REDIS_PORT", str(redis_bed.redis_port))
    return redis_bed


@pytest.fixture
def subscriber(redis_env):
    """Raw messages published on zentrel:logs while the test runs."""
    client = redis.Redis(host="127.0.0.1", port=redis_env.redis_port)
    pubsub = client.pubsub()
    pubsub.subscribe("zentrel:logs")
    assert pubsub.get_message(timeout=2)["type"] == "subscribe"

    def next_message():
        message = pubsub.get_message(ignore_subscribe_messages=True, timeout=2)
        assert message is not None, "nothing was published"
        return message["data"]

    yield next_message
    pubsub.close()
    client.close()


@pytest.fixture
def host_lines(monkeypatch, recorder):
    rec = recorder()
    monkeypatch.setattr(zentrel_core.logger, "log_message", rec)
    return rec


@pytest.fixture(autouse=True)
def fresh_context():
    pulsewire.clear_stream_context()
    yield
    pulsewire.clear_stream_context()


@pytest.fixture
def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def published_entry(raw: bytes) -> dict:
    """Checks the timestamp form and that the text is exactly json.dumps of the entry."""
    entry = json.loads(raw)
    assert TIMESTAMP.match(entry["timestamp"])
    assert raw == json.dumps(entry).encode()
    return entry


# ---------------------------------------------------------------- context

def test_context_is_replaced_whole_and_bad_types_change_nothing():
    assert pulsewire.get_stream_context() == {"node_id": None, "workflow_id": None, "job_id": None}
    pulsewire.set_stream_context("x1", "w1", "j1")
    snapshot = pulsewire.get_stream_context()
    snapshot["node_id"] = "changed"
    assert list(pulsewire.get_stream_context().items()) == [("node_id", "x1"), ("workflow_id", "w1"), ("job_id", "j1")]

    for bad in [dict(node_id=5), dict(job_id=b"j"), dict(workflow_id=type("S", (str,), {})("w"))]:
        with pytest.raises(TypeError, match=r"^Argument '\w+' has incorrect type \(expected str, got \w+\)$"):
            pulsewire.set_stream_context(**{"node_id": "n", "workflow_id": "w", "job_id": "j", **bad})
        assert pulsewire.get_stream_context()["node_id"] == "x1"

    pulsewire.set_stream_context(workflow_id="w2")
    assert pulsewire.get_stream_context() == {"node_id": None, "workflow_id": "w2", "job_id": None}
    pulsewire.clear_stream_context()
    assert vars(pulsewire._context) == {"node_id": None, "workflow_id": None, "job_id": None}


def test_each_thread_sees_only_its_own_context():
    seen = {}
    barrier = threading.Barrier(2)

    def worker(name):
        seen[name, "before"] = pulsewire.get_stream_context()
        pulsewire.set_stream_context(node_id=name)
        barrier.wait()
        seen[name, "after"] = pulsewire.get_stream_context()["node_id"]

    pulsewire.set_stream_context("main", "wm", "jm")
    threads = [threading.Thread(target=worker, args=(n,)) for n in ("a", "b")]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert seen["a", "after"] == "a" and seen["b", "after"] == "b"
    assert seen["a", "before"] == {"node_id": None, "workflow_id": None, "job_id": None}
    assert pulsewire.get_stream_context()["node_id"] == "main"


# ---------------------------------------------------------------- stream_log

def test_entry_with_context_is_published_exactly(subscriber, host_lines):
    pulsewire.set_stream_context("x1", "w1", "j1")
    pulsewire.stream_log("Processing", progress=20)
    entry = published_entry(subscriber())
    assert list(entry) == ["timestamp", "source", "level", "message", "node_id", "workflow_id", "job_id", "progress"]
    assert entry["progress"] == 20.0 and b'"progress": 20.0' in json.dumps(entry).encode()
    assert host_lines.calls == [(("Processing", "info"), {})]


@pytest.mark.parametrize("kwargs, expected", [
    (dict(node_id="y2"), {"node_id": "y2", "workflow_id": "w1", "job_id": "j1"}),
    (dict(node_id="", job_id=None), {"node_id": "x1", "workflow_id": "w1", "job_id": "j1"}),
    (dict(level="ERROR", progress=0, component="loader"),
     {"level": "error", "progress": 0.0, "component": "loader"}),
    (dict(source="worker", component="", duration_seconds=12.5, tags={"a"}, when=datetime(2024, 1, 2)),
     {"source": "worker", "metadata": {"duration_seconds": 12.5, "tags": "{'a'}", "when": "2024-01-02 00:00:00"}}),
])
def test_arguments_and_context_in_the_entry(subscriber, host_lines, kwargs, expected):
    pulsewire.set_stream_context("x1", "w1", "j1")
    pulsewire.stream_log("Step", **kwargs)
    entry = published_entry(subscriber())
    for key, value in expected.items():
        assert entry[key] == value
    assert "component" in entry if kwargs.get("component") else "component" not in entry
    assert "progress" in entry if "progress" in kwargs else "progress" not in entry
    assert host_lines.calls == [(("Step", kwargs.get("level", "info")), {})]
    assert "duration_seconds" not in entry


def test_missing_identifiers_and_non_ascii_text(subscriber, host_lines):
    pulsewire.stream_log("Größe 😀", node_id="")
    raw = subscriber()
    assert b"Gr\\u00f6\\u00dfe \\ud83d\\ude00" in raw
    entry = published_entry(raw)
    assert list(entry) == ["timestamp", "source", "level", "message"]
    assert entry["message"] == "Größe 😀"


def test_timestamp_is_current_utc_time(subscriber, host_lines):
    for _ in range(20):
        before = datetime.now(timezone.utc)
        pulsewire.stream_log("tick")
        after = datetime.now(timezone.utc)
        stamp = published_entry(subscriber())["timestamp"]
        assert before <= datetime.fromisoformat(stamp) <= after


@pytest.mark.parametrize("context, expected", [
    ({"node_id": "from-fake", "job_id": ""}, {"node_id": "from-fake", "workflow_id": "w9"}),
    ({"node_id": 5, "workflow_id": "w-ctx", "job_id": ["j"]}, {"workflow_id": "w9"}),
    ({"node_id": b"n", "job_id": True}, {"workflow_id": "w9"}),
])
def test_replaced_context_function_gives_only_non_empty_strings(monkeypatch, recorder, host_lines, context,
                                                                 expected):
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)
    monkeypatch.setattr(pulsewire, "get_stream_context", lambda: context)
    assert pulsewire.stream_log("m", workflow_id="w9") is None
    entry = entries.calls[0][0][0]
    assert {k: entry[k] for k in ("node_id", "workflow_id", "job_id") if k in entry} == expected


def test_values_stored_on_the_context_count_only_as_non_empty_strings(monkeypatch, recorder, host_lines):
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)
    pulsewire._context.node_id = 42
    pulsewire._context.workflow_id = "w1"
    pulsewire._context.job_id = {"id": "j"}
    pulsewire.stream_log("m")
    entry = entries.calls[0][0][0]
    assert [k for k in ("node_id", "workflow_id", "job_id") if k in entry] == ["workflow_id"]


@pytest.mark.parametrize("args, kwargs, message", [
    ((None,), {}, "Argument 'message' has incorrect type (expected str, got NoneType)"),
    (("m",), {"progress": "20"}, "Argument 'progress' has incorrect type (expected float, got str)"),
    (("m",), {"level": None}, "Argument 'level' has incorrect type (expected str, got NoneType)"),
    (("m", "info", "node", None, None, None, None, None, "extra"), {}, None),
    (("m",), {"message": "again"}, None),
])
def test_bad_calls_log_and_publish_nothing(monkeypatch, recorder, host_lines, args, kwargs, message):
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)
    with pytest.raises(TypeError) as info:
        pulsewire.stream_log(*args, **kwargs)
    if message:
        assert str(info.value) == message
    assert host_lines.calls == [] and entries.calls == []


def test_host_logger_failure_propagates_before_publication(monkeypatch, recorder):
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)

    def broken(message, level):
        raise OSError("disk full")

    monkeypatch.setattr(zentrel_core.logger, "log_message", broken)
    with pytest.raises(OSError, match="disk full"):
        pulsewire.stream_log("m")
    assert entries.calls == []


# ---------------------------------------------------------------- publication

def test_publish_without_subscriber_succeeds(redis_env):
    assert pulsewire._publish_to_redis({"message": "nobody listens"}) is True


@pytest.fixture
def debug_records(caplog):
    caplog.set_level(logging.DEBUG, logger="zentrel_core.pulsewire")
    return lambda: [r.getMessage() for r in caplog.records
                    if r.name == "zentrel_core.pulsewire" and r.levelno == logging.DEBUG]


@pytest.mark.parametrize("setup, record", [
    ("closed", "Failed to publish log to Redis: "),
    ("bad_port", "Failed to publish log to Redis: invalid literal for int() with base 10: '63x'"),
    ("no_redis", "redis-py not available for log streaming"),
    ("circular", "Failed to publish log to Redis: Circular reference detected"),
])
def test_publication_failures_are_absorbed(redis_env, closed_port, monkeypatch, host_lines, debug_records,
                                           setup, record):
    entry = {"message": "lost"}
    if setup == "closed":
        monkeypatch.setenv("REDIS_PORT", str(closed_port))
    elif setup == "bad_port":
        monkeypatch.setenv("REDIS_PORT", "63x")
    elif setup == "no_redis":
        monkeypatch.setitem(sys.modules, "redis", None)
    else:
        entry["self"] = entry
    assert pulsewire._publish_to_redis(entry) is False
    assert len(debug_records()) == 1 and debug_records()[0].startswith(record)

    assert pulsewire.stream_log("still logged", loop=entry) is None
    assert host_lines.messages == ["still logged"]


def test_publishes_without_retry_support(subscriber, monkeypatch):
    monkeypatch.setitem(sys.modules, "redis.backoff", None)
    assert pulsewire._publish_to_redis({"message": "plain"}) is True
    assert subscriber() == b'{"message": "plain"}'


def test_connect_timeout_and_environment_are_read_per_call(redis_env, subscriber, monkeypatch, closed_port):
    monkeypatch.setattr(pulsewire, "_CONNECT_TIMEOUT_S", 0.5)
    assert pulsewire._publish_to_redis({"n": 1}) is True
    monkeypatch.setenv("REDIS_PORT", str(closed_port))
    assert pulsewire._publish_to_redis({"n": 2}) is False
    monkeypatch.setenv("REDIS_PORT", f" {redis_env.redis_port}\n")
    assert pulsewire._publish_to_redis({"n": 3}) is True
    assert [subscriber(), subscriber()] == [b'{"n": 1}', b'{"n": 3}']


@pytest.mark.parametrize("value", [[], None, type("D", (dict,), {})()])
def test_publish_accepts_only_a_dict(value):
    with pytest.raises(TypeError, match=r"^Argument 'log_entry' has incorrect type \(expected dict, got \w+\)$"):
        pulsewire._publish_to_redis(value)


def test_publication_does_not_leak_the_entry(redis_env, closed_port, monkeypatch):
    value = object()
    entry = {"message": "m", "metadata": {"v": value}}
    before = sys.getrefcount(entry), sys.getrefcount(value)
    for port in (redis_env.redis_port, closed_port, "bad"):
        monkeypatch.setenv("REDIS_PORT", str(port))
        for _ in range(100):
            pulsewire._publish_to_redis(entry)
    assert (sys.getrefcount(entry), sys.getrefcount(value)) == before


def test_host_logger_without_log_message_raises_import_error(monkeypatch, recorder):
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)
    broken = type(sys)("zentrel_core.logger")
    monkeypatch.setitem(sys.modules, "zentrel_core.logger", broken)
    with pytest.raises(ImportError, match="^cannot import name 'log_message' from 'zentrel_core.logger'"):
        pulsewire.stream_log("m")
    assert entries.calls == []
