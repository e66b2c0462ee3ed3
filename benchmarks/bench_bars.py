"""The bars' figure for bench.py: the replay engine with 1-minute bars given to a strategy that
does nothing with them, against the same run without bars."""

from __future__ import annotations

import tempfile
from typing import Any, Callable, List

from quorvel.sim import SimulatedBroker

BARS_ROW = "replay engine, 1-minute bars to a strategy that does nothing"
CODES = ["2330", "TXFR1"]
WEEK = ("2024-01-08", "2024-01-12")
BACKFILL = ("2024-01-04", "2024-01-05")
TICKS_PER_DAY = 20_000  # 2 codes x 7 days: 280,000 ticks a run
REPEATS = 3


def bars_rows(row_type: Any) -> List[Any]:
    from quorvel.backtest import RunSettings, Strategy, run_backtest
    from quorvel.backtest.messages import Bar, Tick

    class Idle(Strategy):
        def warm_up(self, tick: Tick) -> None:
            pass

        def on_tick(self, tick: Tick) -> None:
            pass

    class IdleOnBars(Idle):
        bar_seconds = 60

        def on_bar(self, bar: Bar) -> None:
            pass

    broker = SimulatedBroker(0, ticks_per_day=TICKS_PER_DAY)
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:

        def rate(strategy: Callable[[], Strategy]) -> float:
            result = run_backtest(
                broker, CODES, RunSettings(WEEK, BACKFILL), data_dir=data_dir, strategy=strategy()
            )
            return result.ticks_per_second

        rate(Idle)  # fills the cache
        with_bars = without = 0.0
        for _ in range(REPEATS):  # in turns, so that both see the machine alike
            with_bars = max(with_bars, rate(IdleOnBars))
            without = max(without, rate(Idle))
    return [
        row_type(
            f"{BARS_ROW} ({2 * 7 * TICKS_PER_DAY:,} ticks)",
            with_bars,
            without,
            "ticks/s",
            "same run without bars",
            higher_is_better=True,
        )
    ]
