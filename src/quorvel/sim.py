"""Offline stand-in for the broker API object.

`SimulatedBroker` offers the two things the tick feed uses of the broker's
API: the contract registry (``api.Contracts.Stocks[code]``,
``api.Contracts.Futures[code]``) and the history tick query
(``api.ticks(contract=..., date="YYYY-MM-DD")``).  It needs no account and no
network, so tests and demo backtests run anywhere.

The ticks are synthetic but follow the market's rules (`quorvel.market`):

* Ticks come only on trading days (the exchange calendar) and in the
  instrument's sessions: stocks and ETFs from 09:00, continuously until 13:25
  and then one closing call auction at 13:30; TAIEX futures in the night
  session from 15:00 on the previous trading day to 05:00 the next morning and
  in the day session from 08:45 to 13:45; stock futures from 08:45 to 13:45.
  As the broker's history query does, a day's answer holds the night session
  that belongs to that trading day, so its first ticks come before its date.
* ``ts`` is an int count of nanoseconds of the Taiwan wall-clock time encoded
  as if it were UTC, as the broker delivers it: ``calendar.timegm`` of the
  local time, times 10**9.  Ticks are denser near each session's open and close.
* Every price lies on the instrument's price step and inside the day's price
  limits around the reference price, which is the previous trading day's last
  price.  Each day's last price follows a mean-reverting daily walk from the
  calendar's first day; within the day the price follows a random walk whose
  volatility clusters (GARCH(1, 1)), bridged to that last price.  Each tick
  trades at the best bid or the best ask, which are one step apart.
* The result maps the eight columns, in the broker's order, to lists of equal
  length, so ``{**ticks}`` and ``dict(ticks)`` give a frame-ready dict.

A day's ticks depend only on the seed, the contract, the date, the tick count
and the market's rules, never on which other days or codes were asked for
before.
"""

from __future__ import annotations

import bisect
import dataclasses
import datetime as dt
import functools
import hashlib
import math
import random
import threading
from dataclasses import dataclass
from typing import Dict, Iterable, Iterator, List, Optional, Tuple

from quorvel.market import TAIWAN, MarketRules, Session, broker_nanoseconds
from quorvel.market.actions import CorporateAction, actions_by_code, by_trading_day

__all__ = [
    "DEFAULT_CONTRACTS",
    "MAX_TICKS_PER_DAY",
    "TICK_COLUMNS",
    "ContractRegistry",
    "Contracts",
    "SimContract",
    "SimulatedApiError",
    "SimulatedBroker",
    "Ticks",
]

# The order in which the broker's tick result lists its columns.
TICK_COLUMNS = (
    "ts",
    "close",
    "volume",
    "bid_price",
    "bid_volume",
    "ask_price",
    "ask_volume",
    "tick_type",
)

# tick_type values: the trade hit the ask (buyer-initiated), hit the bid
# (seller-initiated), or was matched in a call auction.
TICK_BUY, TICK_SELL, TICK_AUCTION = 1, 2, 0

# The most ticks of one instrument on one day the broker makes: a few times the busiest days
# of the futures exchange.
MAX_TICKS_PER_DAY = 1_000_000

# Changes whenever the same settings would give other ticks, so that a cache
# filled by an older generator is never taken for this one's (`tick_source`).
GENERATOR_REVISION = 3


@dataclass(frozen=True)
class SimContract:
    """A contract of the simulated registry.

    `security_type` is "STK" for stocks and ETFs and "FUT" for futures, as the
    broker writes it; `reference` is the price the daily prices revert to;
    `unit` is the number of shares per lot (1 for futures).
    """

    code: str
    name: str
    security_type: str
    exchange: str
    category: str
    reference: float
    unit: int = 1


