"""SIGTERM and SIGHUP end the command as Ctrl-C does: partial results, temporary files removed."""

from __future__ import annotations

import contextlib
import signal
import threading
from typing import Any, Iterator

from quorvel.interrupts import interrupting


class Stop:
    """Which signal stopped the command: Ctrl-C (SIGINT) unless SIGTERM or SIGHUP came."""

    def __init__(self) -> None:
        self.signal_number = int(signal.SIGINT)

    @property
    def reason(self) -> str:
        """What a partial result says stopped it."""
        if self.signal_number == signal.SIGINT:
            return "interrupted"
        return f"terminated by {signal.Signals(self.signal_number).name}"

    @property
    def exit_status(self) -> int:
        """128 and the signal's number, as a shell reports a process ended by it."""
        return 128 + self.signal_number


@contextlib.contextmanager
def signals_as_interrupts() -> Iterator[Stop]:
    """While the block runs, Ctrl-C, SIGTERM and SIGHUP raise KeyboardInterrupt in the main
    thread (where no lock is left held, `quorvel.interrupts`), so that a run winds down the same
    way; the yielded `Stop` tells which came.

    Off the main thread, where handlers cannot be set, the signals keep their actions.
    """
    stop = Stop()

    def interrupt(number: int, frame: Any) -> None:
        stop.signal_number = number
        raise KeyboardInterrupt

    names = ("SIGINT", "SIGTERM", "SIGHUP")
    numbers = [getattr(signal, name) for name in names if hasattr(signal, name)]
    if threading.current_thread() is not threading.main_thread():
        yield stop
        return
    handler = interrupting(interrupt)
    saved = {number: signal.signal(number, handler) for number in numbers}
    try:
        yield stop
    finally:
        for number, earlier in saved.items():
            signal.signal(number, earlier)
