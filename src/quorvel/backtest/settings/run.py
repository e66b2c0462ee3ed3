"""`RunSettings`: one statement of how a backtest runs, checked once when it is made.

Every layer of a run reads its settings from here: the engine its period, backfill, pacing and
market rules; the account its capital, costs and rules; the results the days a Sharpe ratio
needs; the files what they record of the run (`RunSettings.as_dict`).
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
import re
from dataclasses import dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple, Union

from quorvel import market
from quorvel.backtest.settings.account import AccountRules
from quorvel.backtest.settings.caps import RiskCaps
from quorvel.backtest.settings.costs import CostModel
from quorvel.market import MarketRules
from quorvel.market.actions import CorporateAction, actions_by_code

# A week of trading days, Monday to Friday.
DEFAULT_PERIOD = ("2024-01-08", "2024-01-12")
# The trading days before the period that warm the strategy up.
DEFAULT_BACKFILL_DAYS = 2
DEFAULT_CAPITAL = 1_000_000.0
# Fewer trading days than this give no Sharpe ratio.
DEFAULT_MIN_SHARPE_DAYS = 20

ENGINES = ("replay", "paced")
# How orders meet the ticks (`quorvel.backtest.engine.fills`): "queue" by queue position, the
# default; "queue-prob" moving up the queue also as the displayed volume ahead shrinks;
# "touch", the exchange's own matching (a resting order filled by any trade that reaches it, at
# the trade's price), the optimistic bound.
FILL_MODELS = ("queue", "queue-prob", "touch")
# An order's way to the exchange and back: the blocking `place_order` call of the broker's own
# documentation example ("Blocking & Non-Blocking Comparison", 0.1366 s, "may be different");
# the one published figure of a round trip through its API.
DEFAULT_LATENCY_MS = 137.0
# Steps a marketable order without a quote to take fills beyond the next trade's price.
DEFAULT_SLIPPAGE_TICKS = 1
MAX_SLIPPAGE_TICKS = 1000
# The most permits the paced engine grants ahead; no more than the run has ticks are granted.
MAX_WINDOW = 1_000_000
# More trading days than any run uses (of warm-up, or that a Sharpe ratio needs; the calendar
# begins in 2000).
MAX_TRADING_DAYS = 10_000
# More NTD than any account holds, and little enough that every sum and square the figures
# take stays finite.
MAX_NTD = 1e15

# What becomes of a continuous futures code's position when the code moves on to the next month:
# "settle", settled with its month (the strategy enters again if it wants); "carry", settled and
# opened again in the next month at its first trade, both legs' costs paid.
ROLLS = ("settle", "carry")
# A final settlement price's key: the product and the month, as the broker's symbols name them.
SETTLEMENT_KEY = re.compile(r"^[A-Z]{3}\d{6}$")

# More than an order's way to any exchange takes: a minute.
MAX_LATENCY_MS = 60_000.0
# The most times a day's ticks are asked of the broker, and the longest first wait between two
# attempts: with doubling waits, more would hold a run for hours on a broker that is down.
MAX_BROKER_ATTEMPTS = 10
MAX_BROKER_WAIT = 60.0

# A backfill: an explicit (first, last) range, a number of trading days before the period, or none.
Backfill = Union[Tuple[str, str], int, None]


def _day(text: Any, what: str) -> str:
    """A "YYYY-MM-DD" day as the feed expects it (2024-1-8 becomes 2024-01-08)."""
    try:
        return dt.datetime.strptime(text, "%Y-%m-%d").date().isoformat()
    except (TypeError, ValueError):
        raise ValueError(f"{what}: not a date of the form YYYY-MM-DD: {text!r}") from None


def _span(span: Any, what: str) -> Tuple[str, str]:
    if not isinstance(span, (tuple, list)) or len(span) != 2:
        raise ValueError(f"{what} must be (first day, last day), not {span!r}")
    first, last = _day(span[0], what), _day(span[1], what)
    if first > last:
        raise ValueError(f"{what}: {first} lies after {last}")
    return first, last


def _whole(value: Any, what: str, least: int, most: float = math.inf) -> None:
    if type(value) is not int or not least <= value <= most:
        bounds = f"from {least} to {most:,}" if most < math.inf else f"at least {least}"
        raise ValueError(f"{what} must be a whole number {bounds}, not {value!r}")


def _number(value: Any, what: str, unit: str, most: float) -> float:
    if isinstance(value, bool) or not (isinstance(value, (int, float)) and 0 <= value <= most):
        raise ValueError(f"{what} must be a number of {unit} from 0 to {most:,g}, not {value!r}")
    return float(value)


@dataclass(frozen=True)
class RunSettings:
    """How a backtest runs; made once, checked when made (`ValueError` with one line).

    `period` is the (first, last) day replayed; `backfill` the days replayed
    before it to warm the strategy up: a (first, last) range, a number of
    trading days before the period, or None.  `engine` is "replay" (the native
    loop on the caller's thread) or "paced" (the feed's threads, `window`
    permits granted ahead).  The account starts with `capital` NTD, pays
    `costs` and keeps `account`'s rules (``account_rules=False``: an account
    without limits).  `market_rules` are the rules the exchange holds the
    strategy to (None: the raw exchange, whose days and sessions still follow
    Taiwan's calendar).  Trade ids are drawn from a generator seeded with
    `seed` (None: the matcher's own).  A Sharpe ratio needs
    `min_sharpe_days` trading days; the paced engine gives up after
    `stall_timeout` seconds without a tick or an awaited report; the timeline
    is offered every `equity_every`-th live tick.  `fill_model` says how
    orders meet the ticks (`FILL_MODELS`); an order operation made while
    reacting to a tick reaches the exchange `latency_ms` milliseconds later;
    a marketable order with no quote to take fills `slippage_ticks` price
    steps beyond the next trade's price.  With `compare_fills` the run is
    replayed under "touch" fills as well, to show how much the fill model's
    caution costs (`BacktestResult.touch`).  A futures position still held
    when its month ends is settled at the month's final settlement price from
    `settlement_prices` (keyed "TXF202408": product and month), else at its
    last trade price; a continuous code's position is then opened again in
    the next month when `roll` is "carry" (`ROLLS`).  `corporate_actions` are
    the dividends and capital reductions of the codes (with those imported into
    the data directory and those the broker object offers).  Every day of ticks
    the run loads is checked before its first tick (`quorvel.data.checks`): a
    fault stops the run with `DataFaultError`, or, with `accept_data_faults`,
    the day is replayed and the fault kept as a warning
    (`BacktestResult.data_faults`).  A day's ticks are asked of the broker up
    to `broker_attempts` times, `broker_wait` seconds before the second attempt
    and twice as long before each further one (`quorvel.backtest.engine.asking`); a live
    session retries a lost broker session the same way.  `caps` are the risk caps a live
    session holds the strategy's orders to (`RiskCaps`; a backtest only records them).
    """

    period: Tuple[str, str] = DEFAULT_PERIOD
    backfill: Backfill = DEFAULT_BACKFILL_DAYS
    engine: str = "replay"
    window: int = 64
    capital: float = DEFAULT_CAPITAL
    costs: CostModel = field(default_factory=CostModel)
    account: AccountRules = field(default_factory=AccountRules)
    account_rules: bool = True
    market_rules: Optional[MarketRules] = market.TAIWAN
    seed: Optional[int] = 0
    min_sharpe_days: int = DEFAULT_MIN_SHARPE_DAYS
    stall_timeout: float = 120.0
    equity_every: int = 50
    fill_model: str = "queue"
    latency_ms: float = DEFAULT_LATENCY_MS
    slippage_ticks: int = DEFAULT_SLIPPAGE_TICKS
    compare_fills: bool = False
    roll: str = "settle"
    settlement_prices: Mapping[str, float] = field(default_factory=dict)
    corporate_actions: Tuple[CorporateAction, ...] = ()
    accept_data_faults: bool = False
    broker_attempts: int = 3
    broker_wait: float = 1.0
    caps: RiskCaps = field(default_factory=RiskCaps)

    def __post_init__(self) -> None:
        settle = object.__setattr__  # frozen: the checked values replace the given ones
        settle(self, "period", _span(self.period, "period"))
        if isinstance(self.backfill, bool) or not isinstance(self.backfill, (int, type(None))):
            backfill = _span(self.backfill, "backfill")
            if backfill[1] >= self.period[0]:
                raise ValueError(f"backfill: it must end before the period starts ({backfill[1]})")
            settle(self, "backfill", backfill)
        elif self.backfill is not None:
            _whole(self.backfill, "backfill (trading days)", 0, MAX_TRADING_DAYS)
        if self.engine not in ENGINES:
            raise ValueError(f"engine must be one of {', '.join(ENGINES)}, not {self.engine!r}")
        if self.fill_model not in FILL_MODELS:
            raise ValueError(
                f"fill_model must be one of {', '.join(FILL_MODELS)}, not {self.fill_model!r}"
            )
        if self.roll not in ROLLS:
            raise ValueError(f"roll must be one of {', '.join(ROLLS)}, not {self.roll!r}")
        for key, price in self.settlement_prices.items():
            if not isinstance(key, str) or not SETTLEMENT_KEY.match(key):
                raise ValueError(
                    f"settlement_prices: {key!r} is not a product and month such as TXF202408"
                )
            if isinstance(price, bool) or not isinstance(price, (int, float)) or not 0 < price < math.inf:
                raise ValueError(f"settlement_prices: {key}: not a positive price: {price!r}")
        if not all(isinstance(action, CorporateAction) for action in self.corporate_actions):
            raise ValueError("corporate_actions must be CorporateAction entries")
        actions_by_code(self.corporate_actions)  # one action a code and day
        settle(self, "corporate_actions", tuple(self.corporate_actions))
        _whole(self.window, "window", 1, MAX_WINDOW)
        if isinstance(self.capital, bool) or not isinstance(self.capital, (int, float)):
            raise ValueError(f"capital must be a number of NTD, not {self.capital!r}")
        if not 0 < self.capital <= MAX_NTD:
            raise ValueError(
                f"capital must be more than 0 and at most {MAX_NTD:g} NTD, not {self.capital!r}"
            )
        settle(self, "capital", float(self.capital))
        for name, kind in (("costs", CostModel), ("account", AccountRules), ("caps", RiskCaps)):
            if not isinstance(getattr(self, name), kind):
                raise ValueError(f"{name} must be a {kind.__name__}, not {getattr(self, name)!r}")
        if self.market_rules is not None and not isinstance(self.market_rules, MarketRules):
            raise ValueError(
                f"market_rules must be MarketRules or None (the raw exchange), not {self.market_rules!r}"
            )
        for name in ("account_rules", "compare_fills", "accept_data_faults"):
            if type(getattr(self, name)) is not bool:
                raise ValueError(f"{name} must be True or False, not {getattr(self, name)!r}")
        if self.seed is not None and type(self.seed) is not int:
            raise ValueError(f"seed must be a whole number or None, not {self.seed!r}")
        _whole(self.min_sharpe_days, "min_sharpe_days", 2, MAX_TRADING_DAYS)
        _whole(self.equity_every, "equity_every", 1)
        _whole(self.slippage_ticks, "slippage_ticks", 0, MAX_SLIPPAGE_TICKS)
        latency = _number(self.latency_ms, "latency_ms", "milliseconds", MAX_LATENCY_MS)
        settle(self, "latency_ms", latency)
        _whole(self.broker_attempts, "broker_attempts", 1, MAX_BROKER_ATTEMPTS)
        wait = _number(self.broker_wait, "broker_wait", "seconds", MAX_BROKER_WAIT)
        settle(self, "broker_wait", wait)
        if isinstance(self.stall_timeout, bool) or not (
            isinstance(self.stall_timeout, (int, float)) and 0 < self.stall_timeout < math.inf
        ):
            raise ValueError(
                f"stall_timeout must be a positive number of seconds, not {self.stall_timeout!r}"
            )

    @property
    def compares_fills(self) -> bool:
        """Whether the run is replayed under "touch" fills as well: asked for, and not its own."""
        return self.compare_fills and self.fill_model != "touch"

    @property
    def market(self) -> MarketRules:
        """The rules the run counts its trading days and sessions by: its market rules, or
        Taiwan's for the raw exchange."""
        return self.market_rules or market.TAIWAN

    def backfill_range(self) -> Optional[Tuple[str, str]]:
        """The backfill as a (first, last) range: as given, or its trading days counted back
        from the period by the run's calendar; None for none."""
        if isinstance(self.backfill, int):
            return self.market.backfill_range(self.period[0], self.backfill)
        return self.backfill

    def replace(self, **changes: Any) -> "RunSettings":
        """These settings with `changes`, checked again."""
        return dataclasses.replace(self, **changes)

    def as_dict(self) -> Dict[str, Any]:
        """The settings as the files record them (JSON values)."""
        backfill = self.backfill_range()
        return {
            "period": list(self.period),
            "backfill": list(backfill) if backfill else None,
            "engine": self.engine,
            "window": self.window,
            "fill_model": self.fill_model,
            "latency_ms": self.latency_ms,
            "slippage_ticks": self.slippage_ticks,
            "compare_fills": self.compare_fills,
            "accept_data_faults": self.accept_data_faults,
            "roll": self.roll,
            "settlement_prices": dict(sorted(self.settlement_prices.items())),
            "corporate_actions": [action.as_dict() for action in self.corporate_actions],
            "seed": self.seed,
            "capital": self.capital,
            "costs": self.costs.as_dict(),
            "account": {"rules": self.account_rules, **self.account.as_dict()},
            "market_rules": _rules_setting(self.market_rules),
            "min_sharpe_days": self.min_sharpe_days,
            "stall_timeout": self.stall_timeout,
            "equity_every": self.equity_every,
            "broker_attempts": self.broker_attempts,
            "broker_wait": self.broker_wait,
            "caps": self.caps.as_dict(),
        }


def _rules_setting(rules: Optional[MarketRules]) -> Union[bool, str]:
    """How the files record the rules: True for Taiwan's, False for none, else their repr."""
    if rules is None:
        return False
    return True if rules == market.TAIWAN else repr(rules)
