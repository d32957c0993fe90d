"""Module initialisation rules of both modules and deployment of clusterlane
into another zentrel_core package.

Each case runs in a fresh interpreter process: they import, drop and
re-execute the module, which would disturb the test process itself.
"""
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import zentrel_core.clusterlane as clusterlane

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STANDIN = os.path.join(ROOT, "standin")
TESTS = os.path.join(ROOT, "tests")
MODULE_FILE = clusterlane.__file__
PACKAGE_DIR = os.path.dirname(MODULE_FILE)


def run_python(code, *path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


@pytest.fixture
def copied_package(tmp_path):
    """A zentrel_core package of its own, with the module file copied in and
    parameter classes that record how they were constructed."""
    package = tmp_path / "zentrel_core"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "logger.py").write_text("LINES = []\ndef log_message(message, level='info'):\n"
                                       "    LINES.append((message, level))\n")
    (package / "node.py").write_text(textwrap.dedent("""
        class NodeException(Exception):
            pass
        class NodeResult:
            pass
        class Node:
            def __init__(self, node_id):
                self.node_id = node_id
                self.node_key = "key_" + node_id
    """))
    (package / "parameters.py").write_text(textwrap.dedent("""
        CREATED = []
        class _Recording:
            def __init__(self, *args, **kwargs):
                CREATED.append((type(self).__name__, args, list(kwargs.items())))
        class BooleanParameter(_Recording): pass
        class SelectParameter(_Recording): pass
        class StringParameter(_Recording): pass
        class TextParameter(_Recording): pass
    """))
    shutil.copy(MODULE_FILE, package)
    return tmp_path


def test_module_file_works_in_another_package_and_builds_options_once(copied_package):
    out = run_python("""
        from zentrel_core import parameters, logger
        from nodes import SampleNode
        print(SampleNode("a", local_result={"ok": 1}).execute([], {}))
        for entry in parameters.CREATED: print(entry)
        print(len(logger.LINES))
    """, str(copied_package), TESTS)
    lines = out.splitlines()
    assert lines[0] == '{"ok": 1}'
    docs = {
        "hpc_profile": "Name of HPC profile (required for remote execution). Configure profiles in Settings "
                       "\u2192 HPC Profiles.",
    }
    assert lines[1:6] == [
        str(("SelectParameter", (), [("label", "Execution Mode"), ("options", ["local", "remote"]),
                                     ("default", "local"), ("docstring", "Run locally or submit to HPC cluster")])),
        str(("StringParameter", (), [("label", "HPC Profile"), ("default", ""), ("docstring", docs["hpc_profile"]),
                                     ("optional", True)])),
        str(("TextParameter", (), [("label", "SLURM Job Script"), ("default", ""),
                                   ("docstring", "SLURM batch script with template variables ({{VAR_NAME}}). "
                                                 "Use your cluster's tested script format."),
                                   ("optional", True)])),
        str(("BooleanParameter", (), [("label", "Force Resubmit"), ("default", False),
                                      ("docstring", "Force job resubmission even if a previous job exists"),
                                      ("optional", True)])),
        str(("BooleanParameter", (), [("label", "Download Large Files"), ("default", False),
                                      ("docstring", "Download large files (trajectories, etc.) which can be 1-100+ "
                                                    "GB. When disabled, only essential and standard files are "
                                                    "downloaded."),
                                      ("optional", True)])),
    ]
    assert lines[6] == "3"


# What both modules' initialisation must do, with for each a module its
# initialisation imports (blocked to make it fail) and an expression that
# shows a working module `m`, with its value.
MODULES = {
    "clusterlane": ("zentrel_core.logger", "sorted(m.ClusterlaneBase.__abstractmethods__)[0]", "get_input_files"),
    "pulsewire": ("datetime", "m._CONNECT_TIMEOUT_S", "0.25"),
}


def run_module_code(name, code):
    """Runs `code` in a fresh process that has already imported the module as `first`."""
    return run_python(f"import importlib, sys\nfirst = importlib.import_module('zentrel_core.{name}')\n"
                      + textwrap.dedent(code), STANDIN, os.path.dirname(PACKAGE_DIR), TESTS)


@pytest.mark.parametrize("name", MODULES)
def test_repeated_import_returns_the_same_module_without_running_it_again(name):
    out = run_module_code(name, f"""
        first.marker = "kept"
        names = {{k: v for k, v in vars(first).items() if not k.startswith("__")}}
        del sys.modules["zentrel_core.{name}"]
        second = importlib.import_module("zentrel_core.{name}")
        print(second is first, second.marker, all(vars(second)[k] is v for k, v in names.items()))
    """)
    assert out.split() == ["True", "kept", "True"]


@pytest.mark.parametrize("name", MODULES)
def test_running_the_module_code_on_another_module_object_is_refused(name):
    out = run_module_code(name, f"""
        import ctypes
        init = getattr(ctypes.PyDLL(first.__file__), "PyInit_{name}")
        init.restype = ctypes.c_void_p
        api = ctypes.pythonapi
        api.PyModule_New.restype = ctypes.py_object
        api.PyModule_New.argtypes = [ctypes.c_char_p]
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        fresh = api.PyModule_New(b"zentrel_core.{name}")
        try:
            api.PyModule_ExecDef(fresh, init())
        except RuntimeError as exc:
            print(exc)
    """)
    assert out.strip() == f"Module '{name}' has already been imported. Re-initialisation is not supported."


@pytest.mark.parametrize("name", MODULES)
def test_second_interpreter_is_refused(name):
    out = run_module_code(name, f"""
        from subinterpreters import run_in_second_interpreter
        print(run_in_second_interpreter("import zentrel_core.{name}"))
    """)
    assert out.strip() == ("<class 'ImportError'>: Interpreter change detected - this module can only be loaded into one "
                           "interpreter per process.")


@pytest.mark.parametrize("name", MODULES)
def test_failed_initialisation_is_released_and_a_later_import_starts_afresh(name):
    blocked, probe, value = MODULES[name]
    out = run_python(f"""
        import importlib, sys
        saved = sys.modules.get("{blocked}")
        sys.modules["{blocked}"] = None
        try:
            importlib.import_module("zentrel_core.{name}")
        except ImportError as exc:
            print("failed:", "zentrel_core.{name}" not in sys.modules)
        if saved is None:
            del sys.modules["{blocked}"]
        else:
            sys.modules["{blocked}"] = saved
        m = importlib.import_module("zentrel_core.{name}")
        print({probe})
    """, STANDIN, os.path.dirname(PACKAGE_DIR))
    assert out.splitlines() == ["failed: True", value]
