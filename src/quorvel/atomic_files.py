"""Files written whole or not at all: each is written under a temporary name beside its place
and then renamed into it, one atomic step, so that a failure (a full disk, a kill) never leaves
a cut file where a reader looks.

The temporary name is the target's with the writer's process and thread ids and ".tmp"
appended (`temporary_path`), so that no two writers share one, and one left behind by a writer
that is gone can be told by its name (the tick cache clears those).
"""

from __future__ import annotations

import contextlib
import os
import threading
from typing import Iterator, List, Sequence

__all__ = ["temporary_beside", "temporary_path", "written_together"]


def temporary_path(path: str) -> str:
    """A name beside `path` that no other process or thread uses at the same time."""
    return f"{path}.{os.getpid()}-{threading.get_ident()}.tmp"


@contextlib.contextmanager
def temporary_beside(path: str) -> Iterator[str]:
    """A temporary path beside `path` for the block to write and rename into place itself; it
    is removed if the block fails or leaves it there."""
    temporary = temporary_path(path)
    try:
        yield temporary
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)


@contextlib.contextmanager
def written_together(paths: Sequence[str]) -> Iterator[List[str]]:
    """Temporary paths beside `paths` for the block to write; once it succeeds, each replaces
    its path, and if it fails none does and they are removed."""
    with contextlib.ExitStack() as stack:
        temporary = [stack.enter_context(temporary_beside(path)) for path in paths]
        yield temporary
        for temp_path, path in zip(temporary, paths):
            os.replace(temp_path, path)
