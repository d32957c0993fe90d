"""What type checkers and documentation tools see of the installed modules:
the shipped stubs match the modules (stubtest), mypy --strict reports a
node's typing mistakes, and the native function type has a plain string
__module__ for stubgen, inspect and pydoc."""
import ast
import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import zentrel_core.clusterlane as clusterlane
import zentrel_core.pulsewire as pulsewire

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

pytest.importorskip("mypy", reason="mypy comes with the test extra")


def run_tool(tmp_path, *command):
    """Runs a mypy tool outside the source tree, as a user would (the engine
    stand-in is installed next to the modules); returns (exit status, output)."""
    proc = subprocess.run([sys.executable, *command], cwd=tmp_path, capture_output=True, text=True, timeout=300)
    return proc.returncode, proc.stdout + proc.stderr


def mypy_strict(tmp_path, source):
    path = tmp_path / "node_under_check.py"
    path.write_text(textwrap.dedent(source))
    return run_tool(tmp_path, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull, path.name)


def test_stubs_match_the_built_modules(tmp_path):
    status, output = run_tool(tmp_path, "-m", "mypy.stubtest", "zentrel_core.clusterlane", "zentrel_core.pulsewire")
    assert status == 0, output


def kinds_of(annotation):
    """What an annotation admits, without type arguments: "Optional[dict]"
    and "dict[str, Any] | None" both give {"dict", "None"}, "List[str]" and
    "list[str]" {"list"}."""
    def walk(node):
        if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
            return walk(node.left) | walk(node.right)
        if isinstance(node, ast.Subscript):
            if ast.unparse(node.value) == "Optional":
                return walk(node.slice) | {"None"}
            node = node.value
        text = ast.unparse(node)
        return {{"List": "list", "Dict": "dict"}.get(text, text)}

    return walk(ast.parse(annotation, mode="eval").body)


def stub_functions():
    """(runtime object, stub FunctionDef) of every function in the stubs."""
    for module in (clusterlane, pulsewire):
        path = os.path.join(ROOT, "stubs", "zentrel_core-stubs", module.__name__.split(".")[-1] + ".pyi")
        with open(path, encoding="utf-8") as fh:
            tree = ast.parse(fh.read())
        for node in tree.body:
            if isinstance(node, ast.FunctionDef):
                yield getattr(module, node.name), node
            elif isinstance(node, ast.ClassDef) and hasattr(module, node.name):
                owner = getattr(module, node.name)
                yield from ((vars(owner)[f.name], f) for f in node.body if isinstance(f, ast.FunctionDef))


def test_runtime_annotations_admit_what_the_stubs_admit():
    # every annotation the runtime shows must say what the stub says, but
    # for the spelling of type arguments; `execute` is annotated too
    checked = 0
    for function, stub in stub_functions():
        stub_args = stub.args.posonlyargs + stub.args.args
        runtime = inspect.signature(function).parameters
        assert list(runtime)[:len(stub_args)] == [a.arg for a in stub_args], stub.name
        pairs = [(a.arg, a.annotation) for a in stub_args] + [("return", stub.returns)]
        for name, stub_annotation in pairs:
            shown = function.__annotations__.get(name)
            if shown is None:
                continue
            assert stub_annotation is not None, (stub.name, name, shown)
            assert kinds_of(shown) == kinds_of(ast.unparse(stub_annotation)), (stub.name, name, shown)
            checked += 1
    assert checked > 40
    assert set(clusterlane.ClusterlaneBase.execute.__annotations__) == {"predecessor_data", "flow_vars", "return"}


# A node with three mistakes (the README's node type-checks clean:
# test_readme.py); the callbacks are both forms the engine accepts.
MISTAKES = """
    from typing import Any

    from zentrel_core.clusterlane import ClusterlaneBase
    from zentrel_core.pulsewire import post_with_progress, stream_log


    class MyNode(ClusterlaneBase):
        def get_input_files(self, flow_vars: dict[str, Any]) -> list[str]:
            return []

        def get_output_files(self, flow_vars: dict[str, Any]) -> str:
            return "summary.json"

        def get_template_variables(self, flow_vars: dict[str, Any]) -> dict[str, str]:
            return {"TOP_N": "5"}

        def run_local(self, predecessor_data: list[Any], flow_vars: dict[str, Any]) -> dict[str, Any]:
            stream_log("Half way", progress="half", component="loader", rows=1200)
            response = post_with_progress("http://127.0.0.1:9/run", {"n": 1}, {}, 60, self.node_id)
            return {"success": True, "message": "Completed", "status": response.status_code}


    def forward(level: str, message: str, /, **metadata: Any) -> None:
        stream_log(message, level=level, source="hpc", **metadata)


    node: ClusterlaneBase = MyNode("n1")
    node.set_log_callback(forward)
    node.set_log_callback(lambda level, message, **metadata: None)
    text: str = node.execute([], {})
"""


def test_strict_mode_reports_a_nodes_typing_mistakes(tmp_path):
    status, output = mypy_strict(tmp_path, MISTAKES)
    assert status == 1
    errors = sorted(line.split(": error: ")[1] for line in output.splitlines() if ": error: " in line)
    assert len(errors) == 3, output
    assert errors[0].startswith('Argument "progress" to "stream_log" has incompatible type "str"')
    assert errors[1].startswith('Missing positional argument "service_name" in call to "post_with_progress"')
    assert errors[2].startswith('Return type "str" of "get_output_files" incompatible with return type "list[str]"')


def test_native_functions_name_their_module_for_documentation_tools(tmp_path):
    for module, function in ((pulsewire, pulsewire.stream_log), (clusterlane, clusterlane.ClusterlaneBase.execute)):
        assert type(function).__module__ == module.__name__
        assert function.__module__ == module.__name__
    status, output = run_tool(tmp_path, "-c", "from mypy.stubgen import main; main()", "-m", "zentrel_core.pulsewire", "-m",
                              "zentrel_core.clusterlane", "-o", str(tmp_path / "out"))
    assert status == 0, output
    assert "stream_log" in (tmp_path / "out" / "zentrel_core" / "pulsewire.pyi").read_text()
