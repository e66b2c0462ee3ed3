"""The charts' trading time and price path, fed by hand."""

from quorvel.backtest.results.price_path import PricePath
from quorvel.backtest.results.trading_time import TradingTime


def test_a_moment_between_sessions_lies_at_the_next_opening():
    time = TradingTime([(200.0, 260.0), (100.0, 160.0), (159.0, 170.0)])  # two overlap
    assert [time.position(t) for t in (50, 130, 180, 230, 999)] == [0, 30, 70, 100, 130]
    assert [time.moment(p) for p in (30, 70, 100)] == [130, 200, 230]


def test_a_bucket_keeps_its_lowest_highest_and_last_price_in_time_order():
    path = PricePath(10.0)
    for second, price in enumerate([5.0, 3.0, 8.0, 6.0, 7.0, 2.0]):
        path.add(second * 3.0, second, {"X": price})
    assert path.of("X") == ([1, 2, 3, 4, 5], [3, 8, 6, 7, 2]) and path.of("Y") == ([], [])