DEFAULT_CONTRACTS: Tuple[SimContract, ...] = (
    # One stock or more in every band of the stock price ladder, and an ETF in
    # each band of the ETF ladder.
    SimContract("2888", "新光金", "STK", "TSE", "17", 8.65, 1000),
    SimContract("2409", "友達", "STK", "TSE", "26", 18.15, 1000),
    SimContract("2884", "玉山金", "STK", "TSE", "17", 25.75, 1000),
    SimContract("2303", "聯電", "STK", "TSE", "24", 48.9, 1000),
    SimContract("1301", "台塑", "STK", "TSE", "03", 75.4, 1000),
    SimContract("2317", "鴻海", "STK", "TSE", "31", 104.0, 1000),
    SimContract("2603", "長榮", "STK", "TSE", "15", 170.0, 1000),
    SimContract("2330", "台積電", "STK", "TSE", "24", 580.0, 1000),
    SimContract("6488", "環球晶", "STK", "OTC", "24", 590.0, 1000),
    SimContract("2454", "聯發科", "STK", "TSE", "24", 1010.0, 1000),
    SimContract("00878", "國泰永續高股息", "STK", "TSE", "00", 21.5, 1000),
    SimContract("0050", "元大台灣50", "STK", "TSE", "00", 131.0, 1000),
    SimContract("TXFR1", "臺股期貨近月", "FUT", "TAIFEX", "TXF", 17900.0),
    SimContract("TXFR2", "臺股期貨次月", "FUT", "TAIFEX", "TXF", 17950.0),
    SimContract("MXFR1", "小型臺指近月", "FUT", "TAIFEX", "MXF", 17900.0),
    SimContract("CDFR1", "台積電期貨近月", "FUT", "TAIFEX", "CDF", 580.0),
)


_TSMC = "TSMC's board resolutions and TWSE filings"
_NO_PAYMENT_DATE = "; its payment date was not found: paid on the ex-date"
# The real cash dividends of the default codes in the years the examples run, with their
# sources; a code's action not found is left out rather than made up (docs/market-rules.md).
DEFAULT_ACTIONS: Tuple[CorporateAction, ...] = (
    CorporateAction("0050", "2023-01-30", 2.5, payment_date="2023-03-07", source="China Times"),
    CorporateAction("2330", "2023-03-16", 2.75, payment_date="2023-04-13", source=_TSMC),
    CorporateAction("2330", "2023-06-15", 2.74982072, payment_date="2023-07-13", source="CNA"),
    CorporateAction("0050", "2023-07-18", 1.9, payment_date="2023-08-11", source="Storm Media"),
    CorporateAction("2330", "2023-09-14", 3.0, source=_TSMC + _NO_PAYMENT_DATE),
    CorporateAction("2330", "2023-12-14", 3.0, payment_date="2024-01-11", source=_TSMC),
    CorporateAction("00878", "2024-02-27", 0.4, source="Storm Media" + _NO_PAYMENT_DATE),
    CorporateAction("2330", "2024-03-18", 3.49978969, payment_date="2024-04-11", source="CNA"),
    CorporateAction("2330", "2024-06-13", 3.5, payment_date="2024-07-11", source=_TSMC),
    CorporateAction("2317", "2024-07-02", 5.4, source="Focus Taiwan" + _NO_PAYMENT_DATE),
    CorporateAction("2330", "2024-09-12", 4.0001382, payment_date="2024-10-09", source=_TSMC),
    CorporateAction("2330", "2024-12-12", 3.99963706, payment_date="2025-01-09", source=_TSMC),
)


@dataclass(frozen=True)
class _MarketProfile:
    """Trading habits of one security type."""

    daily_volatility: float
    trade_size_alpha: float  # Pareto shape: smaller means heavier tail
    max_trade_size: int
    mean_quote_size: float
    closing_call: Optional[dt.timedelta]  # a call auction at the close, after this pause


_PROFILES: Dict[str, _MarketProfile] = {
    "STK": _MarketProfile(
        daily_volatility=0.018,
        trade_size_alpha=1.4,
        max_trade_size=499,
        mean_quote_size=40.0,
        closing_call=dt.timedelta(minutes=5),
    ),
    "FUT": _MarketProfile(
        daily_volatility=0.012,
        trade_size_alpha=1.6,
        max_trade_size=200,
        mean_quote_size=8.0,
        closing_call=None,
    ),
}

