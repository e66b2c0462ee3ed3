"""Files written whole or not at all: each is written under a temporary name beside its place
and then renamed into it, one atomic step, so that a failure (a full disk, a kill) never leaves
a cut file where a reader looks.

The temporary name is the target's with the writer's process and thread ids and ".tmp"
appended (`temporary_path`), so that no two writers share one, and one left behind by a writer
that is gone can be told by its name (the tick cache clears those).

A set of files that belong together (a run's outputs) is written into a fresh directory beside
its place and swapped into it (`directory_written`), with a marker naming its files.

A file that grows line by line as things happen (a sweep's rows, a live session's events) gets
each line in one write on a descriptor opened with ``O_APPEND`` (`append_line`), so that a kill
cuts at most the last line, which its next writer cuts off before going on
(`cut_unfinished_line`).
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import shutil
import threading
from typing import Iterator, List, Sequence, Set

__all__ = [
    "COMPLETE_MARKER",
    "append_line",
    "cut_unfinished_line",
    "directory_written",
    "temporary_beside",
    "temporary_path",
    "writer_may_be_running",
    "written_together",
]

# The file a directory written whole holds: the names of the files its writer put there.
COMPLETE_MARKER = ".quorvel-files.json"


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


def writer_may_be_running(pid: int) -> bool:
    """Whether process `pid` may still be writing; where that cannot be asked cheaply (Windows,
    whose os.kill would end the process) it is taken to be gone."""
    if pid == os.getpid():
        return True
    if os.name != "posix":
        return False
    try:
        os.kill(pid, 0)
    except (ProcessLookupError, OverflowError):
        return False
    except PermissionError:  # another user's process
        return True
    return True


@contextlib.contextmanager
def directory_written(path: str, names: Sequence[str] = ()) -> Iterator[str]:
    """A fresh directory beside `path` for the block to write `path`'s files into; then it takes
    the place of `path` with `COMPLETE_MARKER` naming its files, so that a kill at any point
    leaves `path` with the files of one writer or of the other, never a mix.  A block that
    fails having written files still puts them in place (a failure after the data files keeps
    them); one that wrote none leaves `path` as it was.

    The files in `path` before are the last writer's when its marker names them or they are
    among `names` (what a writer puts there, for a directory without a marker): those go, and
    whatever else is there stays.  With such other files the directory cannot be swapped whole:
    the new files are then moved in one by one, the old marker removed first and the new one
    put last, so that a directory without its marker is one whose writing was cut short.  What
    writers that were stopped (killed) left beside `path` and in it is cleared first.
    """
    path = os.path.abspath(os.path.expanduser(path))
    parent, name = os.path.split(path)
    _clear_stale(path, names)
    stage = temporary_path(os.path.join(parent, f".{name}"))
    os.mkdir(stage)
    try:
        try:
            yield stage
        except BaseException:
            if os.listdir(stage):
                _swap_in(stage, path, names)
            raise
        _swap_in(stage, path, names)
    finally:
        shutil.rmtree(stage, ignore_errors=True)  # there only when the swap did not happen


def _stale_pattern(name: str) -> "re.Pattern[str]":
    """The names `directory_written` gives its new and its old directory beside `name`."""
    return re.compile(rf"\.{re.escape(name)}(?P<old>\.old)?\.(?P<pid>\d+)-\d+\.tmp")


def _clear_stale(path: str, names: Sequence[str]) -> None:
    parent, name = os.path.split(path)
    pattern = _stale_pattern(name)
    for entry in sorted(os.listdir(parent)):
        match = pattern.fullmatch(entry)
        if match is None or writer_may_be_running(int(match["pid"])):
            continue
        stale = os.path.join(parent, entry)
        if match["old"] and not os.path.lexists(path):
            os.rename(stale, path)  # cut between its two renames: the writing before comes back
        else:
            shutil.rmtree(stale, ignore_errors=True)
    if not os.path.isdir(path):
        return
    owned = "|".join(re.escape(owned) for owned in _owned(path, names))
    temporary = re.compile(rf"(?:{owned})\.(?P<pid>\d+)-\d+\.tmp")
    for entry in os.listdir(path):
        match = temporary.fullmatch(entry)
        if match is not None and not writer_may_be_running(int(match["pid"])):
            stale = os.path.join(path, entry)
            if os.path.isdir(stale) and not os.path.islink(stale):
                shutil.rmtree(stale, ignore_errors=True)
            else:
                with contextlib.suppress(OSError):
                    os.remove(stale)


def _owned(path: str, names: Sequence[str]) -> Set[str]:
    """The names in `path` that a writer of it put there: its marker's, `names` and the
    marker itself."""
    try:
        with open(os.path.join(path, COMPLETE_MARKER), encoding="utf-8") as marker:
            listed = json.load(marker).get("files", [])
    except (OSError, ValueError, AttributeError):
        listed = []
    return {*names, COMPLETE_MARKER, *(entry for entry in listed if isinstance(entry, str))}


def _swap_in(stage: str, path: str, names: Sequence[str]) -> None:
    files = sorted(os.listdir(stage))
    with open(os.path.join(stage, COMPLETE_MARKER), "w", encoding="utf-8") as marker:
        json.dump({"files": files}, marker, indent=2)
        marker.write("\n")
    if not os.path.lexists(path):
        os.rename(stage, path)
        return
    owned = _owned(path, names)
    if os.path.islink(path) or not set(os.listdir(path)) <= owned:
        _move_in(stage, path, files, owned)
        return
    parent, name = os.path.split(path)
    old = temporary_path(os.path.join(parent, f".{name}.old"))
    os.rename(path, old)
    os.rename(stage, path)
    shutil.rmtree(old, ignore_errors=True)


def _move_in(stage: str, path: str, files: List[str], owned: Set[str]) -> None:
    """The files of `stage` moved into `path` one by one, between its marker's removal and the
    new marker; the last writer's files that the new ones do not replace are removed."""
    with contextlib.suppress(FileNotFoundError):
        os.remove(os.path.join(path, COMPLETE_MARKER))
    for name in files:
        target = os.path.join(path, name)
        if os.path.isdir(target) and not os.path.islink(target):
            _remove(target)  # a folder of the last writer's (a sweep's runs/) cannot be replaced
        os.replace(os.path.join(stage, name), target)
    for name in sorted(owned - {*files, COMPLETE_MARKER}):
        if os.path.lexists(os.path.join(path, name)):
            _remove(os.path.join(path, name))
    os.replace(os.path.join(stage, COMPLETE_MARKER), os.path.join(path, COMPLETE_MARKER))


