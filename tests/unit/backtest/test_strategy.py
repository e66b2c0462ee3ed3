"""The strategy API: parameters, loading by name or file, and every example from the command line."""

import pathlib
import re
import sys

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from quorvel import cli
from quorvel.backtest import Strategy
from quorvel.backtest.strategy.loading import load_strategy, parse_params

ROOT = pathlib.Path(__file__).parents[3]
EXAMPLES = [
    "mean_reversion.py:MeanReversion",
    "breakout.py:Breakout",
    "market_maker.py:MarketMaker",
    "bar_trend.py:BarTrend",
]
SHORT_RUN = ["--ticks-per-day", "200", "--end", "2024-01-09", "--backfill-start", "2024-01-05"]


class Tuned(Strategy):
    window = 10
    ratio = 0.5
    label = "a"
    hedge = False

    def helper(self):
        return None


class MoreTuned(Tuned):
    window = 20
    extra = 3


class TestParameters:
    def test_parameters_are_the_plain_class_attributes_of_the_subclasses(self):
        assert Tuned.parameters() == {"window": 10, "ratio": 0.5, "label": "a", "hedge": False}
        assert MoreTuned.parameters()["window"] == 20 and MoreTuned.parameters()["extra"] == 3

    def test_values_are_converted_to_the_defaults_type(self):
        params = parse_params(Tuned, ["window=12", "ratio=2", "label=b c", "hedge=yes"])
        assert params == {"window": 12, "ratio": 2.0, "label": "b c", "hedge": True}
        assert type(params["ratio"]) is float
        strategy = Tuned(**params)
        assert (strategy.window, Tuned.window) == (12, 10)

    @pytest.mark.parametrize(
        "assignment, message",
        [
            (
                "size=3",
                "Tuned has no parameter 'size' (its parameters: hedge, label, ratio, window)",
            ),
            ("window=1.5", "window=1.5: expected a whole number"),
            ("ratio=x", "ratio=x: expected a number"),
            ("hedge=maybe", "hedge=maybe: expected true or false"),
            ("window", "'window': expected name=value"),
        ],
    )
    def test_bad_assignments_are_refused_in_one_line(self, assignment, message):
        with pytest.raises(ValueError) as refused:
            parse_params(Tuned, [assignment])
        assert str(refused.value) == message

    def test_an_unknown_keyword_is_refused_by_the_constructor(self):
        with pytest.raises(TypeError, match="Tuned has no parameter 'size'"):
            Tuned(size=3)

    def test_operations_outside_a_run_say_so(self):
        with pytest.raises(RuntimeError, match="during a run only"):
            Tuned().buy("2330", 1)


class TestLoading:
    def test_a_class_loads_by_module_name_and_by_file(self):
        assert load_strategy("quorvel.examples.mean_reversion:MeanReversion") is MeanReversion
        by_file = load_strategy(str(ROOT / "examples" / "breakout.py") + ":Breakout")
        assert issubclass(by_file, Strategy) and by_file.__name__ == "Breakout"

    @pytest.mark.parametrize(
        "target, message",
        [
            (":Breakout", "expected PATH.py:Class or package.module:Class"),
            ("no_such_module:X", "cannot import no_such_module"),
            ("quorvel.examples.breakout:Missing", "has no Strategy subclass named Missing"),
        ],
    )
    def test_a_bad_name_is_refused_in_one_line(self, target, message):
        with pytest.raises(ValueError, match=message):
            load_strategy(target)

    @pytest.mark.parametrize(
        "source, message",
        [
            ("import no_such_module\n", "ModuleNotFoundError: No module named 'no_such_module'"),
            ("class Broken(:\n", "SyntaxError: "),
            ("raise RuntimeError('first line\\nsecond line')\n", "RuntimeError: first line$"),
        ],
    )
    def test_a_file_that_fails_to_load_is_refused_in_one_line(self, tmp_path, source, message):
        path = tmp_path / "broken.py"
        path.write_text(source, encoding="utf-8")
        with pytest.raises(ValueError, match=message):
            load_strategy(f"{path}:Broken")
        assert "quorvel_strategy_broken" not in sys.modules


@pytest.mark.parametrize("example", EXAMPLES)
def test_every_example_runs_from_the_command_line(ticker_built, example, tmp_path, capsys):
    argv = ["--strategy", str(ROOT / "examples" / example), "--data-dir", str(tmp_path)]
    assert cli.main(argv + SHORT_RUN) == 0
    out = capsys.readouterr().out
    assert example.split(":")[1] in out and "net P&L (NTD)" in out


def test_the_readme_strategy_runs_as_shown(ticker_built, tmp_path, capsys):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Write your own strategy", 1)[1]
    source = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    command = re.search(r"```\n(quorvel-backtest [^\n]*)\n```", section).group(1).split()
    (tmp_path / "my_strategy.py").write_text(source, encoding="utf-8")
    argv = [arg.replace("my_strategy.py", str(tmp_path / "my_strategy.py")) for arg in command[1:]]
    assert cli.main(argv + SHORT_RUN + ["--data-dir", str(tmp_path)]) == 0
    out = capsys.readouterr().out
    assert "net P&L (NTD)" in out
