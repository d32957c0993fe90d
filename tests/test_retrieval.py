"""Downloading a finished job's output files: size categories, the large-file
switch, the summary and the log lines, per-file failures and what a broken
download leaves on disk.  Transfers run over SFTP against the test bed's sshd."""

import hashlib
import itertools
import json

import paramiko
import pytest

from fakessh import FakeDownload
from testbed import Testbed
from zentrel_core.node import NodeException
from zentrel_core.parameters import BooleanParameter

pytestmark = pytest.mark.bed

LARGE_REASON = "Large file - enable 'Download Large Files' option to include"

REMOTE_FILES = {
    "md.log": "log of the run\n",
    "results/energy.xvg": "1 2 3\n" * 50,
    "big.trr": "t" * 3000,
    "traj.xtc": "x" * 5000,
}

_job_numbers = itertools.count()


@pytest.fixture(scope="module")
def bed():
    with Testbed(redis=False, ssh=True, slurm=False) as b:
        yield b


@pytest.fixture(scope="module")
def sftp(bed):
    client = paramiko.SSHClient()
    client.load_host_keys(bed.known_hosts_path)
    client.set_missing_host_key_policy(paramiko.RejectPolicy())
    client.connect(bed.ssh_host, port=bed.ssh_port, username=bed.ssh_user, key_filename=bed.key_path,
                   look_for_keys=False, allow_agent=False, timeout=10)
    channel = client.open_sftp()
    yield channel
    channel.close()
    client.close()


@pytest.fixture
def job_dir(bed):
    """A fresh remote job directory holding REMOTE_FILES."""
    path = f"{bed.remote_work_dir}/job_{next(_job_numbers)}"
    script = [f"mkdir -p {path}/results"]
    for name, content in REMOTE_FILES.items():
        script.append(f"printf '%s' '{content}' > '{path}/{name}'")
    bed.run_as_user(" && ".join(script), check=True)
    return path


@pytest.fixture
def logged_node(make_node, recorder):
    """A node with these output categories and a recording log callback;
    without inputs it downloads into the current directory, tmp_path."""
    def make(categories):
        node = make_node(categories=categories)
        log = recorder()
        node.set_log_callback(log)
        return node, log
    return make


CATEGORIES = {
    "essential": ["md.log"],
    "standard": ["results/energy.xvg", "big.trr"],
    "large": ["traj.xtc", "big.trr", "traj.xtc"],
    "scratch": ["ignored.tmp"],
}


@pytest.mark.parametrize("hpc_options, flow_vars", [
    (None, {}),
    ({"download_large_files": False}, {"download_large_files": BooleanParameter(default=False)}),
    ({}, {"download_large_files": ""}),
])
def test_large_files_are_skipped_and_reported(tmp_path, logged_node, sftp, job_dir, hpc_options, flow_vars):
    node, log = logged_node(CATEGORIES)

    summary = node._retrieve_output_files_ssh(sftp, flow_vars, job_dir, hpc_options)

    record = {"remote_path": job_dir + "/traj.xtc", "category": "large", "reason": LARGE_REASON}
    assert list(summary) == ["downloaded", "skipped", "remote_files"]
    assert summary == {
        "downloaded": ["md.log", "results/energy.xvg", "big.trr"],
        "skipped": ["traj.xtc", "traj.xtc"],
        "remote_files": {"traj.xtc": record},
    }
    assert list(summary["remote_files"]["traj.xtc"]) == ["remote_path", "category", "reason"]
    assert log.calls == [
        (("debug", "download_large_files = False"), {}),
        (("info", "Downloading 3 output files (skipping 2 large files)"), {"num_files": 3, "num_skipped": 2}),
        (("info", "Skipped large files: traj.xtc, traj.xtc"), {"skipped_files": ["traj.xtc", "traj.xtc"]}),
        (("debug", "Downloaded: md.log (15 bytes)"), {"file_name": "md.log", "file_size": 15}),
        (("debug", "Downloaded: results/energy.xvg (300 bytes)"),
         {"file_name": "results/energy.xvg", "file_size": 300}),
        (("debug", "Downloaded: big.trr (3000 bytes)"), {"file_name": "big.trr", "file_size": 3000}),
    ]
    for name in summary["downloaded"]:
        assert (tmp_path / name).read_text() == REMOTE_FILES[name]
    assert not (tmp_path / "traj.xtc").exists()


