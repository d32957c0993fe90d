"""The native method objects as callers reach them: every call path and
keyword names that only C code can pass."""
import ctypes
import functools
import re

import pytest

from fakessh import options, submitting_cluster
from zentrel_core.clusterlane import ClusterlaneBase
from zentrel_core.node import NodeException


@pytest.fixture
def node(make_node):
    return make_node(outputs=["out.txt"])


EXPECTED = {"essential": ["out.txt"]}


@pytest.mark.parametrize("call", [
    lambda n: n.get_output_files_by_category({}),
    lambda n: n.get_output_files_by_category(flow_vars={}),
    lambda n: n.get_output_files_by_category(**{"flow_vars": {}}),
    lambda n: type(n).get_output_files_by_category(n, {}),
    lambda n: ClusterlaneBase.get_output_files_by_category(self=n, flow_vars={}),
    lambda n: functools.partial(n.get_output_files_by_category)({}),
    lambda n: functools.partial(ClusterlaneBase.get_output_files_by_category, n)(flow_vars={}),
    lambda n: functools.partial(ClusterlaneBase.get_output_files_by_category, flow_vars={})(n),
    lambda n: super(type(n), n).get_output_files_by_category({}),
    lambda n: ClusterlaneBase.get_output_files_by_category.__get__(n, type(n))({}),
])
def test_every_call_path_binds_the_same_arguments(node, call):
    assert call(node) == EXPECTED


@pytest.mark.parametrize("call,message", [
    (lambda n: ClusterlaneBase.get_output_files_by_category(), "takes exactly 2 positional arguments (0 given)"),
    (lambda n: n.get_output_files_by_category(), "takes exactly 2 positional arguments (1 given)"),
    (lambda n: n.get_output_files_by_category({}, flow_vars={}), "got multiple values for keyword argument"),
    (lambda n: n._hpc_log("info", "m", self=1), "got multiple values for keyword argument 'self'"),
    (lambda n: n._hpc_log("info", "m", **{1: 2}), "keywords must be strings"),
])
def test_bad_calls_raise_type_error(node, call, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        call(node)


def vectorcall(function, positional, keywords):
    """Calls through PyObject_Vectorcall with keyword names of any type, as C
    code can (Python itself refuses non-str names before the call)."""
    api = ctypes.pythonapi
    api.PyObject_Vectorcall.restype = ctypes.py_object
    api.PyObject_Vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                                        ctypes.py_object]
    values = list(positional) + [value for _, value in keywords]
    stack = (ctypes.py_object * len(values))(*values)
    return api.PyObject_Vectorcall(function, stack, len(positional), tuple(name for name, _ in keywords))


@pytest.mark.parametrize("method,positional", [
    ("execute", lambda n: [n, []]),          # a required parameter is still missing
    ("_hpc_log", lambda n: [n, "info", "m"]),  # the name would land in **metadata
])
@pytest.mark.parametrize("key", [7, b"flow_vars", None])
def test_non_str_keyword_names_are_refused(node, host_log, recorder, method, positional, key):
    callback = recorder()
    node.set_log_callback(callback)
    with pytest.raises(TypeError) as info:
        vectorcall(getattr(ClusterlaneBase, method), positional(node), [(key, "value")])
    assert str(info.value) == f"{method}() keywords must be strings"
    assert callback.calls == [] and host_log.calls == []


def test_str_subclass_keyword_names_are_matched_by_value(node, recorder):
    class Name(str):
        pass

    callback = recorder()
    node.set_log_callback(callback)
    keywords = [(Name("message"), "m"), (Name("level"), "info"), (Name("job_id"), "7")]
    assert vectorcall(ClusterlaneBase._hpc_log, [node], keywords) is None
    assert callback.calls == [(("info", "m"), {"job_id": "7"})]


def test_bound_methods_can_be_held_weakly(make_node):
    import gc
    import weakref

    node = make_node(outputs=["out.txt"])
    method = weakref.WeakMethod(node.get_output_files_by_category)
    assert method()({}) == EXPECTED
    del node
    gc.collect()
    assert method() is None


@pytest.mark.parametrize("copier", [
    lambda f: __import__("pickle").loads(__import__("pickle").dumps(f)),
    lambda f: __import__("copy").copy(f),
    lambda f: __import__("copy").deepcopy({"hook": f})["hook"],
])
def test_methods_are_pickled_and_copied_by_reference(copier):
    function = ClusterlaneBase._hpc_log
    assert copier(function) is function


@pytest.mark.parametrize("pass_fails", [False, True])
def test_a_failing_cleanup_runs_once(make_node, monkeypatch, pass_fails):
    """try_finally around a pass: closing the client runs once whether the pass
    succeeded or failed, and the error it raises is the one the caller gets."""
    ssh = submitting_cluster(monkeypatch)
    if pass_fails:
        ssh.fail("open_sftp", OSError("sftp refused"))

    def failing_close():
        ssh.close_count += 1
        raise OSError(f"close failed #{ssh.close_count}")

    ssh.close = failing_close
    node = make_node(scripted=True)
    node.set_log_callback(lambda level, message, **metadata: None)
    with pytest.raises(OSError, match="^close failed #1$") as caught:
        node._run_remote([], {}, options())
    assert ssh.close_count == 1
    assert isinstance(caught.value.__context__, NodeException) is pass_fails
