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


def python_blocks(page):
    return re.findall(r"```python\n(.*?)```", (DOCS / page).read_text(encoding="utf-8"), re.S)


@pytest.fixture(scope="module")
def offline_example():
    """The namespace the first example of the Python page leaves, run as it stands."""
    namespace = {}
    exec(python_blocks("python.md")[0], namespace)
    return namespace


def test_the_offline_example_runs_and_every_column_it_gets_is_documented(offline_example):
    text = (DOCS / "python.md").read_text(encoding="utf-8")
    frames = [offline_example[name] for name in ("reports", "fills", "trips", "equity")]
    result, evaluation = offline_example["result"], offline_example["evaluation"]
    columns = {re.sub(r"^net_pnl_.+", "net_pnl_<code>", name) for f in frames for name in f.columns}
    columns |= set(result.per_code()["TXFR1"])
    assert sorted(name for name in columns if f"`{name}`" not in text) == []
    trips = offline_example["trips"]
    assert len(trips) == evaluation.total.round_trips > 0
    assert (trips["gross_pnl"] - trips["costs"] - trips["net_pnl"]).abs().max() < 1e-6
    # per_code's P&L is in index points: 200 NTD each for TXFR1.
    points = result.per_code()["TXFR1"]["realized_points"]
    assert points * 200 == pytest.approx(evaluation.per_code["TXFR1"].realized)


def test_the_pandas_example_runs_with_the_pandas_extra(offline_example):
    pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    namespace = dict(offline_example)
    exec(python_blocks("python.md")[1], namespace)
    assert namespace["daily_net"].sum() == pytest.approx(offline_example["trips"]["net_pnl"].sum())