@pytest.mark.parametrize("hpc_options, flow_vars, shown", [
    ({"download_large_files": True}, {}, "True"),
    ({"download_large_files": False}, {"download_large_files": BooleanParameter(default=False, value=True)}, "True"),
    (None, {"download_large_files": BooleanParameter(default=False, value=True)}, "True"),
    ({}, {"download_large_files": "yes"}, "True"),
    ({"download_large_files": 1}, {"download_large_files": BooleanParameter(default=False)}, "1"),
], ids=["options", "parameter-over-false-option", "parameter-without-options", "plain-value", "truthy-option"])
def test_large_file_flag_from_either_source(tmp_path, logged_node, sftp, job_dir, hpc_options, flow_vars, shown):
    node, log = logged_node(CATEGORIES)

    summary = node._retrieve_output_files_ssh(sftp, flow_vars, job_dir, hpc_options)

    # an entry in two categories is fetched once for each
    assert summary == {
        "downloaded": ["md.log", "results/energy.xvg", "big.trr", "traj.xtc", "big.trr", "traj.xtc"],
        "skipped": [],
        "remote_files": {},
    }
    assert log.calls[0] == (("debug", "download_large_files = " + shown), {})
    assert log.calls[1] == (("info", "Downloading 6 output files (skipping 0 large files)"),
                            {"num_files": 6, "num_skipped": 0})
    assert (tmp_path / "traj.xtc").read_text() == REMOTE_FILES["traj.xtc"]


def partial_files(directory):
    return sorted(p.name for p in directory.glob(".zentrel-*.part"))


def local_files(directory):
    """The names in the directory, partial files of downloads included (not
    the node's download record)."""
    return sorted(p.name for p in directory.iterdir() if not p.name.endswith(".downloads.json"))


@pytest.mark.parametrize("stale_local_copy", [False, True])
def test_missing_remote_file_leaves_the_local_path_as_it_was(tmp_path, logged_node, sftp, job_dir,
                                                             stale_local_copy):
    if stale_local_copy:
        (tmp_path / "*.xtc").write_text("from an earlier run")
    node, log = logged_node({"essential": ["*.xtc", "md.log"]})

    summary = node._retrieve_output_files_ssh(sftp, {}, job_dir)

    assert summary == {"downloaded": ["md.log"], "skipped": [], "remote_files": {}}
    assert (("warning", "Remote file not found: *.xtc"), {"file_name": "*.xtc"}) in log.calls
    assert local_files(tmp_path) == (["*.xtc", "md.log"] if stale_local_copy else ["md.log"])
    if stale_local_copy:
        assert (tmp_path / "*.xtc").read_text() == "from an earlier run"


@pytest.mark.parametrize("remote_present", [True, False])
def test_a_link_at_the_output_path_is_replaced_never_written_through(tmp_path, logged_node, sftp, job_dir,
                                                                    remote_present):
    outside = tmp_path.parent / f"{tmp_path.name}-users-file"
    outside.write_text("the user's own data")
    (tmp_path / "md.log").symlink_to(outside)
    if not remote_present:
        sftp.remove(job_dir + "/md.log")
    node, log = logged_node({"standard": ["md.log"]})

    summary = node._retrieve_output_files_ssh(sftp, {}, job_dir)

    assert outside.read_text() == "the user's own data"
    assert local_files(tmp_path) == ["md.log"]
    if remote_present:
        assert summary["downloaded"] == ["md.log"]
        assert not (tmp_path / "md.log").is_symlink()
        assert (tmp_path / "md.log").read_text() == REMOTE_FILES["md.log"]
    else:
        assert summary["downloaded"] == []
        assert (tmp_path / "md.log").is_symlink()


def test_a_download_gets_the_mode_of_a_new_file(tmp_path, logged_node, sftp, job_dir):
    with open("/proc/self/status") as status:
        umask = next(int(line.split()[1], 8) for line in status if line.startswith("Umask:"))
    node, _ = logged_node({"standard": ["md.log"]})
    node._retrieve_output_files_ssh(sftp, {}, job_dir)
    assert (tmp_path / "md.log").stat().st_mode & 0o777 == 0o666 & ~umask


def test_files_of_any_size_come_down_whole_an_unreadable_one_fails(tmp_path, logged_node, sftp, job_dir, bed):
    # sizes around the read windows (4 MiB): none, one exact, several with a tail, more than the handles
    sizes = {"none.bin": 0, "one.bin": 4 << 20, "five.bin": (20 << 20) + 7}
    bed.run_as_user(" && ".join([f"head -c {size} /dev/urandom > {job_dir}/{name}" for name, size in sizes.items()]
                                + [f"touch {job_dir}/locked.bin", f"chmod 000 {job_dir}/locked.bin"]), check=True)
    node, log = logged_node({"standard": [*sizes, "locked.bin"]})
    summary = node._retrieve_output_files_ssh(sftp, {}, job_dir)
    assert summary["downloaded"] == list(sizes)
    for name in sizes:
        remote = bed.run_as_user(f"sha256sum < {job_dir}/{name}", check=True).stdout.split()[0]
        assert hashlib.sha256((tmp_path / name).read_bytes()).hexdigest() == remote
    assert (("warning", "Could not retrieve locked.bin: [Errno 13] Permission denied"),
            {"file_name": "locked.bin", "error": "[Errno 13] Permission denied"}) in log.calls
    assert not (tmp_path / "locked.bin").exists()


