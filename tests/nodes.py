"""The node classes the tests run: SampleNode, a ClusterlaneBase subclass
whose answers are chosen per instance, and ScriptedNode, which also keeps
template filling, the state file and the downloads in memory.

Tests build them through the `make_node` fixture (conftest.py); code that
runs outside pytest's fixtures (spawned processes) imports them from here.
"""
import os

from zentrel_core.clusterlane import ClusterlaneBase

UNSET = object()


class SampleNode(ClusterlaneBase):
    """A node whose overridable methods answer with what it was given.

    - inputs, outputs, template_vars: returned as given (the very objects,
      None included) by get_input_files, get_output_files and
      get_template_variables; without them [], [] and {}.
    - local_result: what run_local returns; an exception instance or class is
      raised instead.
    - node_key: the node's type name (without it, the class name).
    - working_path: set on the node unless left out (None and "" are set too).
    - categories, remote_result, result_data: replace a base-class method on
      this instance only, so that a node without them runs the base class's
      own code: get_output_files_by_category returns `categories`;
      _run_remote returns `remote_result`; build_hpc_result_data returns
      result_data(local_dir).

    Every call of an overriding method is recorded in `calls` as
    (method name, *arguments).
    """

    def __init__(self, node_id="n1", node_key=None, *, working_path=UNSET, inputs=UNSET, outputs=UNSET,
                 template_vars=UNSET, local_result=UNSET, categories=None, remote_result=UNSET, result_data=None):
        if node_key is None:
            super().__init__(node_id)
        else:
            super().__init__(node_id, node_key)
        if working_path is not UNSET:
            self.working_path = os.fspath(working_path) if isinstance(working_path, os.PathLike) else working_path
        self.inputs = [] if inputs is UNSET else inputs
        self.outputs = [] if outputs is UNSET else outputs
        self.template_vars = {} if template_vars is UNSET else template_vars
        self.local_result = {"success": True, "message": "Completed"} if local_result is UNSET else local_result
        self.calls = []
        if categories is not None:
            self.get_output_files_by_category = lambda flow_vars: categories
        if remote_result is not UNSET:
            calls = self.calls  # not self: the replacement keeps no cycle through the node

            def run_remote(predecessor_data, flow_vars, hpc_options):
                calls.append(("_run_remote", predecessor_data, flow_vars, hpc_options))
                return remote_result
            self._run_remote = run_remote
        if result_data is not None:
            self.build_hpc_result_data = lambda flow_vars, local_dir: result_data(local_dir)

    def get_input_files(self, flow_vars):
        self.calls.append(("get_input_files", flow_vars))
        return self.inputs

    def get_output_files(self, flow_vars):
        self.calls.append(("get_output_files", flow_vars))
        return self.outputs

    def get_template_variables(self, flow_vars):
        self.calls.append(("get_template_variables", flow_vars))
        return self.template_vars

    def run_local(self, predecessor_data, flow_vars):
        self.calls.append(("run_local", predecessor_data, flow_vars))
        result = self.local_result
        if isinstance(result, BaseException) or (isinstance(result, type) and issubclass(result, BaseException)):
            raise result
        return result


def result_txt(local_dir):
    """Result data of the test bed's jobs: the text the job left in result.txt."""
    with open(os.path.join(local_dir, "result.txt")) as fh:
        return {"result": fh.read().strip(), "local_dir": local_dir}


class ScriptedNode(SampleNode):
    """A node for _run_remote against a scripted SSH client (fakessh): the
    previous job record is `previous`, saved records go to `saved`, the
    download summary is `summary` (the calls recorded in `retrievals`), the
    local working directory is "/local/out", and templates are filled by a
    plain replacement of {{WORKING_DIR}}-style names."""

    def __init__(self, node_id="n1", *, previous=None, summary=None, outputs=UNSET, **options):
        super().__init__(node_id, outputs=["out.txt"] if outputs is UNSET else outputs, **options)
        self.previous = previous
        self.saved = []
        self.summary = summary if summary is not None else {"downloaded": [], "skipped": [], "remote_files": {}}
        self.retrievals = []

    def _get_all_template_variables_ssh(self, flow_vars, remote_job_dir):
        return {"WORKING_DIR": remote_job_dir}

    def _process_template(self, template, variables):
        for key, value in variables.items():
            template = template.replace("{{" + key + "}}", value)
        return template

    def _load_previous_result(self):
        return self.previous

    def _save_result(self, result):
        self.saved.append(result)

    def _get_local_working_dir(self, flow_vars):
        return "/local/out"

    def _retrieve_output_files_ssh(self, sftp, flow_vars, remote_job_dir, hpc_options=None):
        self.retrievals.append((remote_job_dir, hpc_options))
        return self.summary
