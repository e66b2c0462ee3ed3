"""Offline stand-in for the broker API object.

`SimulatedBroker` offers the two things the tick feed uses of the broker's
API: the contract registry (``api.Contracts.Stocks[code]``,
``api.Contracts.Futures[code]``) and the history tick query
(``api.ticks(contract=..., date="YYYY-MM-DD")``).  It needs no account and no
network, so tests and demo backtests run anywhere.

The ticks are synthetic but shaped like the real ones:

* Taiwan trading hours: stocks trade continuously from 09:00 to 13:25 and end
  with a closing call auction at 13:30; index futures trade their day session
  from 08:45 to 13:45.  Saturdays, Sundays and the configured holidays have no
  ticks.
* ``ts`` is an int count of nanoseconds of the Taiwan wall-clock time encoded
  as if it were UTC, as the broker delivers it: ``calendar.timegm`` of the
  local time, times 10**9.  Ticks are denser near the open and the close.
* Prices follow a random walk whose volatility clusters (GARCH(1, 1)), stay
  within the +-10% daily price limits and lie on the exchange's tick-size
  ladder.  Each tick trades at the best bid or the best ask, which are one
  tick apart.
* The result maps the eight columns, in the broker's order, to lists of equal
  length, so ``{**ticks}`` and ``dict(ticks)`` give a frame-ready dict.

A day's ticks depend only on the seed, the contract code, the date and the
tick count, never on which other days or codes were asked for before.  Days
are generated independently of each other: a day does not open at the
previous day's close.
"""

from __future__ import annotations

import calendar
import datetime as dt
import math
import random
from dataclasses import dataclass
from typing import Callable, Dict, Iterable, Iterator, List, Optional, Tuple

__all__ = [
    "DEFAULT_CONTRACTS",
    "TICK_COLUMNS",
    "ContractRegistry",
    "Contracts",
    "SimContract",
    "SimulatedApiError",
    "SimulatedBroker",
    "Ticks",
    "tick_size",
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

PRICE_LIMIT = 0.10  # daily limit, up and down, as a fraction of the reference


@dataclass(frozen=True)
class SimContract:
    """A contract of the simulated registry.

    `security_type` is "STK" for stocks and "FUT" for futures, as the broker
    writes it; `reference` is the price around which the ticks are generated;
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
    # One stock or more in every band of the tick-size ladder.
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
    SimContract("TXFR1", "臺股期貨近月", "FUT", "TAIFEX", "TXF", 17900.0),
    SimContract("TXFR2", "臺股期貨次月", "FUT", "TAIFEX", "TXF", 17950.0),
    SimContract("MXFR1", "小型臺指近月", "FUT", "TAIFEX", "MXF", 17900.0),
)


# Prices are handled in integer hundredths ("cents"): every step of both
# ladders is a whole number of cents, so ladder arithmetic is exact.

_STOCK_LADDER = ((1_000, 1), (5_000, 5), (10_000, 10), (50_000, 50), (100_000, 100))


def _stock_tick_cents(cents: int) -> int:
    """Step of the stock ladder for prices from `cents` upwards."""
    for upper, step in _STOCK_LADDER:
        if cents < upper:
            return step
    return 500


def _future_tick_cents(cents: int) -> int:
    """Index futures move in whole points."""
    return 100


def tick_size(price: float, security_type: str) -> float:
    """Return the exchange's price step for `price` ("STK" or "FUT")."""
    return _PROFILES[security_type].tick_cents(round(price * 100)) / 100


@dataclass(frozen=True)
class _MarketProfile:
    """Session times and trading habits of one security type."""

    open: dt.time
    continuous_end: dt.time
    closing_auction: Optional[dt.time]
    daily_volatility: float
    trade_size_alpha: float  # Pareto shape: smaller means heavier tail
    max_trade_size: int
    mean_quote_size: float
    tick_cents: Callable[[int], int]


_PROFILES: Dict[str, _MarketProfile] = {
    "STK": _MarketProfile(
        open=dt.time(9, 0),
        continuous_end=dt.time(13, 25),
        closing_auction=dt.time(13, 30),
        daily_volatility=0.018,
        trade_size_alpha=1.4,
        max_trade_size=499,
        mean_quote_size=40.0,
        tick_cents=_stock_tick_cents,
    ),
    "FUT": _MarketProfile(
        open=dt.time(8, 45),
        continuous_end=dt.time(13, 45),
        closing_auction=None,
        daily_volatility=0.012,
        trade_size_alpha=1.6,
        max_trade_size=200,
        mean_quote_size=8.0,
        tick_cents=_future_tick_cents,
    ),
}

# GARCH(1, 1) weights of the last squared shock and of the last variance.
_GARCH_ALPHA = 0.05
_GARCH_BETA = 0.94
# Spread of the day's reference around the contract's, and of the opening
# price around the day's reference.
_REFERENCE_DRIFT = 0.03
_OPENING_GAP = 0.005
# Depth of the intraday U-shape of tick arrivals (0 = uniform, below 1).
_ARRIVAL_U_SHAPE = 0.6
# Chance that a tick hits the side the price just moved to.
_MOMENTUM = 0.65


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
        holidays: "YYYY-MM-DD" weekdays without trading.
        fail_dates: "YYYY-MM-DD" days whose tick request raises
            `SimulatedApiError`, to exercise error handling.

    Every tick request is appended to `tick_requests` as (code, date), so a
    test can tell whether, and how often, the API was asked.
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
    ) -> None:
        if unknown_code not in ("none", "raise"):
            raise ValueError(f'unknown_code must be "none" or "raise", not {unknown_code!r}')
        if ticks_per_day < 1:
            raise ValueError(f"ticks_per_day must be at least 1, not {ticks_per_day}")
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
        self.holidays = frozenset(_parse_day(day) for day in holidays)
        self.fail_dates = frozenset(_parse_day(day) for day in fail_dates)
        self.tick_requests: List[Tuple[str, str]] = []
        self.Contracts = Contracts(
            ContractRegistry((c for c in contracts if c.security_type == "STK"), raise_unknown),
            ContractRegistry((c for c in contracts if c.security_type == "FUT"), raise_unknown),
        )

    def ticks(self, contract: SimContract, date: str) -> Ticks:
        """Return the ticks of `contract` on `date` ("YYYY-MM-DD").

        A weekend day or holiday gives empty columns; a day in `fail_dates`
        raises `SimulatedApiError`.
        """
        if not isinstance(contract, SimContract):
            raise TypeError(f"contract must be a SimContract, not {type(contract).__name__}")
        self.tick_requests.append((contract.code, date))
        day = _parse_day(date)
        if day in self.fail_dates:
            raise SimulatedApiError(f"tick request for {contract.code} on {date} failed")
        if day.weekday() >= 5 or day in self.holidays:
            return Ticks([], [], [], [], [], [], [], [])
        # A str seed is hashed with SHA-512, stable across processes and
        # unaffected by hash randomisation.
        rng = random.Random(f"{self.seed}|{contract.code}|{day.isoformat()}")
        return _generate_day(contract, day, self.ticks_per_day, rng)


