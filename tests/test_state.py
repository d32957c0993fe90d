"""The node's JSON state file and the local working directory for downloads."""
import json
import os

import pytest

import zentrel_core.clusterlane as clusterlane
from nodes import UNSET

RECORD = {
    "success": True,
    "remote_job_status": "submitted",
    "remote_job_id": "4711",
    "remote_job_dir": "/scratch/job_filter_2",
    "message": "Job submitted with ID: 4711 – Grüße 🚀",
    "extra": [1, 2.5, None, False, {"nested": "ok"}],
}


def state_file(directory, node_id="n1"):
    return os.path.join(str(directory), f".zentrel_hpc_{node_id}.json")


def test_round_trip_and_exact_file_content(make_node, tmp_path, host_log):
    node = make_node(working_path=str(tmp_path))
    assert node._get_state_file_path() == state_file(tmp_path)
    node._save_result(RECORD)
    content = open(state_file(tmp_path), "rb").read()
    assert content == json.dumps(RECORD, indent=2).encode("ascii")
    loaded = node._load_previous_result()
    assert loaded == RECORD and list(loaded) == list(RECORD)
    assert os.listdir(tmp_path) == [os.path.basename(state_file(tmp_path))]
    assert host_log.calls == []


@pytest.mark.parametrize("content", [None, b"", b"{not json", b"null", b'{"a": 1'])
def test_no_previous_job(make_node, tmp_path, host_log, content):
    if content is not None:
        open(state_file(tmp_path), "wb").write(content)
    assert make_node(working_path=str(tmp_path))._load_previous_result() is None
    assert host_log.calls == []


@pytest.mark.parametrize("content, error, match", [
    (b"[1, 2]", TypeError, "^Expected dict, got list$"),
    (b'"text"', TypeError, "^Expected dict, got str$"),
    (b"3", TypeError, "^Expected dict, got int$"),
    (b"true", TypeError, "^Expected dict, got bool$"),
    (b'{"a": "\xff\xfe"}', UnicodeDecodeError, "utf-8"),
])
def test_unusable_state_file_fails_the_load(make_node, tmp_path, host_log, content, error, match):
    open(state_file(tmp_path), "wb").write(content)
    with pytest.raises(error, match=match):
        make_node(working_path=str(tmp_path))._load_previous_result()


def test_state_path_that_is_a_directory(make_node, tmp_path, host_log):
    os.mkdir(state_file(tmp_path))
    node = make_node(working_path=str(tmp_path))
    with pytest.raises(IsADirectoryError):
        node._load_previous_result()
    node._save_result(RECORD)
    assert host_log.messages[0].startswith("Warning: Could not save state: ")
    assert os.path.isdir(state_file(tmp_path)) and os.listdir(tmp_path) == [os.path.basename(state_file(tmp_path))]


@pytest.mark.parametrize("working_path", [UNSET, "", None])
def test_without_working_path_state_goes_to_cwd_with_warnings(make_node, tmp_path, monkeypatch, host_log,
                                                               working_path):
    monkeypatch.chdir(tmp_path)
    node = make_node(node_id=12, working_path=working_path)
    node._save_result({"remote_job_id": "1"})
    assert node._load_previous_result() == {"remote_job_id": "1"}
    assert os.path.exists(state_file(tmp_path, 12))
    warning = (f"Warning: No working_path set for HPC node 12, using cwd for state file: {os.getcwd()}",)
    assert host_log.calls == [(warning, {"level": "warning"})] * 2


@pytest.mark.parametrize("bad_record", [
    {"remote_job_id": "2", "later": {1, 2}},
    {"remote_job_id": "2", "later": object()},
])
def test_failed_save_keeps_previous_record(make_node, tmp_path, host_log, bad_record):
    node = make_node(working_path=str(tmp_path))
    node._save_result(RECORD)
    before = open(state_file(tmp_path), "rb").read()
    assert node._save_result(bad_record) is None
    assert host_log.messages == [f"Warning: Could not save state: Object of type "
                                 f"{type(bad_record['later']).__name__} is not JSON serializable"]
    assert host_log.calls[0][1] == {"level": "warning"}
    assert open(state_file(tmp_path), "rb").read() == before
    assert os.listdir(tmp_path) == [os.path.basename(state_file(tmp_path))]


