"""The argument parser of the console commands: a usage error is one line, not the usage; and
the red line a command prints when its work fails."""

from __future__ import annotations

import argparse
import sys
from typing import NoReturn

from rich.console import Console
from rich.text import Text


def error_line(text: str) -> None:
    """One red line on standard error, where a pipe or a file of the command's tables does not
    take it."""
    errors = Console(stderr=True, width=None if sys.stderr.isatty() else 100)
    errors.print(Text(text, "red"), soft_wrap=True)


class ArgumentParser(argparse.ArgumentParser):
    """An `argparse.ArgumentParser` whose errors are one line and a pointer to ``--help``.

    The standard parser prints the whole usage before the message; with
    a few dozen options that buries the one line that matters.  The exit
    status stays 2.  Sub-commands made with `add_subparsers` are of this
    class too, and name themselves (``quorvel-import taifex``) in the hint.
    """

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")
