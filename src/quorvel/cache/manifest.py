"""The bookkeeping of a tick cache directory: its manifest, the manifest's lock, temporary files.

``manifest.json`` maps each day file's name to the row count and the SHA-256 of the bytes it had
when it was written: what a CSV cannot show about itself (a file cut off at a row boundary).
It is replaced atomically and changed only under an advisory ``fcntl.flock`` on
``manifest.lock`` beside it, so processes sharing a cache keep each other's entries.  Where
``fcntl`` is missing (Windows) there is no lock: two processes writing at once may drop one
entry, which is rebuilt like any other missing one.

An entry can go missing: a writer killed between replacing a day file and rewriting the
manifest, a manifest deleted, or one that no longer parses (it is then set aside, renamed to
``manifest.json.corrupt-<UTC time>``).  The caller rebuilds missing entries from the files
that pass its content checks; `note_rebuilding` tells of it once per directory and process.

Every file is written to a temporary name beside its target first (`quorvel.atomic_files`); a writer
killed meanwhile leaves it behind, and `remove_stale_temporaries` clears such leftovers.
"""

from __future__ import annotations

import json
import logging
import os
import re
import threading
import time
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any, Dict, Iterator, Mapping, Set, Tuple

from quorvel.atomic_files import writer_may_be_running, written_together

try:
    import fcntl
except ImportError:  # pragma: no cover - Windows
    fcntl = None  # type: ignore[assignment]

__all__ = [
    "MANIFEST_NAME",
    "LOCK_NAME",
    "Entry",
    "aside_path",
    "changing",
    "entry",
    "note_rebuilding",
    "recorded_entries",
    "remove_stale_temporaries",
]

MANIFEST_NAME = "manifest.json"
LOCK_NAME = "manifest.lock"

# A temporary file of ours: a day file's or the manifest's name, the writer's process and
# thread ids, ".tmp" (see `quorvel.atomic_files.temporary_path`).
TEMPORARY_NAME = re.compile(r"(?:manifest\.json|.+ - ticks\.csv)\.(?P<pid>\d+)-\d+\.tmp")

# Temporary files older than this process were left by writers that are gone, or nearly so.
PROCESS_STARTED = time.time()

Entry = Dict[str, Any]  # {"rows": the file's row count, "sha256": the hex digest of its bytes}

log = logging.getLogger(__name__)

# Per directory: the manifest file's identity when it was read and the entries it held.
_read_entries: Dict[str, Tuple[Tuple[int, int, int, int], Dict[str, Entry]]] = {}
_tidied: Set[str] = set()
_told: Set[str] = set()
_once = threading.Lock()


def entry(rows: int, sha256: str) -> Entry:
    return {"rows": rows, "sha256": sha256}


def aside_path(path: str) -> str:
    """The name a file that failed its check is kept under: ``<path>.corrupt-<UTC time>``."""
    stamp = datetime.now(timezone.utc).strftime("%Y%m%dT%H%M%S.%fZ")
    return f"{path}.corrupt-{stamp}"


def recorded_entries(directory: str) -> Mapping[str, Entry]:
    """The entries as the manifest holds them now, read without the lock; none when it is
    missing or unreadable.

    For a first judgement only: a file may be replaced between its reading and the manifest's,
    so one that fails against these entries is judged again under the lock (`changing`).  The
    entries are read again only when the manifest file has changed since the last read.
    """
    path = os.path.join(directory, MANIFEST_NAME)
    try:
        status = os.stat(path)
    except OSError:
        return {}
    identity = (status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)
    known = _read_entries.get(directory)
    if known is not None and known[0] == identity:
        return known[1]
    try:
        files = _parse(path)
    except (OSError, ValueError):
        return {}
    _read_entries[directory] = (identity, files)
    return files


@contextmanager
def changing(directory: str) -> Iterator[Dict[str, Entry]]:
    """Holds the manifest's lock and gives its entries as they are now, to read or change; when
    they were changed, the manifest is replaced with them atomically before the lock is let go.

    A manifest that no longer parses is set aside with one line saying so, and the entries
    start empty.
    """
    with _locked(directory):
        path = os.path.join(directory, MANIFEST_NAME)
        try:
            files = _parse(path)
        except FileNotFoundError:
            files = {}
        except ValueError as error:
            files = {}
            _set_manifest_aside(directory, str(error))
        before = dict(files)
        try:
            yield files
        finally:  # what was changed before an error is written too: a file set aside stays so
            if files != before:
                _write(path, files)


def note_rebuilding(directory: str, name: str) -> None:
    """Tells once per directory and process that entries are rebuilt, naming the first file."""
    with _once:
        if directory in _told:
            return
        _told.add(directory)
    manifest = os.path.join(directory, MANIFEST_NAME)
    missing = "is missing" if not os.path.exists(manifest) else f"has no entry for {name}"
    log.warning("tick cache: %s %s; entries are rebuilt from the day files that pass the "
                "content checks", manifest, missing)


def remove_stale_temporaries(directory: str) -> None:
    """Once per directory and process: removes the temporary files of this cache's writers
    (the names `temporary_path` gives day files and the manifest, nothing else) that are older
    than this process and whose writer is not running."""
    with _once:
        if directory in _tidied:
            return
        _tidied.add(directory)
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        match = TEMPORARY_NAME.fullmatch(name)
        if match is None or writer_may_be_running(int(match["pid"])):
            continue
        path = os.path.join(directory, name)
        try:
            if os.lstat(path).st_mtime < PROCESS_STARTED:
                os.remove(path)
                log.info("tick cache: removed %s, left by a writer that was stopped", path)
        except OSError:  # removed by another process first, or not ours to remove
            pass


def _parse(path: str) -> Dict[str, Entry]:
    """The manifest's entries; ValueError saying why when it is not a manifest."""
    with open(path, "rb") as file:
        manifest = json.loads(file.read())
    files = manifest.get("files") if isinstance(manifest, dict) else None
    if not isinstance(files, dict):
        raise ValueError('no "files" mapping')
    for name, recorded in files.items():
        rows = recorded.get("rows") if isinstance(recorded, dict) else None
        sha256 = recorded.get("sha256") if isinstance(recorded, dict) else None
        if not (type(rows) is int and rows >= 0 and isinstance(sha256, str) and len(sha256) == 64):
            raise ValueError(f"the entry of {name} is not a row count and a SHA-256")
    return files


def _set_manifest_aside(directory: str, why: str) -> None:
    path = os.path.join(directory, MANIFEST_NAME)
    target = aside_path(path)
    os.replace(path, target)
    with _once:
        _told.add(directory)
    log.warning("tick cache: %s is unreadable (%s); moved to %s, entries are rebuilt from the "
                "day files that pass the content checks", path, why.splitlines()[0], target)


def _write(path: str, files: Dict[str, Entry]) -> None:
    with written_together([path]) as [temp_path]:
        with open(temp_path, "w", encoding="utf-8") as file:
            json.dump({"files": files}, file, ensure_ascii=False, indent=1, sort_keys=True)


@contextmanager
def _locked(directory: str) -> Iterator[None]:
    """Holds the directory's manifest lock.

    Nothing is locked where fcntl is missing, or where the lock file cannot be made (a cache
    that is only read, in a directory this process may not write).
    """
    try:
        lock_file = open(os.path.join(directory, LOCK_NAME), "a") if fcntl is not None else None
    except OSError:
        lock_file = None
    if lock_file is None:
        yield
        return
    with lock_file:
        fcntl.flock(lock_file, fcntl.LOCK_EX)
        try:
            yield
        finally:
            fcntl.flock(lock_file, fcntl.LOCK_UN)