# GARCH(1, 1) weights of the last squared shock and of the last variance.
_GARCH_ALPHA = 0.05
_GARCH_BETA = 0.94
# Pull of the daily walk towards the contract's reference, per day.
_REVERSION = 0.02
# Spread of the opening price around the day's reference.
_OPENING_GAP = 0.005
# Depth of the U-shape of tick arrivals within a session (0 = uniform, below 1).
_ARRIVAL_U_SHAPE = 0.6
# Chance that a tick hits the side the price just moved to.
_MOMENTUM = 0.65
# Share of a trading day's ticks that fall in a night session, where there is one.
_NIGHT_SHARE = 0.3


class SimulatedApiError(Exception):
    """Raised by `SimulatedBroker.ticks` for a day configured to fail."""


@dataclass(frozen=True, eq=False, repr=False)
class Ticks:
    """One day of ticks: eight equally long lists, readable as attributes
    or as a read-only mapping whose keys are `TICK_COLUMNS` in that order."""

    ts: List[int]
    close: List[float]
    volume: List[int]
    bid_price: List[float]
    bid_volume: List[int]
    ask_price: List[float]
    ask_volume: List[int]
    tick_type: List[int]

    def keys(self) -> Tuple[str, ...]:
        return TICK_COLUMNS

    def __getitem__(self, key: str) -> list:
        if key not in TICK_COLUMNS:
            raise KeyError(key)
        return getattr(self, key)

    def __iter__(self) -> Iterator[str]:
        return iter(TICK_COLUMNS)

    def __len__(self) -> int:
        return len(TICK_COLUMNS)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Ticks):
            return NotImplemented
        return all(self[key] == other[key] for key in TICK_COLUMNS)

    def __repr__(self) -> str:
        return f"Ticks(<{len(self.ts)} ticks>)"


class ContractRegistry:
    """Contracts of one security type, indexed by code.

    An unknown code gives None, as the broker's registry does, or raises
    `KeyError` when the broker is made with ``unknown_code="raise"``.
    """

    def __init__(self, contracts: Iterable[SimContract], raise_unknown: bool) -> None:
        self._by_code = {contract.code: contract for contract in contracts}
        self._raise_unknown = raise_unknown

    def __getitem__(self, code: str) -> Optional[SimContract]:
        contract = self._by_code.get(code)
        if contract is None and self._raise_unknown:
            raise KeyError(code)
        return contract

    def get(self, code: str, default: object = None) -> object:
        return self._by_code.get(code, default)

    def __contains__(self, code: object) -> bool:
        return code in self._by_code

    def __iter__(self) -> Iterator[str]:
        return iter(self._by_code)

    def __len__(self) -> int:
        return len(self._by_code)

    def __repr__(self) -> str:
        return f"ContractRegistry({', '.join(self._by_code)})"


class Contracts:
    """The registry root: `Stocks` and `Futures`."""

    def __init__(self, stocks: ContractRegistry, futures: ContractRegistry) -> None:
        self.Stocks = stocks
        self.Futures = futures


