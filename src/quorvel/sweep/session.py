"""The Ray session of a sweep: joined, or started for it, and shut down on every way out.

A session started here keeps its files in a temporary directory of its own
(not the shared /tmp/ray) and is shut down even when its start is cut short.
An address to join is first checked to answer within `CONNECT_TIMEOUT`, as
Ray itself retries one that does not for minutes.  On Linux the processes
that Ray leaves running after a start cut short (its agents outlive the
raylet that started them by up to a minute) are ended with the session.
"""

from __future__ import annotations

import contextlib
import ctypes
import logging
import os
import shutil
import signal
import socket
import sys
import tempfile
from typing import AbstractSet, Any, Dict, Iterable, Iterator, Optional, Set

from quorvel.sweep.errors import SweepError

# How long joining a Ray cluster may wait for its address to answer.
CONNECT_TIMEOUT = 10.0

_PR_SET_CHILD_SUBREAPER = 36  # from <sys/prctl.h>


@contextlib.contextmanager
def ray_session(ray: Any, address: Optional[str], workers: Optional[int]) -> Iterator[None]:
    """Ray as this process has it, or joined at `address`, or started here on `workers` cores
    (all of them by default); what this starts is shut down when the block ends, however it
    ends.  Raises `SweepError` when Ray does not start or the address does not answer."""
    if ray.is_initialized():
        yield
        return
    if address:
        check_answers(address)
        options: Dict[str, Any] = {"address": address}
        temp_dir = None
    else:
        # Short: Ray's socket paths under it must fit the system's limit.
        temp_dir = tempfile.mkdtemp(prefix="quorvel-ray-")
        options = {"num_cpus": workers, "include_dashboard": False, "_temp_dir": temp_dir}
    try:
        with _orphans_adopted(enabled=temp_dir is not None):
            try:
                try:
                    ray.init(log_to_driver=False, logging_level=logging.ERROR, **options)
                except Exception as error:  # Ray's own, of many kinds
                    where = f"join Ray at {address}" if address else "start Ray"
                    text = (str(error) or type(error).__name__).splitlines()[0]
                    raise SweepError(f"cannot {where}: {text}") from error
                yield
            finally:
                ray.shutdown()
    finally:
        if temp_dir is not None:
            shutil.rmtree(temp_dir, ignore_errors=True)


def check_answers(address: str) -> None:
    """Raise `SweepError` unless a ``host:port`` address (``ray://`` or not) takes a connection
    within `CONNECT_TIMEOUT`.  Other forms ("auto") are left to Ray."""
    host, colon, port = address.split("://", 1)[-1].rpartition(":")
    if not colon or not port.isdigit():
        return
    try:
        socket.create_connection((host.strip("[]"), int(port)), CONNECT_TIMEOUT).close()
    except OSError as error:
        reason = error.strerror or str(error) or type(error).__name__
        raise SweepError(f"cannot reach a Ray cluster at {address}: {reason}") from None


@contextlib.contextmanager
def _orphans_adopted(enabled: bool) -> Iterator[None]:
    """On Linux, the processes orphaned during the block become this process's children, and
    Ray's processes started during it that still run at its end are ended (those of a Ray
    session that ran before it are left alone)."""
    libc = ctypes.CDLL(None) if enabled and sys.platform == "linux" else None
    prctl = getattr(libc, "prctl", None)
    if prctl is None or prctl(_PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        yield
        return
    before = ray_descendants()
    try:
        yield
    finally:
        prctl(_PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0)
        end_processes(ray_descendants(outside=before))


def ray_descendants(outside: AbstractSet[int] = frozenset()) -> Set[int]:
    """The ids of the processes below this one (children, their children, ...) that run Ray
    (its servers, agents "ray::..." and workers), leaving out the processes of `outside` and
    all below them.  Empty where there is no /proc."""
    parents: Dict[int, int] = {}
    with contextlib.suppress(OSError):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            with contextlib.suppress(OSError, IndexError, ValueError):
                with open(f"/proc/{pid}/stat", "rb") as stat:
                    # "pid (name) state ppid ...": the name may hold blanks and parentheses.
                    parents[int(pid)] = int(stat.read().rsplit(b")", 1)[1].split()[1])
    below: Set[int] = set()
    frontier = {os.getpid()}
    while frontier:
        frontier = {pid for pid, parent in parents.items() if parent in frontier}
        frontier -= below | set(outside)
        below |= frontier
    return {pid for pid in below if _runs_ray(pid)}


def end_processes(pids: Iterable[int]) -> None:
    """Kill the processes, and reap those that are this process's children."""
    pids = list(pids)
    for pid in pids:
        with contextlib.suppress(OSError):
            os.kill(pid, signal.SIGKILL)
    for pid in pids:  # the others are reaped by their parents
        with contextlib.suppress(OSError):
            os.waitpid(pid, 0)


def _runs_ray(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
            return b"ray" in cmdline.read()
    except OSError:
        return False
