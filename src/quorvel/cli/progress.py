"""The command line's progress bar."""

from __future__ import annotations

import contextlib
from typing import Callable, Iterator

from rich.console import Console
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn


@contextlib.contextmanager
def progress_bar(console: Console, label: str) -> Iterator[Callable[[int, int], None]]:
    """A bar on `console` while the block runs, gone after it; yields the callback that moves
    it: (done, total), a total of 0 while it is not known."""
    bar = Progress(
        TextColumn(label),
        BarColumn(),
        MofNCompleteColumn(),
        TimeElapsedColumn(),
        console=console,
        transient=True,
    )
    task = bar.add_task(label, total=None)
    with bar:
        yield lambda done, total: bar.update(task, completed=done, total=total or None)