class SimulatedBroker:
    """Offline broker API: a contract registry and deterministic history ticks.

    Args:
        seed: picks the market; the same seed gives the same ticks.
        ticks_per_day: number of ticks of every instrument on a trading day.
        unknown_code: "none" to look up unknown codes as None, "raise" to
            raise `KeyError` for them.
        contracts: the registry's contracts; security types "STK" and "FUT".
        holidays: "YYYY-MM-DD" days closed besides the calendar's holidays.
        fail_dates: "YYYY-MM-DD" days whose tick request raises
            `SimulatedApiError`, to exercise error handling.
        market_rules: the price steps, limits, sessions and calendar the
            ticks follow.
        corporate_actions: the dividends and reductions of the codes, offered
            as `corporate_actions` to the runs: on an ex-date the day's
            reference is the last close adjusted by the exchange's formula.

    Every tick request is appended to `tick_requests` as (code, date), so a
    test can tell whether, and how often, the API was asked.  `tick_source`
    names everything that shapes the ticks, so that caches of different
    settings are kept apart.
    """

    def __init__(
        self,
        seed: int = 0,
        *,
        ticks_per_day: int = 3000,
        unknown_code: str = "none",
        contracts: Iterable[SimContract] = DEFAULT_CONTRACTS,
        holidays: Iterable[str] = (),
        fail_dates: Iterable[str] = (),
        market_rules: MarketRules = TAIWAN,
        corporate_actions: Iterable[CorporateAction] = DEFAULT_ACTIONS,
    ) -> None:
        if unknown_code not in ("none", "raise"):
            raise ValueError(f'unknown_code must be "none" or "raise", not {unknown_code!r}')
        if not 1 <= ticks_per_day <= MAX_TICKS_PER_DAY:
            raise ValueError(
                f"ticks_per_day must be from 1 to {MAX_TICKS_PER_DAY}, not {ticks_per_day}"
            )
        contracts = tuple(contracts)
        for contract in contracts:
            if contract.security_type not in _PROFILES:
                raise ValueError(
                    f"contract {contract.code}: security type must be STK or FUT, "
                    f"not {contract.security_type!r}"
                )
        raise_unknown = unknown_code == "raise"
        self.seed = seed
        self.ticks_per_day = ticks_per_day
        self.rules = dataclasses.replace(
            market_rules, closed_days=(*market_rules.closed_days, *holidays)
        )
        self.fail_dates = frozenset(_parse_day(day) for day in fail_dates)
        self.tick_requests: List[Tuple[str, str]] = []
        self.contracts = contracts
        self.corporate_actions = tuple(corporate_actions)
        actions_by_code(self.corporate_actions)  # one a code and day
        self.Contracts = Contracts(
            ContractRegistry((c for c in contracts if c.security_type == "STK"), raise_unknown),
            ContractRegistry((c for c in contracts if c.security_type == "FUT"), raise_unknown),
        )

    @functools.cached_property
    def tick_source(self) -> str:
        """A directory name for the ticks of these settings: readable, and unique to
        everything that shapes them, the trading days of the calendar included."""
        settings = (
            GENERATOR_REVISION,
            self.seed,
            self.ticks_per_day,
            self.contracts,
            self.rules,
            self.rules.trading_calendar.days,
            *((self.corporate_actions,) if self.corporate_actions else ()),
        )
        digest = hashlib.sha256(repr(settings).encode()).hexdigest()[:10]
        return f"offline-seed{self.seed}-{self.ticks_per_day}ticks-{digest}"

    def ticks(self, contract: SimContract, date: str) -> Ticks:
        """Return the ticks of `contract` on trading day `date` ("YYYY-MM-DD").

        A day without trading gives empty columns; a day in `fail_dates`
        raises `SimulatedApiError`.
        """
        if not isinstance(contract, SimContract):
            raise TypeError(f"contract must be a SimContract, not {type(contract).__name__}")
        self.tick_requests.append((contract.code, date))
        day = _parse_day(date)
        if day in self.fail_dates:
            raise SimulatedApiError(f"tick request for {contract.code} on {date} failed")
        sessions = self.rules.sessions(contract.code, day)
        if not sessions:
            return Ticks([], [], [], [], [], [], [], [])
        actions = tuple(action for action in self.corporate_actions if action.code == contract.code)
        closes = _closing_prices(self.seed, contract, self.rules, actions)
        # A str seed is hashed with SHA-512, stable across processes and
        # unaffected by hash randomisation.
        rng = random.Random(f"{self.seed}|{contract.code}|{day.isoformat()}")
        return _DayGenerator(contract, self.rules, rng).generate(
            sessions, self.ticks_per_day, closes.reference(day), closes.close(day)
        )


def _parse_day(text: str) -> dt.date:
    return dt.datetime.strptime(text, "%Y-%m-%d").date()


