"""The strategy API: the base class a user's strategy derives from, and its parameters.

A strategy is a `Strategy` subclass.  Its parameters are public class
attributes holding plain values (bool, int, float, str); a run may override
them (``--param name=value`` on the command line).  The engine calls the
hooks and gives the strategy its order operations through an `OrderDesk`.
"""

from __future__ import annotations

import datetime as dt
import functools
import zoneinfo
from typing import Any, Dict, List, Optional, Tuple, Union

from quorvel.backtest.messages import (
    Bar,
    CorporateActionInfo,
    DealReport,
    MarginCall,
    OrderReport,
    Quote,
    Settlement,
    Tick,
)

# An order operation as posted to the exchange: "add", "modify" or "cancel" and its payload.
Operation = Tuple[str, Dict[str, Any]]

_PARAMETER_TYPES = (bool, int, float, str)


class OrderDesk:
    """What an engine offers a running strategy: the exchange and the market as seen so far."""

    def place(
        self, code: str, action: str, qty: int, price: Optional[float], order_type: Optional[str]
    ) -> str:
        """Enter an order; returns its trade id."""
        raise NotImplementedError

    def modify(self, trade_id: str, qty: Optional[int], price: Optional[float]) -> None:
        raise NotImplementedError

    def cancel(self, trade_id: str) -> None:
        raise NotImplementedError

    def position(self, code: str) -> int:
        raise NotImplementedError

    def working_orders(self, code: Optional[str]) -> List[Dict[str, Any]]:
        raise NotImplementedError

    def last_price(self, code: str) -> Optional[float]:
        raise NotImplementedError

    def quote(self, code: str) -> Optional[Quote]:
        raise NotImplementedError

    def now(self) -> Optional[float]:
        raise NotImplementedError

    def tick_size(self, code: str, price: float) -> float:
        raise NotImplementedError

    def limit_prices(self, code: str) -> Optional[Tuple[float, float]]:
        raise NotImplementedError


