"""The order desk's figures for bench.py: entering and cancelling an order with 100,000 orders
working, against the same with 1,000, per order.

A strategy enters the orders at its first live tick of 2330 (ROD buys at the day's lower
limit, which no tick of the run reaches), one after another, then cancels them, oldest first;
each loop is timed on its own.  The run has no latency, so that each operation reaches the
matcher at once and the time is the desk's, the account's, the matcher's and the fill model's
own ("touch" fills, and the default "queue" fills for entry); the cyclic garbage collector
runs, as in any run.  ``python
benchmarks/bench_orders.py`` prints these rows alone.
"""

from __future__ import annotations

import tempfile
import time
from typing import Any, Dict, List, Optional, Tuple

from quorvel.sim import SimulatedBroker

ORDERS_ROW = "order desk, 100,000 working orders against 1,000"
CODE = "2330"
DAY = ("2024-01-08", "2024-01-08")
FEW, MANY = 1_000, 100_000
REPEATS = {FEW: 5, MANY: 1}  # a run of many orders is long enough to be timed once


def order_rows(row_type: Any) -> List[Any]:
    from quorvel.backtest import RunSettings, Strategy, run_backtest
    from quorvel.backtest.messages import Tick

    class Quoter(Strategy):
        orders = FEW

        def on_start(self) -> None:
            self.seconds: Optional[Tuple[float, float]] = None  # entering, cancelling

        def on_tick(self, tick: Tick) -> None:
            limits = self.limit_prices(CODE)
            if self.seconds is not None or tick["code"] != CODE or limits is None:
                return
            started = time.perf_counter()
            trade_ids = [self.buy(CODE, 1, limits[0]) for _ in range(self.orders)]
            entered = time.perf_counter()
            for trade_id in trade_ids:
                self.cancel(trade_id)
            self.seconds = entered - started, time.perf_counter() - entered

    broker = SimulatedBroker(0, ticks_per_day=1_000)
    per_order: Dict[Tuple[bool, str, int], Tuple[float, float]] = {}
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as data_dir:
        for account_rules, fill_model in ((True, "touch"), (False, "touch"), (True, "queue")):
            settings = RunSettings(
                DAY,
                None,
                capital=1e12,  # 100,000 buys at 2330's lower limit
                account_rules=account_rules,
                fill_model=fill_model,
                latency_ms=0,
            )
            for orders, repeats in REPEATS.items():
                best = (float("inf"), float("inf"))
                for _ in range(repeats):
                    strategy = Quoter(orders=orders)
                    run_backtest(broker, [CODE], settings, data_dir=data_dir, strategy=strategy)
                    assert strategy.seconds is not None, "the run saw no tick with its limits"
                    best = min(best[0], strategy.seconds[0]), min(best[1], strategy.seconds[1])
                per_order[account_rules, fill_model, orders] = best[0] / orders, best[1] / orders

    def row(what: str, account_rules: bool, fill_model: str, index: int) -> Any:
        return row_type(
            f"{what}, {MANY:,} orders working, {fill_model} fills"
            + ("" if account_rules else ", no account rules"),
            per_order[account_rules, fill_model, MANY][index] * 1e6,
            per_order[account_rules, fill_model, FEW][index] * 1e6,
            "µs per order",
            f"the same with {FEW:,} orders",
        )

    return [
        row("order entry (buy)", True, "touch", 0),
        row("order entry (buy)", False, "touch", 0),
        row("order entry (buy)", True, "queue", 0),
        row("cancel, oldest first", True, "touch", 1),
    ]


if __name__ == "__main__":
    from bench import Row, machine_name, print_table

    print_table(order_rows(Row), machine_name())