def test_interrupted_save_keeps_previous_record(make_node, tmp_path, host_log, monkeypatch):
    """A write cut short by an interrupt leaves neither a partial state file nor a temporary file."""
    node = make_node(working_path=str(tmp_path))
    node._save_result(RECORD)
    before = open(state_file(tmp_path), "rb").read()

    class InterruptedJson:
        JSONDecodeError = json.JSONDecodeError

        @staticmethod
        def dump(obj, fp, **kwargs):
            fp.write('{\n  "remote_job_id": "9"')
            raise KeyboardInterrupt

    monkeypatch.setattr(clusterlane, "json", InterruptedJson)
    with pytest.raises(KeyboardInterrupt):
        node._save_result({"remote_job_id": "9"})
    monkeypatch.undo()
    assert open(state_file(tmp_path), "rb").read() == before
    assert os.listdir(tmp_path) == [os.path.basename(state_file(tmp_path))]
    assert host_log.calls == []


def test_save_into_missing_directory(make_node, tmp_path, host_log):
    missing = tmp_path / "gone"
    make_node(working_path=str(missing))._save_result(RECORD)
    [message] = host_log.messages
    assert message.startswith("Warning: Could not save state: [Errno 2]")
    assert not missing.exists()


def test_state_path_with_a_nul_creates_no_file(make_node, tmp_path, host_log):
    """The system reads a path only up to a NUL: "<dir>/x\0y/..." would create "<dir>/x"."""
    make_node(working_path=str(tmp_path / "x") + "\0y")._save_result(RECORD)
    assert host_log.messages == ["Warning: Could not save state: embedded null byte"]
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("first, expected", [
    (None, "cwd"),
    ("", "cwd"),
    ("missing.pdb", "cwd"),
    ("/no/such/dir/a.pdb", "cwd"),
    ("inputs/a.pdb", "inputs"),
    ("bare.pdb", ""),
    ("inputs", ""),
])
def test_local_working_dir(make_node, tmp_path, monkeypatch, host_log, first, expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "inputs").mkdir()
    (tmp_path / "inputs" / "a.pdb").write_text("x")
    (tmp_path / "bare.pdb").write_text("x")
    files = [] if first is None else [first, str(tmp_path / "inputs" / "a.pdb")]
    result = make_node(inputs=files)._get_local_working_dir({})
    assert result == (str(tmp_path) if expected == "cwd" else expected)
    assert host_log.calls == []


def test_local_working_dir_uses_resolved_path(make_node, tmp_path, monkeypatch, host_log):
    monkeypatch.chdir("/")
    (tmp_path / "run").mkdir()
    (tmp_path / "run" / "in.gro").write_text("x")
    node = make_node(working_path=str(tmp_path), inputs=("run/in.gro",))
    assert node._get_local_working_dir({}) == str(tmp_path / "run")


def test_planted_links_beside_the_state_file_are_never_followed(make_node, tmp_path, host_log):
    """Whatever waits at the names a save might once have used stays as it is."""
    victim = tmp_path / "victim"
    victim.write_text("keep")
    path = state_file(tmp_path)
    planted = [f"{path}.{os.getpid()}.{n}.tmp" for n in range(3)] + [path + ".tmp"]
    for name in planted:
        os.symlink(victim, name)
    make_node(working_path=str(tmp_path))._save_result(RECORD)
    assert victim.read_text() == "keep"
    assert all(os.path.islink(name) for name in planted)
    assert sorted(os.listdir(tmp_path)) == sorted([os.path.basename(path), "victim"] +
                                                  [os.path.basename(n) for n in planted])
