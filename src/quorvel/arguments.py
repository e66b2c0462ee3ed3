"""The argument parser of the console commands: a usage error is one line, not the usage."""

from __future__ import annotations

import argparse
from typing import NoReturn


class ArgumentParser(argparse.ArgumentParser):
    """An `argparse.ArgumentParser` whose errors are one line and a pointer to ``--help``.

    The standard parser prints the whole usage before the message; with
    a few dozen options that buries the one line that matters.  The exit
    status stays 2.  Sub-commands made with `add_subparsers` are of this
    class too, and name themselves (``quorvel-import taifex``) in the hint.
    """

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")