class BreakingFile(FakeDownload):
    """Gives part of the file, as a transfer cut off part-way does, then raises."""

    def __init__(self, error):
        super().__init__(b"partial")
        self.error = error

    def read(self, size):
        if self._pos:
            raise self.error
        return super().read(size)


class BreakingSftp:
    """The bed's SFTP client, its downloads broken off with `error`."""

    def __init__(self, sftp, error):
        self.sftp, self.error = sftp, error

    def stat(self, path):
        return self.sftp.stat(path)

    def open(self, remote_path, mode="r"):
        return BreakingFile(self.error)


class ChangingSftp(BreakingSftp):
    """The remote file looks rewritten when it is looked at after the transfer."""

    def __init__(self, sftp):
        super().__init__(sftp, None)
        self.stats = 0

    def stat(self, path):
        attributes = self.sftp.stat(path)
        self.stats += 1
        if self.stats % 2 == 0:
            attributes.st_mtime += 1
        return attributes

    def open(self, remote_path, mode="r"):
        return self.sftp.open(remote_path, mode)


@pytest.mark.parametrize("existing", [None, "previous download"])
@pytest.mark.parametrize("fault, text", [("dropped", "Server connection dropped"), ("empty", "EOFError"),
                                         ("changed", None)])
def test_broken_essential_download_keeps_the_local_path_fails_and_is_fetched_next_time(
        tmp_path, logged_node, sftp, job_dir, existing, fault, text):
    if existing is not None:
        (tmp_path / "md.log").write_text(existing)
    node, log = logged_node({"essential": ["md.log"]})
    faults = {"dropped": OSError("Server connection dropped"), "empty": EOFError()}
    broken = BreakingSftp(sftp, faults[fault]) if fault in faults else ChangingSftp(sftp)

    with pytest.raises(NodeException) as caught:
        node._retrieve_output_files_ssh(broken, {}, job_dir)

    assert (caught.value.origin, caught.value.message) == (
        "download", f"Could not download essential output files: md.log ({text or 'changed while downloading'}). "
                    f"They stay on the cluster in {job_dir} and are fetched again on the next call.")
    assert log.calls[-1] == ((("warning", f"Could not retrieve md.log: {text}"),
                              {"file_name": "md.log", "error": text}) if text
                             else (("warning", "Remote file changed while downloading: md.log"),
                                   {"file_name": "md.log"}))
    # a broken transfer keeps its partial file for the next pass; a changed remote file makes it useless
    kept = [] if fault == "changed" else partial_files(tmp_path)
    assert len(kept) == (0 if fault == "changed" else 1)
    assert local_files(tmp_path) == sorted(kept + ([] if existing is None else ["md.log"]))
    if existing is not None:
        assert (tmp_path / "md.log").read_text() == existing

    # outside a pass there is no command to check a resumed file with: downloaded whole
    assert node._retrieve_output_files_ssh(sftp, {}, job_dir)["downloaded"] == ["md.log"]
    assert (tmp_path / "md.log").read_text() == REMOTE_FILES["md.log"]
    assert local_files(tmp_path) == ["md.log"]


class SelectiveSftp(BreakingSftp):
    """The bed's SFTP client, with the downloads of some names refused."""

    def __init__(self, sftp, refused):
        super().__init__(sftp, None)
        self.refused = refused

    def open(self, remote_path, mode="r"):
        if remote_path.rsplit("/", 1)[-1] in self.refused:
            raise PermissionError(13, "Permission denied", remote_path)
        return self.sftp.open(remote_path, mode)


