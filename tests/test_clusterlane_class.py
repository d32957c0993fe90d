"""ClusterlaneBase as Python sees it: namespace, class, methods, options, hook."""
import inspect

import pytest

import zentrel_core.clusterlane as clusterlane
from zentrel_core.clusterlane import ClusterlaneBase
from zentrel_core.node import Node
from zentrel_core.parameters import BooleanParameter, SelectParameter, StringParameter, TextParameter

BODY_ORDER = [
    "_log_callback", "HPC_OPTIONS", "set_log_callback", "_hpc_log", "get_input_files", "get_output_files",
    "get_output_files_by_category", "get_template_variables", "run_local", "build_hpc_result_data", "execute",
    "_run_remote", "_get_hpc_profile", "_get_all_template_variables", "_retrieve_output_files",
    "_get_local_working_dir", "_get_state_file_path", "_load_previous_result", "_save_result",
    "_get_slurm_job_status", "_expand_remote_path", "_ensure_remote_dir", "_get_all_template_variables_ssh",
    "_process_template", "_retrieve_output_files_ssh",
]
METHODS = BODY_ORDER[2:]

ANNOTATIONS = {
    "set_log_callback": {},
    "_hpc_log": {"level": "str", "message": "str"},
    "get_input_files": {"flow_vars": "dict", "return": "List[str]"},
    "get_output_files": {"flow_vars": "dict", "return": "List[str]"},
    "get_output_files_by_category": {"flow_vars": "dict", "return": "Dict[str, List[str]]"},
    "get_template_variables": {"flow_vars": "dict", "return": "Dict[str, str]"},
    "run_local": {"predecessor_data": "list", "flow_vars": "dict", "return": "dict"},
    "build_hpc_result_data": {"flow_vars": "dict", "local_dir": "str", "return": "dict"},
    "execute": {"predecessor_data": "list[Any]", "flow_vars": "dict[str, Any]", "return": "str"},
    "_get_hpc_profile": {"profile_name": "str", "return": "dict"},
    "_run_remote": {"predecessor_data": "list", "flow_vars": "dict", "hpc_options": "dict", "return": "dict"},
    "_get_all_template_variables_ssh": {"flow_vars": "dict", "remote_job_dir": "str", "return": "Dict[str, str]"},
    "_process_template": {"template": "str", "variables": "Dict[str, str]", "return": "str"},
    "_get_local_working_dir": {"flow_vars": "dict", "return": "str"},
    "_get_state_file_path": {"return": "str"},
    "_load_previous_result": {"return": "Optional[dict]"},
    "_retrieve_output_files_ssh": {
        "flow_vars": "dict", "remote_job_dir": "str", "hpc_options": "Optional[dict]", "return": "Dict[str, Any]"},
}

ABSTRACT = {"get_input_files", "get_output_files", "get_template_variables", "run_local"}


@pytest.fixture
def node(make_node):
    return make_node(node_id="n1", node_key="sample_node", outputs=["md.log", "*.xtc"])


def test_module_namespace_is_bound_in_order():
    names = [n for n in vars(clusterlane) if not n.startswith("__")]
    assert names == ["json", "os", "ABC", "abstractmethod", "Any", "Dict", "List", "Optional", "log_message", "Node",
                     "NodeException", "NodeResult", "BooleanParameter", "SelectParameter", "StringParameter",
                     "TextParameter", "ClusterlaneBase"]
    assert "SLURM" in clusterlane.__doc__ and "{{VAR_NAME}}" in clusterlane.__doc__


def test_class_is_an_abstract_node_with_its_body_in_order():
    assert ClusterlaneBase.__bases__ == (Node, clusterlane.ABC)
    assert type(ClusterlaneBase) is type(clusterlane.ABC)
    assert (ClusterlaneBase.__module__, ClusterlaneBase.__qualname__) == ("zentrel_core.clusterlane", "ClusterlaneBase")
    assert [n for n in vars(ClusterlaneBase) if n in BODY_ORDER] == BODY_ORDER
    assert "EXECUTION_STRATEGY" not in vars(ClusterlaneBase)
    assert "__init__" not in vars(ClusterlaneBase)
    assert ClusterlaneBase.__abstractmethods__ == ABSTRACT
    assert ClusterlaneBase._log_callback is None


@pytest.mark.parametrize("missing", sorted(ABSTRACT))
def test_subclass_missing_one_abstract_method_cannot_be_instantiated(missing):
    body = {name: (lambda self, *a: None) for name in ABSTRACT - {missing}}
    Partial = type("Partial", (ClusterlaneBase,), body)
    with pytest.raises(TypeError, match=missing):
        Partial("x")


