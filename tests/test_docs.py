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


@pytest.fixture(scope="module")
def offline_example():  # the names the page's first example leaves, run as it stands
    page = (DOCS / "python.md").read_text(encoding="utf-8")
    namespace = {"page": page, "blocks": re.findall(r"```python\n(.*?)```", page, re.S)}
    exec(namespace["blocks"][0], namespace)
    return namespace


def test_the_offline_example_runs_and_every_column_it_gets_is_documented(offline_example):
    result, evaluation, trips = (offline_example[n] for n in ("result", "evaluation", "trips"))
    frames = [offline_example[name] for name in ("reports", "fills", "trips", "equity")]
    names = [*result.per_code()["TXFR1"], *(re.sub("^net_pnl_.+", "net_pnl_<code>", c)
                                             for frame in frames for c in frame.columns)]
    assert sorted({c for c in names if f"`{c}`" not in offline_example["page"]}) == []
    assert len(trips) == evaluation.total.round_trips > 0
    points = result.per_code()["TXFR1"]["realized_points"]  # index points, 200 NTD each
    assert points * 200 == pytest.approx(evaluation.per_code["TXFR1"].realized)


def test_the_pandas_example_runs_with_the_pandas_extra(offline_example):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    names = dict(offline_example)
    exec(names["blocks"][1], names)
    assert names["daily_net"].sum() == pytest.approx(names["trips"]["net_pnl"].sum())
