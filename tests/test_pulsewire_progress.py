"""post_with_progress against a real HTTP server on loopback."""

import gc
import json
import socket
import sys
import threading
import time
import types
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
import requests

import zentrel_core.logger
import zentrel_core.pulsewire as pulsewire


class SlowService(BaseHTTPRequestHandler):
    """POST /<delay seconds>/<status>: answers after the delay with that status."""

    received = []

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        SlowService.received.append((self.path, body, self.headers.get("X-Token")))
        _, delay, status = self.path.split("/")
        time.sleep(float(delay))
        try:
            self.send_response(int(status))
            self.send_header("Content-Type", "application/json")
            self.end_headers()
            self.wfile.write(b'{"done": true}')
        except OSError:
            pass  # the client gave up waiting

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def service():
    server = ThreadingHTTPServer(("127.0.0.1", 0), SlowService)
    server.daemon_threads = True
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()


@pytest.fixture
def lines(monkeypatch, recorder):
    """The published progress entries; the host log is silenced."""
    entries = recorder()
    monkeypatch.setattr(pulsewire, "_publish_to_redis", entries)
    monkeypatch.setattr(zentrel_core.logger, "log_message", lambda message, level: None)
    pulsewire.set_stream_context("ctx-node", "w1", "j1")
    yield lambda: [args[0] for args, _ in entries.calls]
    pulsewire.clear_stream_context()


def request_threads(ignore=()):
    return [t for t in threading.enumerate() if t.name.endswith("(_do_request)") and t not in ignore]


def test_quick_answer_returns_response_without_lines(service, lines):
    SlowService.received.clear()
    response = pulsewire.post_with_progress(f"{service}/0/200", {"prompt": "hi"}, {"X-Token": "t"}, 5.9, "n1", "Svc",
                                            update_interval=1)
    assert isinstance(response, requests.Response) and response.json() == {"done": True}
    assert SlowService.received == [("/0/200", {"prompt": "hi"}, "t")]
    assert lines() == []


@pytest.mark.parametrize("node_id, hint, expected_node, suffix", [
    ("", "", "ctx-node", ""),
    ("n7", "cold starts take up to 10 min", "n7", " (cold starts take up to 10 min)"),
])
def test_progress_lines_while_waiting(service, lines, node_id, hint, expected_node, suffix):
    response = pulsewire.post_with_progress(f"{service}/2.5/500", {}, {}, 10, node_id, "GPU", hint, 10.7, 1)
    assert response.status_code == 500
    entries = lines()
    assert [e["message"] for e in entries] == [f"Waiting for GPU response... {n}s elapsed{suffix}" for n in (1, 2)]
    for e in entries:
        assert (e["node_id"], e["workflow_id"], e["job_id"], e["level"], e["source"], e["progress"]) == \
            (expected_node, "w1", "j1", "info", "node", 10.0)
        assert type(e["progress"]) is float


class CountedWait:
    """Stands in for threading.Thread so that long waits are counted, not slept:
    the thread looks alive for `waits` joins, then runs its target."""

    def __init__(self, waits):
        self.waits = waits
        self.made = []

    def Thread(self, target=None, daemon=None):
        outer = self

        class Thread:
            def __init__(self):
                self.target, self.daemon, self.timeouts, self.done = target, daemon, [], False
                outer.made.append(self)

            def start(self):
                pass

            def is_alive(self):
                return not self.done

            def join(self, timeout=None):
                self.timeouts.append(timeout)
                if len(self.timeouts) > outer.waits:
                    self.target()
                    self.done = True

        return Thread()


@pytest.mark.parametrize("interval, waits, texts", [
    (30, 3, ["30s", "1m00s", "1m30s"]),
    (45, 3, ["45s", "1m30s", "2m15s"]),
    (605, 1, ["10m05s"]),
])
def test_elapsed_time_texts(service, lines, monkeypatch, interval, waits, texts):
    fake = CountedWait(waits)
    monkeypatch.setattr(pulsewire, "threading", types.SimpleNamespace(Thread=fake.Thread))
    response = pulsewire.post_with_progress(f"{service}/0/201", {}, {}, 5, "n", "X", update_interval=interval)
    assert response.status_code == 201
    assert [e["message"] for e in lines()] == [f"Waiting for X response... {t} elapsed" for t in texts]
    (thread,) = fake.made
    assert thread.daemon is True and thread.timeouts == [interval] * (waits + 1)
    assert (thread.target.__name__, thread.target.__qualname__) == \
        ("_do_request", "post_with_progress.<locals>._do_request")


