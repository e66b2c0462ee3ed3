"""The live status line of a session on the console: positions, working orders, P&L and the
age of the latest tick, redrawn in place (rich's `Live`) at most a few times a second; the
session's one-line messages print above it."""

from __future__ import annotations

import time
from types import TracebackType
from typing import Optional, Type

from rich.console import Console
from rich.live import Live
from rich.text import Text

from quorvel.live.engine import Snapshot

# The most redraws a second: the eye reads no more, and each costs the main thread.
REDRAWS_PER_SECOND = 4


def status_text(snapshot: Snapshot) -> str:
    """The status line of `snapshot`, e.g. ``2330 +2 TXFR1 -1 | 1 working | P&L -1,234 NTD |
    last tick 0.4 s ago | 1,024 ticks``."""
    held = " ".join(f"{code} {lots:+d}" for code, lots in snapshot.positions.items())
    age = "no tick yet" if snapshot.tick_age is None else f"last tick {snapshot.tick_age:.1f} s ago"
    parts = [
        held,
        f"{snapshot.working} working",
        f"P&L {snapshot.net_pnl:,.0f} NTD",
        age,
        f"{snapshot.ticks:,} ticks",
    ]
    if snapshot.refused:
        parts.append(f"{snapshot.refused} refused")
    if not snapshot.session_up:
        parts.append("SESSION LOST")
    if snapshot.stopped is not None:
        parts.append("stopped")
    return " | ".join(parts)


class StatusLine:
    """The status line while a session runs (a context manager); `say` prints a line above it
    and `show` redraws it.  On a console that is not a terminal nothing is redrawn: the lines
    said are printed as they come, and the last status once at the end."""

    def __init__(self, console: Console) -> None:
        self.console = console
        self.live: Optional[Live] = None
        self.last: Optional[str] = None
        self.drawn_at = 0.0

    def __enter__(self) -> "StatusLine":
        if self.console.is_terminal:
            self.live = Live(console=self.console, auto_refresh=False, transient=True)
            self.live.__enter__()
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        error: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None:
        if self.live is not None:
            self.live.__exit__(kind, error, traceback)
        if self.last is not None:
            self.console.print(Text(self.last), soft_wrap=True)

    def say(self, line: str) -> None:
        self.console.print(Text(line), soft_wrap=True)

    def show(self, snapshot: Snapshot) -> None:
        self.last = status_text(snapshot)
        now = time.monotonic()
        if self.live is None or now - self.drawn_at < 1 / REDRAWS_PER_SECOND:
            return
        self.drawn_at = now
        self.live.update(Text(self.last), refresh=True)