@pytest.mark.parametrize("name", METHODS)
def test_method_names_docs_and_abstract_markers(name):
    method = vars(ClusterlaneBase)[name]
    assert method.__name__ == name
    assert method.__qualname__ == "ClusterlaneBase." + name
    assert method.__module__ == "zentrel_core.clusterlane"
    assert isinstance(method.__doc__, str) and method.__doc__
    assert method.__isabstractmethod__ is (name in ABSTRACT)
    assert isinstance(method.__dict__, dict)


@pytest.mark.parametrize("name,expected", sorted(ANNOTATIONS.items()))
def test_annotations_are_the_declared_strings(name, expected):
    assert getattr(ClusterlaneBase, name).__annotations__ == expected


@pytest.mark.parametrize("name,text", [
    ("execute", "(self, predecessor_data: 'list[Any]', flow_vars: 'dict[str, Any]') -> 'str'"),
    ("_hpc_log", "(self, level: 'str', message: 'str', **metadata)"),
    ("_retrieve_output_files_ssh",
     "(self, sftp, flow_vars: 'dict', remote_job_dir: 'str', hpc_options: 'Optional[dict]' = None)"
     " -> 'Dict[str, Any]'"),
    ("_get_state_file_path", "(self) -> 'str'"),
])
def test_signature_shows_real_parameters(name, text):
    assert str(inspect.signature(getattr(ClusterlaneBase, name))) == text


def test_methods_bind_to_instances_like_python_methods(node):
    bound = node.execute
    assert bound.__self__ is node and bound.__func__ is ClusterlaneBase.execute
    assert str(inspect.signature(bound)) == "(predecessor_data: 'list[Any]', flow_vars: 'dict[str, Any]') -> 'str'"
    assert ClusterlaneBase.build_hpc_result_data(node, {}, "/tmp") == {}
    ClusterlaneBase.execute.__dict__["tag"] = 1
    assert ClusterlaneBase.execute.tag == 1
    del ClusterlaneBase.execute.__dict__["tag"]


OPTIONS = [
    ("execution_mode", SelectParameter, {"label": "Execution Mode", "options": ["local", "remote"],
                                         "default": "local", "docstring": "Run locally or submit to HPC cluster"}),
    ("hpc_profile", StringParameter, {"label": "HPC Profile", "default": "", "optional": True,
                                      "docstring": "Name of HPC profile (required for remote execution). "
                                                   "Configure profiles in Settings \u2192 HPC Profiles."}),
    ("slurm_script", TextParameter, {"label": "SLURM Job Script", "default": "", "optional": True,
                                     "docstring": "SLURM batch script with template variables ({{VAR_NAME}}). "
                                                  "Use your cluster's tested script format."}),
    ("force_resubmit", BooleanParameter, {"label": "Force Resubmit", "default": False, "optional": True,
                                          "docstring": "Force job resubmission even if a previous job exists"}),
    ("download_large_files", BooleanParameter, {
        "label": "Download Large Files", "default": False, "optional": True,
        "docstring": "Download large files (trajectories, etc.) which can be 1-100+ GB. "
                     "When disabled, only essential and standard files are downloaded."}),
]


def test_hpc_options_table(node):
    options = ClusterlaneBase.HPC_OPTIONS
    assert list(options) == [key for key, _, _ in OPTIONS]
    for key, cls, attrs in OPTIONS:
        assert type(options[key]) is cls
        for attr, value in attrs.items():
            assert getattr(options[key], attr) == value, (key, attr)
    assert type(node).HPC_OPTIONS is options


# ---- the logging hook -------------------------------------------------------

def test_hook_without_callback_goes_to_host_log_without_metadata(node, host_log):
    assert node._hpc_log("info", "Job started", job_id="17") is None
    assert host_log.calls == [(("[HPC] Job started",), {"level": "info"})]


def test_hook_with_callback_replaces_host_log(node, host_log, recorder):
    callback = recorder()
    node.set_log_callback(callback)
    node._hpc_log("info", "Job started", job_id="17", status="PENDING")
    assert callback.calls == [(("info", "Job started"), {"job_id": "17", "status": "PENDING"})]
    assert host_log.calls == []
    assert "_log_callback" in vars(node)


def test_failing_callback_is_reported_in_the_host_log(node, host_log):
    def callback(level, message, **metadata):
        raise ValueError("queue full")

    node.set_log_callback(callback)
    assert node._hpc_log("warning", "M", job_id="1") is None
    assert host_log.calls == [(("[HPC] M (callback failed: queue full)",), {"level": "warning"})]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit])
