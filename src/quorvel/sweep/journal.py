"""rows.jsonl: each finished row of a sweep, appended as its run ends, to resume the sweep from.

The first line names the sweep by what makes its rows what they are: the
strategy, the codes, the broker, the grid, the fixed parameters, the search
and every run setting (not the tick cache's place, nor the ranking).  Each
further line is one row with all its fields, what the run printed too.  A
line goes out in one write to a file opened for appending, so that a Ctrl-C
or a kill leaves whole lines, with at most a cut last one (a full disk, a
machine that stopped), which a resume drops.
"""

from __future__ import annotations

import dataclasses
import functools
import json
import os
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Mapping, Optional, Sequence

from quorvel.atomic_files import append_line, cut_unfinished_line, written_together
from quorvel.sweep.errors import SweepError
from quorvel.sweep.search import Search

if TYPE_CHECKING:
    from quorvel.sweep.runner import SweepRow, SweepSettings

ROWS_FILE = "rows.jsonl"


def sweep_identity(
    strategy: type,
    settings: SweepSettings,
    broker: Callable[[], Any],
    grid: Mapping[str, Sequence[Any]],
    fixed: Mapping[str, Any],
    search: Search,
) -> Dict[str, Any]:
    """What a journal's first line holds: the sweep its rows belong to, as JSON reads it back."""
    identity = {
        "strategy": f"{strategy.__module__}:{strategy.__qualname__}",
        "codes": list(settings.codes),
        "broker": _described(broker),
        "grid": dict(grid),
        "fixed": dict(fixed),
        "search": search.as_dict(),
        **settings.run.as_dict(),
    }
    return dict(json.loads(json.dumps(identity)))


class RowsJournal:
    """The rows.jsonl of `directory`, for the sweep of `identity`: opened (as a context) either
    fresh, replacing the file of an earlier sweep, or to go on with the rows it holds."""

    def __init__(self, directory: str, identity: Dict[str, Any]) -> None:
        self.directory = os.path.abspath(os.path.expanduser(directory))
        self.path = os.path.join(self.directory, ROWS_FILE)
        self._identity = identity
        self._file: Optional[int] = None
        self._resumed = False

    def read(self) -> List[Dict[str, Any]]:
        """The rows kept, each a record of a `SweepRow`'s fields.  Raises `SweepError` when
        there is no journal or it is another sweep's; the journal then goes on from them."""
        try:
            with open(self.path, encoding="utf-8") as journal:
                lines = journal.read().split("\n")[:-1]  # the last, empty or cut, is no line
        except FileNotFoundError:
            raise SweepError(f"nothing to resume in {self.directory}: no {ROWS_FILE}") from None
        try:
            header, *records = [json.loads(line) for line in lines]
        except ValueError:  # a bad line, or not even the first
            raise SweepError(f"{self.path}: not the rows of a sweep") from None
        if not isinstance(header, dict) or not all(
            isinstance(record, dict) and isinstance(record.get("params"), dict)
            for record in records
        ):
            raise SweepError(f"{self.path}: not the rows of a sweep")
        other = sorted(
            name for name in {*header, *self._identity}
            if header.get(name) != self._identity.get(name)
        )
        if other:
            raise SweepError(
                f"cannot resume from {self.directory}: its rows are another sweep's "
                f"(other {', '.join(other)})"
            )
        self._resumed = True
        return records

    def append(self, row: SweepRow) -> None:
        """`row` as the journal's next line."""
        assert self._file is not None, "the journal is not open"
        append_line(self._file, json.dumps(dataclasses.asdict(row), ensure_ascii=False))

    def __enter__(self) -> RowsJournal:
        os.makedirs(self.directory, exist_ok=True)
        if self._resumed:
            cut_unfinished_line(self.path)
        else:
            with written_together([self.path]) as [staged]:
                with open(staged, "w", encoding="utf-8") as journal:
                    journal.write(json.dumps(self._identity, ensure_ascii=False) + "\n")
        self._file = os.open(self.path, os.O_WRONLY | os.O_APPEND)
        return self

    def __exit__(self, *raised: object) -> None:
        if self._file is not None:
            os.close(self._file)
            self._file = None


def _described(factory: Callable[[], Any]) -> str:
    """A broker factory named as it was made: ``quorvel.sim.broker.SimulatedBroker(0,
    ticks_per_day=20)`` for a `functools.partial`."""
    if isinstance(factory, functools.partial):
        arguments = [
            *map(repr, factory.args),
            *(f"{name}={value!r}" for name, value in sorted(factory.keywords.items())),
        ]
        return f"{_described(factory.func)}({', '.join(arguments)})"
    name = getattr(factory, "__qualname__", type(factory).__qualname__)
    return f"{getattr(factory, '__module__', None) or type(factory).__module__}.{name}"
