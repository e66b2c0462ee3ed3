"""The command line `quorvel-backtest` (or ``python -m quorvel``): a backtest, or a sweep of them.

It sits above every package: it knows the backtest, the sweep and the
offline broker, and none of them knows it.  This module imports none of
them until `main` has taken over Ctrl-C, SIGTERM and SIGHUP, so that a
signal at any point, while the packages still load included, ends the
command with a line instead of a traceback.
"""

from __future__ import annotations

import sys
from typing import Any, Optional, Sequence

from quorvel.cli.signals import signals_as_interrupts

__all__ = ["build_parser", "main"]


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console command; returns the exit status (argument errors exit with 2)."""
    with signals_as_interrupts() as stop:
        try:
            from quorvel.cli.command import command  # the packages: a few seconds to load

            return command(argv, stop)
        except KeyboardInterrupt:  # while the packages loaded, before there was a console
            print(stop.reason, file=sys.stderr)
            return stop.exit_status


def __getattr__(name: str) -> Any:
    # build_parser, from where the options are: loading it loads the packages.
    if name == "build_parser":
        from quorvel.cli.options import build_parser

        return build_parser
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