class Strategy:
    """Base class of a strategy.  Override the hooks you need; all are optional.

    Hooks, in the order a run calls them: `on_start` once, `warm_up` for
    every backfill tick, `on_tick` for every live tick, `on_report` for every
    order and deal report (before the next tick), `on_end` once;
    `on_margin_call` when the account's futures need more margin,
    `on_settlement` when a futures position is settled at its month's end, and
    `on_corporate_action` on the eve of a stock's ex-date.
    Ticks and reports are the exchange's dicts, unchanged (`Tick`,
    `OrderReport`, `DealReport`, `MarginCall`, `Settlement` and
    `CorporateActionInfo` describe their keys).  A strategy whose
    `bar_seconds` is not 0 also gets `on_bar` for every bar of that many
    seconds (`Bar`; `quorvel.backtest.engine.bars` says when).

    Operations (valid while a run is going on): `buy` and `sell` enter an
    order and return its trade id; `modify` takes `qty` off an order or
    changes its price; `cancel` removes it.  An operation the exchange would
    refuse (an unknown code or trade id, a quantity or price out of range, a
    limit price off the price step or beyond the day's price limits), or the
    account could not carry (not enough cash, margin or shares), raises
    `OrderError` and sends nothing.  `position`, `working_orders`,
    `last_price`, `quote`, `now` and `clock` tell the state of the run;
    `tick_size` and `limit_prices` the valid prices.
    """

    # Seconds per bar for `on_bar`, counted from each session's open; 0: no bars.
    bar_seconds: Union[int, float] = 0

    def __init__(self, **params: Any) -> None:
        defaults = self.parameters()
        for name, value in params.items():
            if name not in defaults:
                raise TypeError(f"{type(self).__name__} has no parameter {name!r}")
            setattr(self, name, value)
        self._desk: Optional[OrderDesk] = None

    @classmethod
    def parameters(cls) -> Dict[str, Any]:
        """The parameters and their defaults: public class attributes holding plain values."""
        found: Dict[str, Any] = {}
        for klass in reversed(cls.__mro__):
            if klass in (Strategy, object):
                continue
            for name, value in vars(klass).items():
                if not name.startswith("_") and isinstance(value, _PARAMETER_TYPES):
                    found[name] = value
        return found

    def parameter_values(self) -> Dict[str, Any]:
        """Every parameter with the value this strategy runs with: its default unless set."""
        return {name: getattr(self, name) for name in self.parameters()}

    # Hooks.
    def on_start(self) -> None:
        """Before the first tick."""

    def warm_up(self, tick: Tick) -> None:
        """Every backfill tick."""

    def on_tick(self, tick: Tick) -> None:
        """Every live tick."""

    def on_bar(self, bar: Bar) -> None:
        """Every bar of `bar_seconds`, once it is over (warm-up bars too: "is_backfilling")."""

    def on_report(self, report: Union[OrderReport, DealReport]) -> None:
        """Every order and deal report; only an order report has "operation_type"."""

    def on_margin_call(self, info: MarginCall) -> None:
        """The account's futures need more margin: a call made at the day's settlement, due
        by its deadline, or the futures about to be closed at market ("action" says which)."""

    def on_corporate_action(self, info: CorporateActionInfo) -> None:
        """A stock's ex-date comes next: told at the close of the day before, with the
        ex-date's reference price and what the position held is paid or given."""

    def on_settlement(self, info: Settlement) -> None:
        """A futures position was settled at its month's end (with roll "carry" it opens again
        in the next month at the code's next tick)."""

    def on_end(self) -> None:
        """After the last tick."""

    # Operations.
    def buy(
        self,
        code: str,
        qty: int,
        price: Optional[float] = None,
        order_type: Optional[str] = None,
    ) -> str:
        """Buy `qty`: at `price` (a limit order, ROD by default) or at the market (IOC by default)."""
        return self._run_desk().place(code, "Buy", qty, price, order_type)

    def sell(
        self,
        code: str,
        qty: int,
        price: Optional[float] = None,
        order_type: Optional[str] = None,
    ) -> str:
        """Sell `qty`; the arguments are those of `buy`."""
        return self._run_desk().place(code, "Sell", qty, price, order_type)

    def modify(
        self, trade_id: str, qty: Optional[int] = None, price: Optional[float] = None
    ) -> None:
        """Take `qty` off the order (a reduction, not the new quantity) and/or change its price."""
        self._run_desk().modify(trade_id, qty, price)

    def cancel(self, trade_id: str) -> None:
        """Cancel the order."""
        self._run_desk().cancel(trade_id)

    def position(self, code: str) -> int:
        """Net lots held in `code`: long positive, short negative."""
        return self._run_desk().position(code)

    def working_orders(self, code: Optional[str] = None) -> List[Dict[str, Any]]:
        """This strategy's order records still in the book (of `code`, or of every code)."""
        return self._run_desk().working_orders(code)

    def last_price(self, code: str) -> Optional[float]:
        """The latest tick's price of `code`, None before its first tick."""
        return self._run_desk().last_price(code)

    def quote(self, code: str) -> Optional[Quote]:
        """The bid and ask (prices and volumes) as they stood at `code`'s latest tick, None
        before its first."""
        return self._run_desk().quote(code)

    @property
    def clock(self) -> Optional[dt.datetime]:
        """The current tick's time as a timezone-aware datetime in Asia/Taipei (`now` on the
        exchange's wall clock), None before the first tick."""
        now = self.now
        if now is None:
            return None
        return dt.datetime.fromtimestamp(now, dt.timezone.utc).replace(tzinfo=_exchange_zone())

    @property
    def now(self) -> Optional[float]:
        """The current tick's timestamp (seconds, on the exchange's clock as in `Tick`), None
        before the first tick."""
        return self._run_desk().now()

    def tick_size(self, code: str, price: float) -> float:
        """The price step of `code` at `price` (568.3 for 2330: 1); valid prices lie on it."""
        return self._run_desk().tick_size(code, price)

    def limit_prices(self, code: str) -> Optional[Tuple[float, float]]:
        """The day's (lower, upper) price limit of `code`, None while its reference price is
        unknown or in a run without market rules.  After the close of a code's trading day,
        those of its next day."""
        return self._run_desk().limit_prices(code)

    def _run_desk(self) -> OrderDesk:
        if self._desk is None:
            raise RuntimeError("order operations and market state are available during a run only")
        return self._desk


@functools.lru_cache(maxsize=None)
def _exchange_zone() -> zoneinfo.ZoneInfo:
    """Asia/Taipei, looked up at the first use (from the tzdata package where the system has
    no zone database)."""
    return zoneinfo.ZoneInfo("Asia/Taipei")
