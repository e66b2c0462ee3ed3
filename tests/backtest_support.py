"""Helpers the backtest tests share: one way to run a backtest, and reports compared without
their random trade ids."""

# Trade ids are drawn at random; everything else in a report must be equal.
TRADE_ID_KEYS = ("id", "seqno", "ordno", "exchange_seqno")


def masked(reports):
    """The reports with each trade id replaced by its order of first appearance."""
    numbers = {}

    def mask(part):
        out = {}
        for key, value in part.items():
            if isinstance(value, dict):
                out[key] = mask(value)
            elif key in TRADE_ID_KEYS:
                out[key] = numbers.setdefault(value, len(numbers))
            else:
                out[key] = (type(value), value)
        return out

    return [list(mask(report).items()) for report in reports]


# The short run most whole-run tests take: two trading days after one of backfill, of a stock
# and a future.
CODES = ["2330", "TXFR1"]
PERIOD = ("2024-01-08", "2024-01-09")
BACKFILL = ("2024-01-05", "2024-01-05")


def backtest(data_dir, strategy=None, *, codes=CODES, broker=None, market_seed=5, ticks_per_day=300,
             progress=None, **settings):
    """One run of the offline broker's ticks (its market seeded by `market_seed`) under
    `RunSettings(**settings)`: the short run above unless the settings say otherwise, a stall
    cut short after 30 s, and the exchange's own matching without a latency (the engines'
    mechanics these tests pin; the fill models' own tests say theirs)."""
    from quorvel.backtest import RunSettings, run_backtest
    from quorvel.sim import SimulatedBroker

    settings = {"period": PERIOD, "backfill": BACKFILL, "stall_timeout": 30, "fill_model": "touch",
                "latency_ms": 0.0, **settings}
    return run_backtest(
        broker or SimulatedBroker(market_seed, ticks_per_day=ticks_per_day),
        codes,
        RunSettings(**settings),
        strategy=strategy,
        data_dir=str(data_dir),
        progress=progress,
    )
