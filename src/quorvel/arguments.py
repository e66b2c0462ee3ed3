"""The argument parser of the console commands: a usage error is one line, not the usage; and
the red line a command prints when its work fails."""

from __future__ import annotations

import argparse
import difflib
import sys
from typing import Any, Iterable, Iterator, List, NoReturn, Optional, Sequence

from rich.console import Console
from rich.text import Text

import quorvel

__all__ = ["ArgumentParser", "did_you_mean", "error_line"]


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

    An option must be spelled out: the standard parser takes ``--code`` for ``--codes`` and
    ``--strat`` for ``--strategy``, so a slip that happens to be a prefix of another option
    passes silently.  An option it does not know is answered with the nearest ones it does.
    """

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def add_version(self) -> None:
        """A ``--version`` option that prints the installed quorvel's version."""
        self.add_argument("--version", action="version", version=f"%(prog)s {quorvel.__version__}")

    # One signature for the standard parser's overloads: the namespace given, or a new one.
    def parse_args(  # type: ignore[override]
        self, args: Optional[Sequence[str]] = None, namespace: Any = None
    ) -> Any:
        namespace, extras = self.parse_known_args(args, namespace)
        if extras:
            known = list(dict.fromkeys(self._known_options()))  # sub-commands share options
            unknown = [extra.split("=", 1)[0] for extra in extras if extra.startswith("-")]
            hint = did_you_mean(unknown[0], known) if unknown else ""
            self.error(f"unrecognized arguments: {' '.join(extras)}{hint}")
        return namespace

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")

    def _known_options(self) -> Iterator[str]:
        """Every option of this parser and of its sub-commands."""
        for action in self._actions:
            yield from action.option_strings
            if isinstance(action, argparse._SubParsersAction):
                for parser in action.choices.values():
                    if isinstance(parser, ArgumentParser):
                        yield from parser._known_options()


def did_you_mean(word: str, known: Iterable[str]) -> str:
    """The "; did you mean X?" that names the nearest of `known` to a mistyped `word`, or "" where
    none is near."""
    nearest: List[str] = difflib.get_close_matches(word, list(known), n=3, cutoff=0.6)
    if not nearest:
        return ""
    listed = ", ".join(nearest[:-1]) + " or " if len(nearest) > 1 else ""
    return f"; did you mean {listed}{nearest[-1]}?"
