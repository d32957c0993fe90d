"""The README as a reader uses it after the set-up (tools/setup.sh): its
```sh blocks run from the repository root, its Python examples, one after
the other, from an empty directory, each with nothing added to the import
path or the environment; they succeed and print what the README says they
print, and `mypy --strict` accepts the Python examples.  (The indented
commands, the set-up and the two long-running scripts, are what runs this
suite.)  The environment the suite runs in stands for `.venv`, so a 3.13 run
or the wheel check's fresh environment reads the same commands."""
import os
import re
import subprocess
import sys
import textwrap

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def readme_blocks(language):
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as fh:
        found = re.findall(rf"^( *)```{language}\n(.*?)^\1```$", fh.read(), flags=re.S | re.M)
    return [textwrap.dedent(block) for _, block in found]


def promised_output(code):
    """The comment lines right after a print() call: what the README shows
    as that call's output."""
    lines = code.splitlines()
    return [line[2:] for before, line in zip(lines, lines[1:]) if "print(" in before and line.startswith("# ")]


@pytest.fixture
def examples(tmp_path):
    blocks = readme_blocks("python")
    assert len(blocks) >= 3
    path = tmp_path / "readme_examples.py"
    path.write_text("\n\n".join(blocks))
    return path


def run(command, cwd):
    venv_bin = os.path.dirname(sys.executable)
    return subprocess.run(["bash", "-euo", "pipefail", "-c", command.replace(".venv/bin/", venv_bin + "/")],
                          cwd=cwd, capture_output=True, text=True, timeout=300)


def test_readme_examples_run_and_print_what_they_promise(tmp_path, examples):
    proc = run(f".venv/bin/python {examples.name}", tmp_path)
    assert proc.returncode == 0, proc.stderr
    promised = promised_output(examples.read_text())
    assert promised
    assert proc.stdout.splitlines() == promised


def test_readme_examples_type_check_in_strict_mode(tmp_path, examples):
    pytest.importorskip("mypy", reason="mypy comes with the test extra")
    proc = run(f".venv/bin/python -m mypy --strict --no-incremental --cache-dir /dev/null {examples.name}", tmp_path)
    assert proc.returncode == 0, proc.stdout + proc.stderr


COMMANDS = readme_blocks("sh")


@pytest.mark.parametrize("block", COMMANDS, ids=[f"block{n}" for n in range(len(COMMANDS))])
def test_readme_commands_run_as_written(block):
    proc = run(block, ROOT)
    assert proc.returncode == 0, proc.stdout + proc.stderr
