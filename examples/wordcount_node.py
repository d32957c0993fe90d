"""Word counting node: a complete example of a node that runs either locally
or as a SLURM job on a cluster.

The node counts the words of a text file and lists the most frequent ones.
Locally it does the work in Python (`run_local`); on a cluster the SLURM
script in ``wordcount.slurm`` does the same work with awk and sort, and
`build_hpc_result_data` reads the downloaded files back into the same result
data that the local run returns.  Either way the node leaves three files in
its local working directory (the directory of its input file):

    summary.json      essential  totals and the top words        (tiny)
    word_counts.tsv   standard   every distinct word and count   (small)
    tokens.txt        large      every word of the text, in order (as big as the input)

Words are maximal runs of ASCII letters, digits and apostrophes, lower-cased,
with apostrophes at either end removed; every other byte separates words.
Both implementations work on bytes, so any input (any encoding, CRLF line
ends, binary junk) gives the same counts on the cluster and locally.
"""

from __future__ import annotations

import json
import os
import re
from collections import Counter

from zentrel_core.clusterlane import ClusterlaneBase
from zentrel_core.node import NodeException
from zentrel_core.parameters import IntegerParameter, StringParameter
from zentrel_core.pulsewire import stream_log

SUMMARY_FILE = "summary.json"
COUNTS_FILE = "word_counts.tsv"
TOKENS_FILE = "tokens.txt"

# The SLURM script template shipped with this node; users paste it into the
# node's "SLURM Job Script" option (or the HPC panel) and adapt the #SBATCH
# lines to their cluster.
TEMPLATE_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "wordcount.slurm")

_WORD = re.compile(rb"[a-z0-9']+")
_SAFE_NAME = re.compile(r"[A-Za-z0-9._+-]+")
# how many progress lines a local run sends while counting
_PROGRESS_STEPS = 4


def read_template(path: str | None = None) -> str:
    with open(path or TEMPLATE_PATH, encoding="utf-8") as fh:
        return fh.read()


def _option(flow_vars: dict, name: str, default=None):
    """Value of a node option: flow_vars holds parameter objects (get_value)."""
    raw = flow_vars.get(name, default)
    return raw.get_value() if hasattr(raw, "get_value") else raw


def tokenize(data: bytes) -> list:
    """The words of `data` in text order, by the same rules as the awk program
    of the SLURM script (ASCII lower-casing, byte-wise matching)."""
    return [w for w in (m.strip(b"'") for m in _WORD.findall(data.lower())) if w]


def count_lines(data: bytes) -> int:
    """Line count as awk's NR gives it: a last line without a line break counts."""
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