def closed_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.mark.parametrize("url, timeout, error", [
    ("{service}/3/200", 1, requests.exceptions.ReadTimeout),
    ("http://127.0.0.1:{closed}/0/200", 5, requests.exceptions.ConnectionError),
    ("localhost/no-scheme", 5, requests.exceptions.MissingSchema),
])
def test_request_errors_are_raised_after_the_thread_ended(service, lines, url, timeout, error):
    earlier = request_threads()
    with pytest.raises(error) as info:
        pulsewire.post_with_progress(url.format(service=service, closed=closed_port()), {}, {}, timeout, "n", "X",
                                     update_interval=1)
    assert request_threads(earlier) == []
    assert any("requests" in filename for filename in _frames(info.value.__traceback__))


def _frames(tb):
    while tb:
        yield tb.tb_frame.f_code.co_filename
        tb = tb.tb_next


def test_failing_progress_line_propagates_at_once(service, monkeypatch):
    def broken(message, level):
        raise OSError("host log down")

    monkeypatch.setattr(zentrel_core.logger, "log_message", broken)
    started = time.monotonic()
    with pytest.raises(OSError, match="host log down"):
        pulsewire.post_with_progress(f"{service}/2.5/200", {}, {}, 10, "n", "X", update_interval=1)
    assert time.monotonic() - started < 2.5  # it did not wait for the request


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(update_interval=0), ValueError, "update_interval must be at least 1 second"),
    (dict(update_interval=0.9), ValueError, "update_interval must be at least 1 second"),
    (dict(update_interval=-30), ValueError, "update_interval must be at least 1 second"),
    (dict(headers=None), TypeError, "Argument 'headers' has incorrect type (expected dict, got NoneType)"),
    (dict(timeout="5"), TypeError, "Argument 'timeout' has incorrect type (expected int, got str)"),
    (dict(node_id=None), TypeError, "Argument 'node_id' has incorrect type (expected str, got NoneType)"),
    (dict(json=[]), TypeError, "Argument 'json' has incorrect type (expected dict, got list)"),
])
def test_bad_arguments_start_nothing(monkeypatch, lines, kwargs, error, message):
    earlier = request_threads()
    monkeypatch.setitem(sys.modules, "requests", None)
    call = {**dict(url="http://127.0.0.1:1/", json={}, headers={}, timeout=5, node_id="n", service_name="X"), **kwargs}
    with pytest.raises(error) as info:
        pulsewire.post_with_progress(**call)
    assert str(info.value) == message
    assert request_threads(earlier) == [] and lines() == []


def test_missing_http_client_starts_no_thread(monkeypatch, lines):
    earlier = request_threads()
    monkeypatch.setitem(sys.modules, "requests", None)
    with pytest.raises(ImportError):
        pulsewire.post_with_progress("http://127.0.0.1:1/", {}, {}, 5, "n", "X")
    assert request_threads(earlier) == []


def test_requests_do_not_leak_arguments(service, lines):
    payload, headers, url = {"k": "v"}, {"X-Token": "t"}, f"{service}/0/200"
    refused = f"http://127.0.0.1:{closed_port()}/"
    before = [sys.getrefcount(o) for o in (payload, headers, url)]
    for _ in range(10):
        pulsewire.post_with_progress(url, payload, headers, 5, "n", "X", update_interval=1).close()
        with pytest.raises(requests.ConnectionError):
            pulsewire.post_with_progress(refused, payload, headers, 5, "n", "X", update_interval=1)
    gc.collect()  # the request errors' tracebacks form cycles through the client's frames
    assert [sys.getrefcount(o) for o in (payload, headers, url)] == before


def test_request_error_raised_inside_a_handler_is_chained_to_it(lines):
    try:
        raise KeyError("first attempt")
    except KeyError as handled:
        with pytest.raises(requests.exceptions.MissingSchema) as info:
            pulsewire.post_with_progress("localhost/no-scheme", {}, {}, 5, "n", "X", update_interval=1)
        assert info.value.__context__ is handled
