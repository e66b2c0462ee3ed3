"""Each run's output kept: what a run printed, caught in its worker, and its log file.

A run of a sweep goes on in a Ray worker, whose standard output and error
nobody reads.  `output_caught` keeps what the strategy prints there (and the
traceback of a run that failed) with the run's row, and `write_logs` puts
each finished row's text into ``runs/<combination>.log`` beside sweep.csv.
"""

from __future__ import annotations

import contextlib
import io
import os
import re
from typing import Any, Dict, Iterator, List, Mapping, Sequence, Tuple

LOGS_DIRECTORY = "runs"

# A file name holds a combination's "name=value" pairs; anything else becomes "_".
_NOT_IN_NAME = re.compile(r"[^\w.,=+-]")
# Room for the ".log" and a "-N" that keeps two names apart, within the usual 255 bytes.
_LONGEST_NAME = 200


@contextlib.contextmanager
def output_caught() -> Iterator[io.StringIO]:
    """Catch what the block writes to ``sys.stdout`` and ``sys.stderr``, in order."""
    caught = io.StringIO()
    with contextlib.redirect_stdout(caught), contextlib.redirect_stderr(caught):
        yield caught


def log_names(combinations: Sequence[Mapping[str, Any]]) -> List[str]:
    """The log file names of `combinations`, in their order: ``ma=100,band=0.002.log``.

    Characters a file name cannot hold on every system become "_", a name
    too long is cut, and a name that comes out the same as an earlier one
    gets "-2", "-3", ... so that no two runs share a file.
    """
    names: List[str] = []
    taken: Dict[str, int] = {}
    for params in combinations:
        text = ",".join(f"{name}={value}" for name, value in params.items())
        stem = _NOT_IN_NAME.sub("_", text).encode()[:_LONGEST_NAME].decode(errors="ignore")
        count = taken[stem] = taken.get(stem, 0) + 1
        names.append(f"{stem}.log" if count == 1 else f"{stem}-{count}.log")
    return names


def write_logs(directory: str, logs: Sequence[Tuple[Mapping[str, Any], str]]) -> None:
    """Make ``runs/`` in `directory`, a fresh one that then takes the place of the sweep's
    (`SweepResult.write`), hold a file for each (combination, text) of `logs`."""
    target = os.path.join(directory, LOGS_DIRECTORY)
    os.mkdir(target)
    names = log_names([params for params, _ in logs])
    for name, (_, text) in zip(names, logs):
        with open(os.path.join(target, name), "w", encoding="utf-8") as log_file:
            log_file.write(text)