def _slice_ends(data: bytes, parts: int):
    """End offsets of about `parts` slices of `data`, each ending just after a
    line break (or at the end of the data)."""
    target = max(1, len(data) // parts)
    end = 0
    while end < len(data):
        cut = data.find(b"\n", end + target - 1)
        end = len(data) if cut < 0 else cut + 1
        yield end


class WordCountNode(ClusterlaneBase):
    """Counts the words of a text file, locally or as a SLURM job."""

    OPTIONS = {
        **ClusterlaneBase.HPC_OPTIONS,
        "input_file": StringParameter(
            label="Input File", default="",
            docstring="Text file whose words are counted"),
        "top_n": IntegerParameter(
            label="Top Words", default=10,
            docstring="How many of the most frequent words the result lists"),
    }

    # ---- what goes to the cluster and comes back --------------------------

    def _input_path(self, flow_vars: dict) -> str:
        path = _option(flow_vars, "input_file", "")
        if not path:
            raise NodeException("configuration", "No input file given: set the node's 'Input File' option.")
        return str(path)

    def _top_n(self, flow_vars: dict) -> int:
        value = _option(flow_vars, "top_n", 10)
        try:
            top_n = int(value)
        except (TypeError, ValueError):
            raise NodeException("configuration", f"'Top Words' must be a whole number, got {value!r}.") from None
        if top_n < 1:
            raise NodeException("configuration", f"'Top Words' must be at least 1, got {top_n}.")
        return top_n

    def get_input_files(self, flow_vars: dict) -> list:
        return [self._input_path(flow_vars)]

    def get_output_files(self, flow_vars: dict) -> list:
        return [SUMMARY_FILE, COUNTS_FILE, TOKENS_FILE]

    def get_output_files_by_category(self, flow_vars: dict) -> dict:
        return {
            "essential": [SUMMARY_FILE],
            "standard": [COUNTS_FILE],
            "large": [TOKENS_FILE],
        }

    def get_template_variables(self, flow_vars: dict) -> dict:
        # Checked here because this runs before the upload: a missing input
        # would otherwise be skipped silently and the job fail on the cluster.
        path = self._local_input(flow_vars)
        if not os.path.isfile(path):
            raise NodeException("configuration", f"Input file not found: {path}")
        # Template values are pasted into the script as they are, unquoted:
        # a name with blanks, quotes or `$` would break the script or run
        # commands on the cluster.
        if not _SAFE_NAME.fullmatch(os.path.basename(path)):
            raise NodeException("configuration", f"Input file name {os.path.basename(path)!r} cannot be used "
                                                 f"in a job script: use letters, digits and . _ + - only.")
        return {"TOP_N": str(self._top_n(flow_vars))}

    def _local_input(self, flow_vars: dict) -> str:
        path = self._input_path(flow_vars)
        return self.resolve_path(path) if hasattr(self, "resolve_path") else path

    # ---- local run ---------------------------------------------------------

    def run_local(self, predecessor_data: list, flow_vars: dict) -> dict:
        path = self._local_input(flow_vars)
        top_n = self._top_n(flow_vars)
        try:
            with open(path, "rb") as fh:
                data = fh.read()
        except OSError as exc:
            raise NodeException("configuration", f"Cannot read input file {path}: {exc.strerror}") from exc
        stream_log(f"Counting words in {os.path.basename(path)} ({len(data)} bytes)",
                   progress=0, component="wordcount")

        # Count in slices that end at a line break (no word is cut in two),
        # reporting progress after each.
        counts: Counter = Counter()
        tokens: list = []
        start = 0
        for end in _slice_ends(data, _PROGRESS_STEPS):
            chunk_tokens = tokenize(data[start:end])
            counts.update(chunk_tokens)
            tokens.extend(chunk_tokens)
            start = end
            stream_log(f"Counted {len(tokens)} words in {end} of {len(data)} bytes",
                       progress=round(90 * end / len(data), 1), component="wordcount")
        ordered = sorted(counts.items(), key=lambda item: (-item[1], item[0]))

        out_dir = self._get_local_working_dir(flow_vars)
        self._write_outputs(out_dir, ordered, tokens, count_lines(data), len(data), top_n)
        stream_log(f"Wrote {SUMMARY_FILE}, {COUNTS_FILE} and {TOKENS_FILE}",
                   progress=100, component="wordcount")
        return self._read_outputs(out_dir)

    @staticmethod
    def _write_outputs(out_dir, ordered, tokens, lines, size, top_n) -> None:
        """Writes the three files exactly as the SLURM job writes them."""
        out_dir = out_dir or "."
        with open(os.path.join(out_dir, COUNTS_FILE), "wb") as fh:
            fh.writelines(word + b"\t" + str(count).encode() + b"\n" for word, count in ordered)
        with open(os.path.join(out_dir, TOKENS_FILE), "wb") as fh:
            fh.writelines(word + b"\n" for word in tokens)
        summary = {
            "lines": lines,
            "words": len(tokens),
            "unique_words": len(ordered),
            "bytes": size,
            "top_words": [[word.decode("ascii"), count] for word, count in ordered[:top_n]],
        }
        with open(os.path.join(out_dir, SUMMARY_FILE), "w", encoding="ascii") as fh:
            json.dump(summary, fh)
            fh.write("\n")

    # ---- cluster run -------------------------------------------------------

    def build_hpc_result_data(self, flow_vars: dict, local_dir: str) -> dict:
        return self._read_outputs(local_dir)

    def _read_outputs(self, out_dir: str) -> dict:
        """Result data from the files in `out_dir`.

        A file that was not retrieved, or arrived truncated, fails the run
        with a NodeException instead of yielding wrong counts: the summary
        must agree with the full count table."""
        out_dir = out_dir or "."
        summary_path = os.path.join(out_dir, SUMMARY_FILE)
        counts_path = os.path.join(out_dir, COUNTS_FILE)
        try:
            with open(summary_path, encoding="ascii") as fh:
                summary = json.load(fh)
            with open(counts_path, "rb") as fh:
                rows = [line.rstrip(b"\n").split(b"\t") for line in fh if line.strip()]
            counted = sum(int(count) for _, count in rows)
        except (OSError, ValueError) as exc:
            raise NodeException("remote_execution", f"Output of the word count is missing or unreadable "
                                                    f"in {out_dir}: {exc}") from exc
        if len(rows) != summary.get("unique_words") or counted != summary.get("words"):
            raise NodeException("remote_execution", f"Output of the word count in {out_dir} is inconsistent: "
                                                    f"{COUNTS_FILE} holds {len(rows)} words and {counted} "
                                                    f"occurrences, {SUMMARY_FILE} says "
                                                    f"{summary.get('unique_words')} and {summary.get('words')}")
        return {
            "success": True,
            "message": f"Counted {summary['words']} words ({summary['unique_words']} distinct) "
                       f"in {summary['lines']} lines",
            "lines": summary["lines"],
            "words": summary["words"],
            "unique_words": summary["unique_words"],
            "bytes": summary["bytes"],
            "top_words": [{"word": word, "count": count} for word, count in summary["top_words"]],
            "output_dir": os.path.abspath(out_dir),
        }
