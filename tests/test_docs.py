"""The documentation in docs/ keeps up with the commands: every option they take is described
on its page (the site itself is built by `make docs`, with warnings as errors)."""

import argparse
import pathlib
import re

import pytest

from quorvel import cli
from quorvel.data import command as import_command

DOCS = pathlib.Path(__file__).parent.parent / "docs"


def long_options(parser):
    """Every --option of `parser` and of its sub-commands."""
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for sub_parser in action.choices.values():
                yield from long_options(sub_parser)
        yield from (name for name in action.option_strings if name.startswith("--"))


@pytest.mark.parametrize(
    "parser, page",
    [(cli.build_parser(), "command-line.md"), (import_command.build_parser(), "data.md")],
)
def test_every_option_of_a_command_is_on_its_page(parser, page):
    text = (DOCS / page).read_text(encoding="utf-8")
    options = set(long_options(parser)) - {"--help"}
    assert options
    assert sorted(name for name in options if not re.search(f"{name}(?![\\w-])", text)) == []