def test_only_failed_essential_files_fail_the_download(tmp_path, logged_node, sftp, job_dir):
    node, log = logged_node({"essential": ["big.trr", "md.log", "absent.txt", "traj.xtc", "big.trr"],
                           "standard": ["results/energy.xvg", "traj.xtc"]})
    refused = SelectiveSftp(sftp, {"big.trr", "traj.xtc", "energy.xvg"})

    with pytest.raises(NodeException) as caught:
        node._retrieve_output_files_ssh(refused, {}, job_dir)

    # each once, in download order; the missing one and the standard ones only warn
    assert caught.value.message.startswith(
        f"Could not download essential output files: big.trr ([Errno 13] Permission denied: '{job_dir}/big.trr'), "
        f"traj.xtc ([Errno 13] Permission denied: '{job_dir}/traj.xtc'). ")
    warnings = [args[1] for args, _ in log.calls if args[0] == "warning"]
    assert len(warnings) == 6 and "Remote file not found: absent.txt" in warnings
    assert (tmp_path / "md.log").exists()

    (tmp_path / "md.log").unlink()
    summary = node._retrieve_output_files_ssh(SelectiveSftp(sftp, {"energy.xvg"}), {}, job_dir)
    assert summary["downloaded"] == ["big.trr", "md.log", "traj.xtc", "big.trr", "traj.xtc"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, TimeoutError])
def test_interrupt_and_timeout_end_the_download_after_cleanup(tmp_path, logged_node, sftp, job_dir, error):
    node, log = logged_node({"standard": ["md.log", "big.trr"]})
    with pytest.raises(error):
        node._retrieve_output_files_ssh(BreakingSftp(sftp, error()), {}, job_dir)
    assert local_files(tmp_path) == partial_files(tmp_path) and len(partial_files(tmp_path)) == 1
    assert not [args for args, _ in log.calls if args[0] == "warning"]  # not one per file


# Local writes that fail for real: a directory stands where `taken` would
# go, and a regular file where the parent directory of results/energy.xvg
# would go.  A 240-character name comes down (its partial file's name is short).
LONG = "o" * 236 + ".txt"
UNWRITABLE = ["taken", "results/energy.xvg"]


@pytest.fixture
def unwritable(tmp_path, bed, job_dir):
    bed.run_as_user(f"printf 'long' > '{job_dir}/{LONG}' && printf 'taken' > '{job_dir}/taken'", check=True)
    (tmp_path / "results").write_text("a file, not a directory")
    (tmp_path / "taken").mkdir()


def first_reasons(log):
    """The error of each entry's first "Could not retrieve" warning."""
    reasons = {}
    for (level, _), meta in log.calls:
        if level == "warning" and "error" in meta:
            reasons.setdefault(meta["file_name"], meta["error"])
    return reasons


@pytest.mark.usefixtures("unwritable")
def test_failed_essential_files_are_named_with_their_reasons(tmp_path, logged_node, sftp, job_dir):
    node, log = logged_node({"essential": ["taken", LONG, "md.log", "results/energy.xvg", "taken"]})

    with pytest.raises(NodeException) as caught:
        node._retrieve_output_files_ssh(sftp, {}, job_dir)

    reasons = first_reasons(log)
    assert "Is a directory" in reasons["taken"] and "File exists" in reasons["results/energy.xvg"]
    assert (tmp_path / LONG).read_text() == "long"
    assert local_files(tmp_path) == sorted([LONG, "md.log", "results", "taken"])  # no partial file left
    assert caught.value.message == (
        f"Could not download essential output files: taken ({reasons['taken']}), results/energy.xvg "
        f"({reasons['results/energy.xvg']}). They stay on the cluster in {job_dir} and are fetched again on the "
        "next call.")


@pytest.mark.usefixtures("unwritable")
@pytest.mark.parametrize("category, download_large, skipped", [("standard", False, ["traj.xtc"]),
                                                               ("large", True, [])])
def test_failed_other_files_are_reported_after_the_skipped_ones(tmp_path, logged_node, sftp, job_dir, category,
                                                               download_large, skipped):
    categories = {"essential": ["md.log"], "large": ["traj.xtc"]}
    categories[category] = categories.get(category, []) + [*UNWRITABLE, "big.trr", "gone.dat", "taken"]
    node, log = logged_node(categories)

    summary = node._retrieve_output_files_ssh(sftp, {}, job_dir, {"download_large_files": download_large})

    reasons = first_reasons(log)
    failed = {name: {"remote_path": f"{job_dir}/{name}", "category": category,
                     "reason": "Download failed: " + reasons[name]} for name in UNWRITABLE}
    # a file missing on the cluster stays a warning only
    assert set(summary["downloaded"]) == {"md.log", "big.trr"} | ({"traj.xtc"} if download_large else set())
    assert summary["skipped"] == skipped
    assert list(summary["remote_files"]) == skipped + UNWRITABLE
    assert {name: summary["remote_files"][name] for name in UNWRITABLE} == failed
    assert (tmp_path / "taken").is_dir()