def _parse_day(text: str) -> dt.date:
    return dt.datetime.strptime(text, "%Y-%m-%d").date()


def _floor_to_ladder(cents: float, tick_cents: Callable[[int], int]) -> int:
    whole = math.floor(cents)
    return whole - whole % tick_cents(whole)


def _ceil_to_ladder(cents: float, tick_cents: Callable[[int], int]) -> int:
    price = _floor_to_ladder(cents, tick_cents)
    return price if price >= cents else price + tick_cents(price)


def _microseconds_since_midnight(moment: dt.time) -> int:
    return ((moment.hour * 60 + moment.minute) * 60 + moment.second) * 1_000_000


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


def _generate_day(contract: SimContract, day: dt.date, count: int, rng: random.Random) -> Ticks:
    profile = _PROFILES[contract.security_type]
    step = profile.tick_cents
    ticks = Ticks([], [], [], [], [], [], [], [])

    # The day's reference stands for the previous close; the limits follow it.
    reference = contract.reference * 100 * math.exp(rng.gauss(0.0, _REFERENCE_DRIFT))
    reference = _floor_to_ladder(reference, step)
    limit_up = _floor_to_ladder(reference * (1 + PRICE_LIMIT), step)
    limit_down = _ceil_to_ladder(reference * (1 - PRICE_LIMIT), step)
    # The latent mid price stays below limit_up, so its ask never passes it.
    highest_mid = limit_up - 1e-6

    def add(ts: int, mid: float, tick_type: int, volume: int) -> None:
        bid = _floor_to_ladder(mid, step)
        ask = bid + step(bid)
        ticks.ts.append(ts)
        ticks.close.append((ask if tick_type == TICK_BUY else bid) / 100)
        ticks.volume.append(volume)
        ticks.bid_price.append(bid / 100)
        ticks.bid_volume.append(1 + int(rng.expovariate(1 / profile.mean_quote_size)))
        ticks.ask_price.append(ask / 100)
        ticks.ask_volume.append(1 + int(rng.expovariate(1 / profile.mean_quote_size)))
        ticks.tick_type.append(tick_type)

    day_ns = calendar.timegm(day.timetuple()) * 1_000_000_000
    open_us = _microseconds_since_midnight(profile.open)
    continuous = count - 1 if profile.closing_auction else count
    span_us = _microseconds_since_midnight(profile.continuous_end) - open_us

    mean_variance = profile.daily_volatility**2 / max(continuous, 1)
    omega = mean_variance * (1 - _GARCH_ALPHA - _GARCH_BETA)
    variance = mean_variance
    log_mid = math.log(reference) + rng.gauss(0.0, _OPENING_GAP)
    for offset in _arrival_offsets(continuous, span_us, rng):
        shock = math.sqrt(variance) * rng.gauss(0.0, 1.0)
        variance = omega + _GARCH_ALPHA * shock * shock + _GARCH_BETA * variance
        log_mid += shock
        mid = min(max(math.exp(log_mid), limit_down), highest_mid)
        log_mid = math.log(mid)
        bid = _floor_to_ladder(mid, step)
        if bid == limit_down:
            tick_type = TICK_SELL  # nobody sells below the limit
        elif bid + step(bid) == limit_up:
            tick_type = TICK_BUY
        else:
            towards = TICK_BUY if shock > 0 else TICK_SELL
            away = TICK_SELL if shock > 0 else TICK_BUY
            tick_type = towards if rng.random() < _MOMENTUM else away
        volume = min(int(rng.paretovariate(profile.trade_size_alpha)), profile.max_trade_size)
        add(day_ns + (open_us + offset) * 1000, mid, tick_type, volume)

    if profile.closing_auction:
        auction_us = _microseconds_since_midnight(profile.closing_auction)
        volume = max(1, int(sum(ticks.volume) * rng.uniform(0.05, 0.15)))
        add(day_ns + auction_us * 1000, math.exp(log_mid), TICK_AUCTION, volume)
    return ticks