def test_interrupt_in_callback_propagates_and_logs_nothing(node, host_log, exc):
    def callback(level, message, **metadata):
        raise exc()

    node.set_log_callback(callback)
    with pytest.raises(exc):
        node._hpc_log("info", "M")
    assert host_log.calls == []


class Falsy:
    def __bool__(self):
        return False

    def __call__(self, *args, **kwargs):
        raise AssertionError("a falsy callback must not be called")


@pytest.mark.parametrize("callback", [None, Falsy()])
def test_absent_or_falsy_callback_uses_host_log(node, host_log, recorder, callback):
    node.set_log_callback(recorder())
    node.set_log_callback(callback)
    node._hpc_log("debug", "M", job_id="1")
    assert host_log.calls == [(("[HPC] M",), {"level": "debug"})]


def test_failing_host_logger_propagates_from_hook(node, monkeypatch):
    def broken(message, level=None):
        raise OSError("disk full")

    monkeypatch.setattr(clusterlane, "log_message", broken)
    with pytest.raises(OSError, match="disk full"):
        node._hpc_log("info", "M")


# ---- argument handling ----------------------------------------------------------

class DictSubclass(dict):
    pass


@pytest.mark.parametrize("call,message", [
    (lambda n: n._hpc_log(None, "M"), "Argument 'level' has incorrect type (expected str, got NoneType)"),
    (lambda n: n._hpc_log("info", 5), "Argument 'message' has incorrect type (expected str, got int)"),
    (lambda n: n.get_output_files_by_category(DictSubclass()),
     "Argument 'flow_vars' has incorrect type (expected dict, got DictSubclass)"),
    (lambda n: n.get_output_files_by_category(None),
     "Argument 'flow_vars' has incorrect type (expected dict, got NoneType)"),
    (lambda n: n.build_hpc_result_data({}, b"/tmp"), "Argument 'local_dir' has incorrect type (expected str, got bytes)"),
    (lambda n: n._get_hpc_profile(7), "Argument 'profile_name' has incorrect type (expected str, got int)"),
    (lambda n: n._run_remote((), {}, {}), "Argument 'predecessor_data' has incorrect type (expected list, got tuple)"),
    (lambda n: n.execute([]), "execute() takes exactly 3 positional arguments (2 given)"),
    (lambda n: n.execute([], {}, 3), "execute() takes exactly 3 positional arguments (4 given)"),
    (lambda n: n.execute([], flow_vars={}, extra=1), "execute() got an unexpected keyword argument 'extra'"),
    (lambda n: n.execute([], {}, flow_vars={}), "execute() got multiple values for keyword argument 'flow_vars'"),
    (lambda n: n._retrieve_output_files_ssh(None, {}), "_retrieve_output_files_ssh() takes at least 4 positional"
                                                       " arguments (3 given)"),
])
def test_argument_errors(node, call, message):
    with pytest.raises(TypeError) as info:
        call(node)
    assert str(info.value) == message


def test_keywords_by_name_and_defaults(node, recorder):
    callback = recorder()
    node.set_log_callback(callback=callback)
    node._hpc_log(message="M", level="info", file_name="a")
    assert callback.calls == [(("info", "M"), {"file_name": "a"})]


def test_output_files_by_category_passes_the_list_through(node):
    first = node.get_output_files_by_category({})
    assert first == {"essential": ["md.log", "*.xtc"]}
    files = ["x"]
    node.get_output_files = lambda flow_vars: files
    assert node.get_output_files_by_category({})["essential"] is files


def test_abstract_bodies_return_none_and_result_data_is_fresh(node):
    assert ClusterlaneBase.run_local(node, [], {}) is None
    assert ClusterlaneBase.get_input_files(node, {}) is None
    first, second = node.build_hpc_result_data({}, "/x"), node.build_hpc_result_data({}, "/x")
    assert first == second == {} and first is not second


def test_callback_failure_is_handled_while_the_host_log_runs(node, monkeypatch):
    import sys

    failure = ValueError("queue full")
    seen = []

    def callback(level, message, **metadata):
        raise failure

    def broken(message, level=None):
        seen.append(sys.exception())
        raise OSError("disk full")

    node.set_log_callback(callback)
    monkeypatch.setattr(clusterlane, "log_message", broken)
    with pytest.raises(OSError) as info:
        node._hpc_log("info", "M")
    assert seen == [failure] and info.value.__context__ is failure
    try:
        raise KeyError("outer")
    except KeyError as outer:
        with pytest.raises(OSError):
            node._hpc_log("info", "M")
        assert sys.exception() is outer
