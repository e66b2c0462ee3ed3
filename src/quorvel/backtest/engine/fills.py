"""The run's fill model: how its orders meet the ticks.

``touch`` is the simulated exchange's own matching (`Matcher.match_deal`): a
limit order fills at the price of any trade that reaches it, a market order at
the next trade's price, up to the trade's volume; it is the optimistic bound.
``queue`` (the default) and ``queue-prob`` fill the book through the
matcher's fills door (`quorvel.modules.matcher.fills.QueueFills`), as a queue
at the exchange would; ``queue-prob`` moves a resting order forward also by its
share of what leaves its price without a trade.  Both models' fills go through
the matcher's own steps, so the reports, trade records and positions are those
of its matching.  What the models do, rule by rule, is in docs/engines.md.
"""

from __future__ import annotations

from typing import Any, Optional

from quorvel.backtest import core
from quorvel.backtest.settings.run import RunSettings

__all__ = ["fills_for"]


def fills_for(settings: RunSettings, matcher: Any) -> Optional[Any]:
    """The `QueueFills` that fills `matcher`'s book under the settings' model; None for
    ``touch``, whose matching is the matcher's own."""
    if settings.fill_model == "touch":
        return None
    rules = settings.market

    def price_step(code: str, price: float, steps: int) -> float:
        """`price` moved `steps` price steps up (down for a negative count) on `code`'s ladder;
        never below the lowest price on it."""
        for _ in range(abs(steps)):
            moved = rules.price_above(code, price) if steps > 0 else rules.price_below(code, price)
            if moved is None:
                break
            price = moved
        return price

    return core.fills().QueueFills(
        matcher, settings.fill_model == "queue-prob", settings.slippage_ticks, price_step
    )
