"""What the Taiwan markets allow: price steps, daily price limits, sessions and trading days.

The rules are data (`MarketRules`, Taiwan's in `TAIWAN`); the functions here apply Taiwan's:

    >>> from quorvel import market
    >>> market.tick_size("2330", 568.3)
    1.0
    >>> market.off_step_message("2330", 568.3)
    "568.3 is not on 2330's price step 1; 568 or 569"
    >>> market.limit_prices("2330", 580)
    (522.0, 638.0)

Times are the exchange's wall clock (Asia/Taipei); a moment is a naive `datetime` or, as the
broker writes a tick's time, seconds counted as if that wall clock were UTC.
"""

from quorvel.market.calendar import (
    Session,
    SessionHours,
    broker_nanoseconds,
    broker_seconds,
    wall_clock,
)
from quorvel.market.rules import TAIWAN, CallAuction, InstrumentRules, Kind, MarketRules, PriceLimit
from quorvel.market.steps import PriceSteps

__all__ = [
    "CallAuction",
    "InstrumentRules",
    "Kind",
    "MarketRules",
    "PriceLimit",
    "PriceSteps",
    "Session",
    "SessionHours",
    "TAIWAN",
    "backfill_range",
    "broker_nanoseconds",
    "broker_seconds",
    "is_on_step",
    "is_trading_day",
    "limit_prices",
    "next_trading_day",
    "off_step_message",
    "previous_trading_days",
    "price_above",
    "price_below",
    "session_at",
    "sessions",
    "step_down",
    "step_up",
    "tick_size",
    "trading_day_of",
    "trading_days",
    "wall_clock",
]

tick_size = TAIWAN.tick_size
is_on_step = TAIWAN.is_on_step
step_down = TAIWAN.step_down
step_up = TAIWAN.step_up
price_above = TAIWAN.price_above
price_below = TAIWAN.price_below
off_step_message = TAIWAN.off_step_message
limit_prices = TAIWAN.limit_prices
is_trading_day = TAIWAN.is_trading_day
trading_days = TAIWAN.trading_days
next_trading_day = TAIWAN.next_trading_day
previous_trading_days = TAIWAN.previous_trading_days
backfill_range = TAIWAN.backfill_range
sessions = TAIWAN.sessions
session_at = TAIWAN.session_at
trading_day_of = TAIWAN.trading_day_of
