"""Signals that raise KeyboardInterrupt, raised only where the interrupt cannot leave a lock held.

A `with condition:` takes the condition's lock in `Condition.__enter__`, a Python function; a
signal handler that raises there, after the lock is taken and before the `with` has begun,
leaves the lock held for ever, and the next put on a queue (a run winding down closes its
matcher's intake thread by one) waits for ever. The handlers made here put the interrupt off
by a moment when the signal comes at that point, and raise it at the next.
"""

from __future__ import annotations

import _thread
import contextlib
import signal
import threading
import time
from types import FrameType
from typing import Callable, Dict, Iterator, Optional

__all__ = ["ctrl_c_when_safe", "interrupting"]

Handler = Callable[[int, Optional[FrameType]], None]

_CONDITION_ENTER = threading.Condition.__enter__.__code__
# How long a signal is put off: far longer than __enter__ takes to return into its `with`.
_PUT_OFF_SECONDS = 0.001


def interrupting(handler: Handler) -> Handler:
    """`handler` (one that raises) as a signal handler that puts the signal off when it comes
    as a `Condition.__enter__` returns. Coming again in the same call, the main thread is
    waiting there for the lock, not holding it, and the handler raises."""
    put_off: Dict[int, FrameType] = {}

    def deliver(number: int, frame: Optional[FrameType]) -> None:
        entering = frame is not None and frame.f_code is _CONDITION_ENTER
        if entering and put_off.get(number) is not frame:
            assert frame is not None
            put_off[number] = frame
            _thread.start_new_thread(_signal_again, (number,))
            return
        put_off.pop(number, None)
        handler(number, frame)

    return deliver


def _signal_again(number: int) -> None:
    time.sleep(_PUT_OFF_SECONDS)
    main = threading.main_thread().ident
    if hasattr(signal, "pthread_kill") and main is not None:
        signal.pthread_kill(main, number)  # to the main thread, which may be waiting on a lock
    else:
        signal.raise_signal(number)


@contextlib.contextmanager
def ctrl_c_when_safe() -> Iterator[None]:
    """While the block runs, Ctrl-C raises KeyboardInterrupt where no lock is left held; a
    handler of the program's own, and any handler off the main thread, are left as they are."""
    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    ):
        yield
        return
    signal.signal(signal.SIGINT, interrupting(signal.default_int_handler))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, signal.default_int_handler)
