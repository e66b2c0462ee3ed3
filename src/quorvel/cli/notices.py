"""Lines the command prints besides its tables: what went wrong (on standard error, so that a
pipe or a file of the tables does not swallow it), and what the tick cache repaired (files set
aside, its manifest rebuilt)."""

from __future__ import annotations

import argparse
import contextlib
import json
import logging
import sys
import traceback
from typing import Iterator

from rich.console import Console
from rich.text import Text

from quorvel.arguments import error_line


def failure(args: argparse.Namespace, text: str, error: BaseException) -> None:
    """One red line on standard error, followed by the traceback of `error` and what caused it
    with --debug."""
    error_line(text)
    if args.debug:
        traceback.print_exception(type(error), error, error.__traceback__, file=sys.stderr)


class _SetAsideLines(logging.Handler):
    """Prints one line for each record of the tick feed that tells of a file set aside."""

    def __init__(self, console: Console) -> None:
        super().__init__(logging.ERROR)
        self.console = console

    def emit(self, record: logging.LogRecord) -> None:
        try:
            fields = json.loads(record.getMessage())
        except ValueError:
            return
        data = fields.get("data") if isinstance(fields, dict) else None
        if not (isinstance(data, dict) and "moved_to" in data):
            return
        line = (
            f"tick cache: {data.get('file')} failed its check ({fields.get('error')}); "
            f"moved to {data['moved_to']} and fetched again"
        )
        self.console.print(Text(line, "yellow"), soft_wrap=True)


class _ManifestLines(logging.Handler):
    """Prints the tick cache's warnings about its manifest (set aside, rebuilt) as they are."""

    def __init__(self, console: Console) -> None:
        super().__init__(logging.WARNING)
        self.console = console

    def emit(self, record: logging.LogRecord) -> None:
        self.console.print(Text(record.getMessage(), "yellow"), soft_wrap=True)


@contextlib.contextmanager
def set_aside_lines(console: Console) -> Iterator[None]:
    """While the block runs, a cache file that failed its check and was set aside is told in
    one line, even with the modules' own status lines held back."""
    with _handled_by(logging.getLogger("quorvel"), _SetAsideLines(console)):
        yield


@contextlib.contextmanager
def manifest_lines(console: Console) -> Iterator[None]:
    """While the block runs, the tick cache's manifest set aside or rebuilt is told in one line:
    the modules' own status lines do not tell it, with or without --verbose."""
    with _handled_by(logging.getLogger("quorvel.cache.manifest"), _ManifestLines(console)):
        yield


@contextlib.contextmanager
def _handled_by(logger: logging.Logger, handler: logging.Handler) -> Iterator[None]:
    logger.addHandler(handler)
    try:
        yield
    finally:
        logger.removeHandler(handler)
