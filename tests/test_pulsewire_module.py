"""The module as a whole: its namespace, function signatures, imports and
reference counting (the initialisation rules: test_module_init.py)."""

import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zentrel_core.pulsewire as pulsewire

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, timeout=60)


def test_namespace_in_import_order():
    import logging
    import threading

    own = [k for k in vars(pulsewire) if not k.startswith("__")]
    assert own == ["json", "logging", "os", "threading", "datetime", "timezone", "Any", "Dict", "Optional",
                   "_context", "logger", "set_stream_context", "get_stream_context", "clear_stream_context",
                   "_CONNECT_TIMEOUT_S", "_publish_to_redis", "stream_log", "post_with_progress"]
    assert type(pulsewire._context) is threading.local
    assert pulsewire.logger is logging.getLogger("zentrel_core.pulsewire")
    assert pulsewire._CONNECT_TIMEOUT_S == 0.25 and type(pulsewire._CONNECT_TIMEOUT_S) is float


@pytest.mark.parametrize("name, annotations", [
    ("set_stream_context", {"node_id": "str | None", "workflow_id": "str | None", "job_id": "str | None"}),
    ("get_stream_context", {"return": "Dict[str, Optional[str]]"}),
    ("clear_stream_context", {}),
    ("_publish_to_redis", {"log_entry": "Dict[str, Any]", "return": "bool"}),
    ("stream_log", {"message": "str", "level": "str", "source": "str", "node_id": "str | None",
                    "workflow_id": "str | None", "job_id": "str | None", "progress": "float | None",
                    "component": "str | None"}),
    ("post_with_progress", {"url": "str", "json": "dict", "headers": "dict", "timeout": "int", "node_id": "str",
                            "service_name": "str", "cold_start_hint": "str", "progress_value": "int",
                            "update_interval": "int"}),
])
def test_function_names_and_annotations(name, annotations):
    function = getattr(pulsewire, name)
    assert (function.__name__, function.__qualname__, function.__module__) == (name, name, "zentrel_core.pulsewire")
    assert list(function.__annotations__.items()) == list(annotations.items())


def test_import_needs_no_optional_library():
    result = run_python("""
        import sys
        for blocked in ("redis", "requests", "zentrel_core.logger"):
            sys.modules[blocked] = None
        import zentrel_core.pulsewire as p
        p.set_stream_context("n")
        print(p.get_stream_context()["node_id"], p._publish_to_redis({}))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["n", "False"]


def test_arguments_are_not_leaked(monkeypatch):
    monkeypatch.setattr(pulsewire, "_publish_to_redis", lambda entry: True)
    import zentrel_core.logger

    # the host log would keep records (holding the message) in pytest's capture
    monkeypatch.setattr(zentrel_core.logger, "log_message", lambda message, level: None)
    message, level, node, value = "leak check " * 3, "Warning", "node-" * 4, object()
    tracked = [message, level, node, value]
    before = [sys.getrefcount(o) for o in tracked]
    for _ in range(2000):
        pulsewire.set_stream_context(node, node, node)
        pulsewire.get_stream_context()
        pulsewire.stream_log(message, level, progress=3, component=level, extra=value)
        with pytest.raises(TypeError):
            pulsewire.stream_log(message, level, progress=value)
        pulsewire.clear_stream_context()
    assert [sys.getrefcount(o) for o in tracked] == before


def test_module_file_copied_into_another_package_logs_through_its_logger(tmp_path):
    package = tmp_path / "zentrel_core"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "logger.py").write_text("LINES = []\ndef log_message(message, level='info'):\n"
                                       "    LINES.append((message, level))\n")
    shutil.copy(pulsewire.__file__, package)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        from zentrel_core import logger, pulsewire
        pulsewire._publish_to_redis = lambda entry: True
        pulsewire.stream_log("copied", "warning")
        print(logger.LINES, pulsewire.__file__.startswith(logger.__file__.rsplit("/", 1)[0]))
    """)], capture_output=True, text=True, env={**os.environ, "PYTHONPATH": str(tmp_path)}, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[0] == "[('copied', 'warning')] True"