class RefusingSftp(BreakingSftp):
    """The bed's SFTP client, refusing the first `times` downloads."""

    def __init__(self, sftp, times):
        super().__init__(sftp, None)
        self.times = times

    def open(self, remote_path, mode="r"):
        self.times -= 1
        if self.times >= 0:
            raise OSError("connection dropped")
        return self.sftp.open(remote_path, mode)


@pytest.mark.parametrize("refused", [1, 2])
def test_entry_in_two_categories_is_reported_only_when_no_download_came_down(logged_node, sftp, job_dir, refused):
    node, _ = logged_node({"standard": ["big.trr"], "large": ["big.trr"]})

    summary = node._retrieve_output_files_ssh(RefusingSftp(sftp, refused), {}, job_dir, {"download_large_files": True})

    record = {"remote_path": f"{job_dir}/big.trr", "category": "standard", "reason": "Download failed: connection dropped"}
    assert summary["remote_files"] == ({"big.trr": record} if refused == 2 else {})


class Config:
    remote_work_dir = "/scratch/u"


class Executor:
    def __init__(self, failing):
        self.failing = failing
        self.calls = []

    def download_file(self, remote_path, local_path):
        self.calls.append((remote_path, local_path))
        if remote_path in self.failing:
            raise OSError("no route")


def test_plain_download_through_executor(tmp_path, host_log, make_node):
    node = make_node(node_id=7, outputs=["md.log", "results/energy.xvg"])
    executor = Executor(failing={"/scratch/u/job_7/results/energy.xvg"})

    assert node._retrieve_output_files(executor, {}, Config()) is None

    assert executor.calls == [
        ("/scratch/u/job_7/md.log", str(tmp_path / "md.log")),
        ("/scratch/u/job_7/results/energy.xvg", str(tmp_path / "results/energy.xvg")),
    ]
    assert host_log.calls == [
        (("Retrieved: md.log",), {}),
        (("Warning: Could not retrieve results/energy.xvg: no route",), {"level": "warning"}),
    ]
    assert not (tmp_path / "results").exists()


# ---- the download record and partial files, when they are not what they should be

def record_path(tmp_path):
    return tmp_path / ".zentrel_hpc_n1.downloads.json"


@pytest.mark.parametrize("record", ["garbage", "huge", "link", "foreign_paths", "directory"])
def test_a_hostile_download_record_is_never_trusted(tmp_path, logged_node, sftp, job_dir, record):
    victim = tmp_path.parent / f"{tmp_path.name}-victim"
    victim.write_text("the user's own data")
    path = record_path(tmp_path)
    if record == "garbage":
        path.write_text('{"version": 1, "files": [')
    elif record == "huge":
        path.write_text(json.dumps({"version": 1, "files": {}, "partial_files": {}, "pad": "x" * (17 << 20)}))
    elif record == "link":
        path.symlink_to(victim)
    elif record == "foreign_paths":  # names files that are not partial files of ours
        path.write_text(json.dumps({"version": 1, "remote_job_dir": job_dir, "files": {"md.log": [1]},
                                    "partial_files": {"md.log": str(victim), "x": 5}}))
    else:
        path.mkdir()
    node, log = logged_node({"essential": ["md.log"]})

    for _ in range(2):
        assert node._retrieve_output_files_ssh(sftp, {}, job_dir)["downloaded"] == ["md.log"]
    assert (tmp_path / "md.log").read_text() == REMOTE_FILES["md.log"]
    assert victim.read_text() == "the user's own data"
    saved = [args for args, _ in log.calls if args[1].startswith("Could not save the download record")]
    if record == "directory":
        assert len(saved) == 2  # once in each pass; the downloads go on
    else:
        assert not saved and not path.is_symlink()
        assert json.loads(path.read_text())["files"]["md.log"]["remote_size"] == len(REMOTE_FILES["md.log"])
        # the second pass found the download recorded
        assert [args for args, _ in log.calls if args[1].startswith("Up to date: md.log")]


def test_a_link_at_the_partial_file_is_never_written_through(tmp_path, logged_node, sftp, job_dir):
    node, _ = logged_node({"essential": ["md.log"]})
    with pytest.raises(NodeException):
        node._retrieve_output_files_ssh(BreakingSftp(sftp, OSError("dropped")), {}, job_dir)
    [partial] = partial_files(tmp_path)
    victim = tmp_path.parent / f"{tmp_path.name}-victim"
    victim.write_text("the user's own data")
    (tmp_path / partial).unlink()
    (tmp_path / partial).symlink_to(victim)

    assert node._retrieve_output_files_ssh(sftp, {}, job_dir)["downloaded"] == ["md.log"]
    assert victim.read_text() == "the user's own data"
    assert local_files(tmp_path) == ["md.log"] and not (tmp_path / "md.log").is_symlink()
