"""The tables of a result built directly, without a run: the defaults they print, and a profit
factor without a losing round trip."""

import pytest
from rich.console import Console

from quorvel.backtest import BacktestResult, RunSettings
from quorvel.backtest.output.files import summary
from quorvel.backtest.output.tables import render
from quorvel.modules.positions.positions import Positions

MONDAY = 1_704_672_000.0  # 2024-01-08 00:00, exchange time counted as UTC


def order_and_deal(trade_id, action, price, ts):
    """The New report of a market order of one TXFR1 contract and its deal report."""
    order = {"id": trade_id, "code": "TXFR1", "price_type": "MKT", "order_type": "IOC",
             "quantity": 1}
    deal = {"id": trade_id, "code": "TXFR1", "action": action, "quantity": 1, "price": price}
    return [{"operation_type": "New", "order": order}, {**deal, "exchange_ts": ts}]


@pytest.fixture
def one_winning_round_trip():
    result = BacktestResult(
        codes=[{"code": "TXFR1", "market": "Future"}],
        settings=RunSettings(("2024-01-08", "2024-01-08"), backfill=None),
    )
    result.reports = [
        *order_and_deal("a", "Buy", 17_000.0, MONDAY + 9 * 3600),
        *order_and_deal("b", "Sell", 17_050.0, MONDAY + 10 * 3600),
    ]
    result.positions = Positions()
    for report in result.reports[1::2]:
        result.positions.set_positions(report, "Future")
    return result


def printed_rows(result):
    """Each printed line, split into its cells."""
    console = Console(record=True, width=200)
    render(result, console)
    return [line.split() for line in console.export_text().splitlines()]


def test_a_result_built_directly_says_the_replay_engine(one_winning_round_trip):
    assert ["engine", "replay"] in printed_rows(one_winning_round_trip)


def test_no_losing_round_trip_prints_an_infinite_profit_factor_and_writes_null(
    one_winning_round_trip,
):
    rows = printed_rows(one_winning_round_trip)
    header = rows.index(
        [
            "code",
            "round",
            "trips",
            "win",
            "rate",
            "profit",
            "factor",
            "max",
            "drawdown",
            "of",
            "capital",
            "Sharpe",
            "turnover",
        ]
    )
    per_code, total = rows[header + 2], rows[header + 4]
    assert per_code[:4] == ["TXFR1", "1", "100.0%", "∞"]
    assert total[:4] == ["total", "1", "100.0%", "∞"]
    figures = summary(one_winning_round_trip)
    assert figures["total"]["profit_factor"] is None
    assert figures["per_code"]["TXFR1"]["profit_factor"] is None
