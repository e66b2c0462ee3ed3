"""Helpers the backtest tests share: reports compared without their random trade ids."""

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
