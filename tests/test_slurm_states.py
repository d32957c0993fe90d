"""The SLURM state rules checked directly: tests/native/slurm_states_check.cpp
is compiled with the module's own slurm_states.cpp (plain C++, no Python)
and run."""
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


def test_slurm_state_rules(tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C++ compiler")
    program = tmp_path / "slurm_states_check"
    subprocess.run([compiler, "-std=c++20", "-Wall", "-I", str(ROOT / "src"),
                    str(ROOT / "tests/native/slurm_states_check.cpp"),
                    str(ROOT / "src/clusterlane/slurm_states.cpp"), "-o", str(program)],
                   check=True, capture_output=True, text=True)
    run = subprocess.run([str(program)], capture_output=True, text=True, timeout=60)
    assert (run.returncode, run.stdout) == (0, "ok\n")
