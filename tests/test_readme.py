"""The README's Python examples work as written: run one after the other
against the engine stand-in, they print what the README says they print,
and `mypy --strict` accepts them with the shipped stubs."""
import os
import re
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STANDIN = os.path.join(ROOT, "standin")


def readme_blocks():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as fh:
        return re.findall(r"^```python\n(.*?)^```$", fh.read(), flags=re.S | re.M)


def promised_output(code):
    """The comment lines right after a print() call: what the README shows
    as that call's output."""
    lines = code.splitlines()
    return [line[2:] for before, line in zip(lines, lines[1:]) if "print(" in before and line.startswith("# ")]


@pytest.fixture
def examples(tmp_path):
    blocks = readme_blocks()
    assert len(blocks) >= 3
    path = tmp_path / "readme_examples.py"
    path.write_text("\n\n".join(blocks))
    return path


def run(tmp_path, *command):
    # REDIS_PORT 1: nothing listens there, stream_log's publication fails at once
    env = dict(os.environ, PYTHONPATH=STANDIN, MYPYPATH=STANDIN, REDIS_PORT="1")
    return subprocess.run([sys.executable, *command], cwd=tmp_path, env=env, capture_output=True, text=True,
                          timeout=300)


def test_readme_examples_run_and_print_what_they_promise(tmp_path, examples):
    proc = run(tmp_path, examples.name)
    assert proc.returncode == 0, proc.stderr
    promised = promised_output(examples.read_text())
    assert promised
    assert proc.stdout.splitlines() == promised


def test_readme_examples_type_check_in_strict_mode(tmp_path, examples):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    proc = run(tmp_path, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, examples.name)
    assert proc.returncode == 0, proc.stdout + proc.stderr