class _ClosingPrices:
    """Each trading day's last price of one contract.

    A mean-reverting walk of daily log returns towards the contract's
    reference, from the calendar's first trading day on, each close kept
    inside the limits around the one before.  Computed up to the latest day
    asked for, once per process for the same seed, contract and rules; the
    feed's threads may ask at the same time, so the walk advances under a lock.
    """

    def __init__(
        self,
        seed: int,
        contract: SimContract,
        rules: MarketRules,
        actions: Tuple[CorporateAction, ...],
    ) -> None:
        self.code = contract.code
        taking_effect = by_trading_day(actions, rules.trading_calendar.first_from)
        self.actions = {day: action for (_, day), action in taking_effect.items()}
        self.anchor = contract.reference
        self.volatility = _PROFILES[contract.security_type].daily_volatility
        self.rules = rules
        self.days = rules.trading_calendar.days
        self.rng = random.Random(f"{seed}|{contract.code}|closes")
        self.closes = [rules.step_down(contract.code, contract.reference)]
        self.lock = threading.Lock()

    def reference(self, day: dt.date) -> float:
        """The last price of the trading day before `day`, adjusted on an ex-date."""
        return self._reference_at(bisect.bisect_left(self.days, day))

    def close(self, day: dt.date) -> float:
        return self._close_at(bisect.bisect_left(self.days, day) + 1)

    def _close_at(self, index: int) -> float:
        with self.lock:
            while len(self.closes) <= index:
                previous = self._adjusted(len(self.closes) - 1)
                drift = -_REVERSION * math.log(previous / self.anchor)
                target = previous * math.exp(drift + self.volatility * self.rng.gauss(0.0, 1.0))
                lower, upper = self.rules.limit_prices(self.code, previous)
                self.closes.append(min(max(self.rules.step_down(self.code, target), lower), upper))
            return self.closes[index]

    def _reference_at(self, index: int) -> float:
        self._close_at(index)
        return self._adjusted(index)

    def _adjusted(self, index: int) -> float:
        """closes[index], the last price before days[index], as that day's reference: adjusted
        on an ex-date."""
        action = self.actions.get(self.days[index]) if index < len(self.days) else None
        close = self.closes[index]
        return close if action is None else action.ex_reference(close)


@functools.lru_cache(maxsize=64)
def _closing_prices(
    seed: int, contract: SimContract, rules: MarketRules, actions: Tuple[CorporateAction, ...]
) -> _ClosingPrices:
    return _ClosingPrices(seed, contract, rules, actions)


def _microseconds(span: dt.timedelta) -> int:
    return span // dt.timedelta(microseconds=1)


def _arrival_offsets(count: int, span_us: int, rng: random.Random) -> List[int]:
    """`count` strictly increasing offsets in [0, span_us), U-shaped in time.

    Sorted uniform draws go through x - a*sin(2*pi*x)/(2*pi), which is
    increasing and flattest at both ends, where it crowds the ticks.
    """
    usable = span_us - count  # room for the bumps that keep offsets distinct
    offsets: List[int] = []
    previous = -1
    for x in sorted(rng.random() for _ in range(count)):
        shaped = x - _ARRIVAL_U_SHAPE * math.sin(2 * math.pi * x) / (2 * math.pi)
        previous = max(int(shaped * usable), previous + 1)
        offsets.append(previous)
    return offsets