def _remove(path: str) -> None:
    """A file, or a folder moved aside under a temporary name first (which the next writer
    clears if this one is killed while removing it)."""
    if not os.path.isdir(path) or os.path.islink(path):
        os.remove(path)
        return
    aside = temporary_path(path)
    os.rename(path, aside)
    shutil.rmtree(aside)


def append_line(fd: int, line: str) -> None:
    """`line` and a newline appended to `fd` (opened with ``O_APPEND``) in one write; a regular
    file takes it whole but where the disk fills, when the rest is written after it (or the
    disk's error raised)."""
    data = (line + "\n").encode("utf-8")
    while data:
        data = data[os.write(fd, data) :]


def cut_unfinished_line(path: str) -> None:
    """Cut off the line a killed writer left unfinished at the end of `path` (if there is
    one), so that the lines appended next are not glued to it; read from the end, a block at a
    time."""
    try:
        file = open(path, "r+b")
    except FileNotFoundError:
        return
    with file:
        size = at = file.seek(0, os.SEEK_END)
        keep = 0
        while at > 0:
            step = min(at, 1 << 16)
            file.seek(at - step)
            newline = file.read(step).rfind(b"\n")
            if newline >= 0:
                keep = at - step + newline + 1
                break
            at -= step
        if keep < size:
            file.truncate(keep)
