"""The core the backtest drives: the simulated exchange, the tick feed and its door, the replay
loop and the position keeper.  This is the one module of the backtest that imports
`quorvel.modules`; the rest reaches the extension modules through the functions here.

The feed's module imports the broker package, which opens its log file on its first import
and takes a moment: it is imported when a run first asks for it (`ticker`, `feed`), so that
importing the backtest stays light.
"""

from __future__ import annotations

from types import ModuleType

from quorvel.modules.positions.positions import Position, Positions

__all__ = ["Position", "Positions", "feed", "fills", "matcher", "replay", "ticker"]


def matcher() -> ModuleType:
    """The simulated exchange's module (`Matcher`)."""
    from quorvel.modules.matcher import matcher as module

    return module


def fills() -> ModuleType:
    """The fill models' door to the simulated exchange's book (`QueueFills`)."""
    from quorvel.modules.matcher import fills as module

    return module


def ticker() -> ModuleType:
    """The tick feed's module (`Ticker`)."""
    from quorvel.modules.ticker import ticker as module

    return module


def feed() -> ModuleType:
    """The tick feed's door: watched loads and observed runs of a `Ticker`."""
    from quorvel.modules.ticker import feed as module

    return module


def replay() -> ModuleType:
    """The replay loop's module."""
    from quorvel.modules.replay import replay as module

    return module