class _DayGenerator:
    """One trading day of one contract's ticks."""

    def __init__(self, contract: SimContract, rules: MarketRules, rng: random.Random) -> None:
        self.code = contract.code
        self.profile = _PROFILES[contract.security_type]
        self.rules = rules
        self.rng = rng
        self.ticks = Ticks([], [], [], [], [], [], [], [])

    def generate(
        self, sessions: List[Session], count: int, reference: float, last_price: float
    ) -> Ticks:
        """`count` ticks over `sessions`, from near `reference` to `last_price` at the close."""
        lower, upper = self.rules.limit_prices(self.code, reference)
        closing_call = self.profile.closing_call
        times = self._arrival_times(sessions, count - 1 if closing_call else count)
        path = self._price_path(len(times), reference, last_price, lower, upper)
        trades = [self._continuous_trade(mid, shock, lower, upper) for mid, shock in path]
        if not closing_call:  # the day's last trade is its last price
            trades[-1] = (last_price, TICK_BUY if last_price == upper else TICK_SELL)
        for moment, (price, tick_type) in zip(times, trades):
            self._add(broker_nanoseconds(moment), price, tick_type, self._trade_size(), upper)
        if closing_call:
            volume = max(1, int(sum(self.ticks.volume) * self.rng.uniform(0.05, 0.15)))
            closes = broker_nanoseconds(sessions[-1].closes)
            self._add(closes, last_price, TICK_AUCTION, volume, upper)
        return self.ticks

    def _arrival_times(self, sessions: List[Session], count: int) -> List[dt.datetime]:
        """The continuous-trading times of `count` ticks, spread over the sessions; a closing
        call auction ends continuous trading early."""
        pause = self.profile.closing_call or dt.timedelta(0)
        night = [session for session in sessions if session.opens.date() < session.trading_day]
        night_count = round(count * _NIGHT_SHARE) if night else 0
        times = []
        for session in sessions:
            share = night_count if session in night else count - night_count
            span_us = _microseconds(session.closes - pause - session.opens)
            times += [
                session.opens + dt.timedelta(microseconds=offset)
                for offset in _arrival_offsets(share, span_us, self.rng)
            ]
        return times

    def _price_path(
        self, count: int, reference: float, last_price: float, lower: float, upper: float
    ) -> List[Tuple[float, float]]:
        """`count` (mid price, shock) pairs: a GARCH(1, 1) walk from near the reference,
        bridged to end at the day's last price, the mid kept inside the limits."""
        mean_variance = self.profile.daily_volatility**2 / max(count, 1)
        omega = mean_variance * (1 - _GARCH_ALPHA - _GARCH_BETA)
        variance = mean_variance
        log_mid = math.log(reference) + self.rng.gauss(0.0, _OPENING_GAP)
        walk = []
        for _ in range(count):
            shock = math.sqrt(variance) * self.rng.gauss(0.0, 1.0)
            variance = omega + _GARCH_ALPHA * shock * shock + _GARCH_BETA * variance
            log_mid += shock
            walk.append((log_mid, shock))
        gap = math.log(last_price) - log_mid
        # Below the upper limit, so that the ask one step above the bid stays inside it.
        highest_mid = upper - 1e-6
        return [
            (min(max(math.exp(point + gap * (index + 1) / count), lower), highest_mid), shock)
            for index, (point, shock) in enumerate(walk)
        ]

    def _continuous_trade(
        self, mid: float, shock: float, lower: float, upper: float
    ) -> Tuple[float, int]:
        """The price and tick type of a trade at the bid or the ask around `mid`."""
        bid = self.rules.step_down(self.code, mid)
        ask = self.rules.price_above(self.code, bid)
        if bid == lower:
            tick_type = TICK_SELL  # nobody sells below the limit
        elif ask == upper:
            tick_type = TICK_BUY
        else:
            towards = TICK_BUY if shock > 0 else TICK_SELL
            away = TICK_SELL if shock > 0 else TICK_BUY
            tick_type = towards if self.rng.random() < _MOMENTUM else away
        return (ask if tick_type == TICK_BUY else bid), tick_type

    def _trade_size(self) -> int:
        size = int(self.rng.paretovariate(self.profile.trade_size_alpha))
        return min(size, self.profile.max_trade_size)

    def _quote_size(self) -> int:
        return 1 + int(self.rng.expovariate(1 / self.profile.mean_quote_size))

    def _add(self, ts: int, price: float, tick_type: int, volume: int, upper: float) -> None:
        """A trade at `price`, quoted one step apart around it: the trade is the bid, or the
        ask for a buy and at the upper limit (where nothing is offered above it)."""
        if tick_type == TICK_BUY or price == upper:
            bid, ask = self.rules.price_below(self.code, price) or 0.0, price
        else:
            bid, ask = price, self.rules.price_above(self.code, price)
        ticks = self.ticks
        ticks.ts.append(ts)
        ticks.close.append(price)
        ticks.volume.append(volume)
        ticks.bid_price.append(bid)
        ticks.bid_volume.append(self._quote_size())
        ticks.ask_price.append(ask)
        ticks.ask_volume.append(self._quote_size())
        ticks.tick_type.append(tick_type)
