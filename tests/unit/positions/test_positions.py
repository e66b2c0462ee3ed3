import pytest

from quorvel.constant import Action
from quorvel.modules.positions.positions import Positions


def keeper_after(*fills):
    """A keeper fed (action, quantity, price) fills of code 2330."""
    positions = Positions()
    for action, quantity, price in fills:
        positions.set_positions({"code": "2330", "action": action, "quantity": quantity, "price": price}, "Stock")
    return positions


def state(positions, code="2330"):
    row = positions.summary()["positions"][code]
    return row["quantity"], row["avg_price"], row["realized_pnl"]


@pytest.mark.parametrize(
    "fills, expected",
    [
        ([(Action.BUY, 2, 100.0), ("Buy", 1, 103.0)], (3, 101.0, 0.0)),
        ([(Action.BUY, 2, 100.0), (Action.SELL, 2, 105.5)], (0, 0.0, 11.0)),
        ([(Action.SELL, 5, 50.0), (Action.BUY, 2, 48.0)], (-3, 50.0, 4.0)),
        ([(Action.BUY, 2, 100.0), (Action.SELL, 5, 90.0)], (-3, 90.0, -20.0)),
        ([(Action.BUY, 0, 100.0), (Action.BUY, 1, 100.0), (Action.SELL, 0, 120.0)], (1, 100.0, 0.0)),
    ],
    ids=["average-cost", "round-trip", "partial-close-short", "flip-long-to-short", "zero-quantity"],
)
def test_average_cost_accounting(fills, expected):
    assert state(keeper_after(*fills)) == pytest.approx(expected)


def test_unrealised_pnl_uses_latest_tick_of_the_code():
    positions = keeper_after((Action.SELL, 2, 20.0))
    assert positions.summary()["positions"]["2330"]["unrealized_pnl"] == 0.0
    positions.set_current_tick({"code": "2330", "close": 25, "timestamp": 1.0})
    positions.set_current_tick({"code": "2330", "close": 21.5, "timestamp": 2.0})
    summary = positions.summary()
    assert summary["positions"]["2330"]["last_price"] == 21.5
    assert summary["total_unrealized_pnl"] == summary["total_pnl"] == pytest.approx(-3.0)


def test_ledger_keeps_cancels_without_touching_positions():
    positions = Positions()
    for status, price in (("Deal", 100.0), ("Cancel", None)):
        positions.add_trade_record(
            trade_id="a", code="2330", action="Buy", quantity=3, price=price, timestamp=None, trade_status=status
        )
    assert [(r.trade_status, r.action, r.price) for r in positions.trade_records] == [
        ("Deal", Action.BUY, 100.0),
        ("Cancel", Action.BUY, None),
    ]
    assert positions.positions == {}
    with pytest.raises(ValueError, match="'Filled'"):
        positions.add_trade_record(
            trade_id="b", code="2330", action="Sell", quantity=1, price=1.0, timestamp=0.0, trade_status="Filled"
        )


def test_empty_keeper_is_truthy():
    assert Positions()
