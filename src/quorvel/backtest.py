"""Run a backtest: the tick feed, the simulated exchange and a small strategy.

This is the driver that connects the two extension modules.  For every tick it
follows the same road:

1. `Ticker.send_ticks` loads the period (and a backfill period) and starts
   the sending thread;
2. `Ticker.pop_tick` hands over the next tick, or a status dict under
   "darq_status" (backfill over, run ended);
3. `Matcher.set_current_tick` and `Matcher.match_deal` fill or expire the
   pending orders of the tick's code; the deal and cancel reports they queue
   are taken at once with `Matcher.pop_response`;
4. the strategy sees the tick and posts its order operations through
   `Matcher.add_pending_order_queue`; the driver waits for the intake
   thread's report of each, so that every order is in the book before the
   next tick is matched and a run is reproducible;
5. `Ticker.allow_next_tick` releases the next tick.

The sending thread converts a tick only once it holds a permit.  The driver
keeps `window` permits granted ahead, so the thread prepares up to that many
ticks while the driver works; the ticks are still processed one at a time in
order, and ``window=1`` gives the strictly paced replay.

Run ``quorvel-backtest --help`` (or ``python -m quorvel.backtest --help``)
for the command; `run_backtest` is the same run as a function, for any broker
API object that offers the contract registry and the history tick query.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import datetime as dt
import os
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Deque, Dict, Iterator, List, Optional, Sequence, Tuple

from quorvel.constant import BASIC_INFO, FLAG, OperationType, OrderType, PriceType
from quorvel.sim import SimulatedBroker, tick_size

END_STATUS = FLAG.exit_send_tick.value
BACKFILL_OVER_STATUS = FLAG.finish_backfilling.value

DEFAULT_CODES = ("2330", "TXFR1")
# A week of the offline broker's calendar (Monday to Friday), and the Thursday
# and Friday before it to warm the strategy up.
DEFAULT_PERIOD = ("2024-01-08", "2024-01-12")
DEFAULT_BACKFILL = ("2024-01-04", "2024-01-05")

_SECURITY_TYPES = {"Stock": "STK", "Future": "FUT"}


class BacktestError(Exception):
    """A run that cannot start or cannot finish, with a message for the user."""


# --- strategy ------------------------------------------------------------


@dataclass(frozen=True)
class StrategyParams:
    """Settings of the built-in strategy.

    Every `every` live ticks of a code without working orders, the last price
    is compared with the moving average of the last `ma` prices.  Below the
    average by more than `band` (a fraction) the strategy buys `lot`, above it
    sells, within a position of at most `max_position` either way.  How it
    trades depends on how far the price is off: beyond twice the band it
    takes the market (MKT, IOC); otherwise it alternates between an
    all-or-nothing limit order at the last price (LMT, FOK) and a resting
    limit order one price step better (LMT, ROD), which is repriced to the
    market after `rod_ttl // 2` ticks and cancelled after `rod_ttl`.
    """

    ma: int = 100
    band: float = 0.001
    every: int = 50
    lot: int = 1
    max_position: int = 3
    rod_ttl: int = 200


Operation = Tuple[str, Dict[str, Any]]


@dataclass
class _WorkingOrder:
    code: str
    quantity: int
    order_type: Any
    placed_at: int  # the code's live tick count when the order was entered


class MeanReversionStrategy:
    """The built-in strategy (see `StrategyParams`): trades back towards the average."""

    def __init__(
        self, params: StrategyParams, markets: Dict[str, str], position_of: Callable[[str], int]
    ) -> None:
        self.params = params
        self.markets = markets
        self.position_of = position_of
        self.prices: Dict[str, Deque[float]] = {
            code: collections.deque(maxlen=params.ma) for code in markets
        }
        self.price_sums: Dict[str, float] = dict.fromkeys(markets, 0.0)
        self.live_ticks: Dict[str, int] = dict.fromkeys(markets, 0)
        self.decisions: Dict[str, int] = dict.fromkeys(markets, 0)
        self.working: Dict[str, _WorkingOrder] = {}

    def warm_up(self, tick: Dict[str, Any]) -> None:
        """Feed a backfill tick into the average; no trading."""
        self._record_price(tick["code"], float(tick["close"]))

    def on_tick(self, tick: Dict[str, Any]) -> List[Operation]:
        """Return the order operations to post after this live tick."""
        code = tick["code"]
        close = float(tick["close"])
        self._record_price(code, close)
        self.live_ticks[code] += 1
        working = [(tid, order) for tid, order in self.working.items() if order.code == code]
        if working:
            return self._manage(code, close, working)
        prices = self.prices[code]
        if len(prices) < self.params.ma or self.live_ticks[code] % self.params.every:
            return []
        deviation = close / (self.price_sums[code] / len(prices)) - 1
        if abs(deviation) <= self.params.band:
            return []
        side = "Sell" if deviation > 0 else "Buy"
        room = self.params.max_position - self.position_of(code) * (1 if side == "Buy" else -1)
        quantity = min(self.params.lot, room)
        if quantity <= 0:
            return []
        self.decisions[code] += 1
        step = self._step(code, close)
        if abs(deviation) > 2 * self.params.band:
            return [self._order(code, side, close, quantity, PriceType.MKT, OrderType.IOC)]
        if self.decisions[code] % 2:
            return [self._order(code, side, close, quantity, PriceType.LMT, OrderType.FOK)]
        passive = close - step if side == "Buy" else close + step
        return [self._order(code, side, passive, quantity, PriceType.LMT, OrderType.ROD)]

    def on_report(self, report: Dict[str, Any]) -> None:
        """Keep the working orders in step with the exchange's reports."""
        if "operation_type" not in report:  # a deal report
            order = self.working.get(report["id"])
            if order is not None:
                order.quantity -= report["quantity"]
                if order.quantity <= 0:
                    del self.working[report["id"]]
            return
        operation, order = report["operation_type"], report["order"]
        if operation == OperationType.NEW:
            self.working[order["id"]] = _WorkingOrder(
                order["code"],
                order["quantity"],
                order["order_type"],
                self.live_ticks[order["code"]],
            )
        elif operation == OperationType.CANCEL:
            self.working.pop(order["id"], None)

    def _manage(
        self, code: str, close: float, working: List[Tuple[str, _WorkingOrder]]
    ) -> List[Operation]:
        """Reprice, then cancel, resting orders that the market left behind."""
        operations: List[Operation] = []
        for trade_id, order in working:
            if order.order_type != OrderType.ROD:
                continue  # IOC and FOK orders end at the next tick of their code
            age = self.live_ticks[code] - order.placed_at
            if age == self.params.rod_ttl // 2:
                operations.append(("modify", {"trade_id": trade_id, "price": close}))
            elif age >= self.params.rod_ttl:
                operations.append(("cancel", {"trade_id": trade_id}))
        return operations

    def _record_price(self, code: str, close: float) -> None:
        prices = self.prices[code]
        if len(prices) == prices.maxlen:
            self.price_sums[code] -= prices[0]
        prices.append(close)
        self.price_sums[code] += close

    def _step(self, code: str, price: float) -> float:
        return tick_size(price, _SECURITY_TYPES[self.markets[code]])

    def _order(
        self,
        code: str,
        side: str,
        price: float,
        quantity: int,
        price_type: PriceType,
        order_type: OrderType,
    ) -> Operation:
        return (
            "add",
            {
                "code": code,
                "product_type": self.markets[code],
                "action": side,
                "price": float(price),
                "qty": quantity,
                "price_type": price_type.value,
                "order_type": order_type.value,
            },
        )


# --- run -----------------------------------------------------------------


class _Watchdog:
    """Ends a run that stopped moving instead of letting it wait for ever.

    `pop_tick` and `pop_response` wait without limit.  The driver calls
    `beat` whenever it makes progress; if no beat comes for `timeout`
    seconds, the watchdog wakes the driver: `stop_send_ticks` puts an end
    status on the tick queue and a stall marker goes on the report queue.
    """

    STALL_MARKER = {"quorvel_backtest": "stalled"}

    def __init__(self, timeout: float, ticker: Any, matcher: Any) -> None:
        self.timeout = timeout
        self.ticker = ticker
        self.matcher = matcher
        self.expired = False
        self.last_beat = time.monotonic()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._watch, name="backtest-watchdog", daemon=True)

    def beat(self) -> None:
        self.last_beat = time.monotonic()

    def __enter__(self) -> "_Watchdog":
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()

    def _watch(self) -> None:
        while not self._stop.wait(min(1.0, self.timeout / 4)):
            if time.monotonic() - self.last_beat > self.timeout:
                self.expired = True
                self.ticker.stop_send_ticks()
                self.matcher.add_response_to_queue(dict(self.STALL_MARKER))
                return


@dataclass
class BacktestResult:
    """What a run produced: every report, the position keeper, and the timing."""

    codes: List[Dict[str, str]]
    period: Tuple[str, str]
    backfill: Optional[Tuple[str, str]]
    window: int
    reports: List[Dict[str, Any]] = field(default_factory=list)
    operations: List[Operation] = field(default_factory=list)
    positions: Any = None
    statuses: List[str] = field(default_factory=list)
    live_ticks: int = 0
    backfill_ticks: int = 0
    replay_seconds: float = 0.0
    equity: List[Tuple[int, float]] = field(default_factory=list)
    cache_files_before: int = 0
    cache_files_after: int = 0

    @property
    def ticks_per_second(self) -> float:
        total = self.live_ticks + self.backfill_ticks
        return total / self.replay_seconds if self.replay_seconds else 0.0

    def per_code(self) -> Dict[str, Dict[str, Any]]:
        """Orders, fills, cancellations, position and P&L of each code."""
        summary = self.positions.summary()
        rows: Dict[str, Dict[str, Any]] = {}
        for entry in self.codes:
            code = entry["code"]
            held = summary["positions"].get(code, {})
            rows[code] = {
                "market": entry["market"],
                "orders": 0,
                "fills": 0,
                "filled_qty": 0,
                "cancellations": 0,
                "position": held.get("quantity", 0),
                "avg_price": held.get("avg_price", 0.0),
                "last_price": self.positions.last_prices.get(code),
                "realized_pnl": held.get("realized_pnl", 0.0),
                "unrealized_pnl": held.get("unrealized_pnl", 0.0),
            }
        for report in self.reports:
            if "operation_type" in report:
                row = rows[report["order"]["code"]]
                if report["operation_type"] == OperationType.NEW:
                    row["orders"] += 1
                elif report["operation_type"] == OperationType.CANCEL:
                    row["cancellations"] += 1
            else:
                row = rows[report["code"]]
                row["fills"] += 1
                row["filled_qty"] += report["quantity"]
        return rows

    def order_kinds(self) -> Dict[Tuple[str, str], Dict[str, int]]:
        """Orders entered, filled (at least partly) and cancelled, by price type and order type."""
        kind_of: Dict[str, Tuple[str, str]] = {}
        kinds: Dict[Tuple[str, str], Dict[str, int]] = {}
        for report in self.reports:
            if "operation_type" in report:
                order = report["order"]
                kind = (str(order["price_type"]), str(order["order_type"]))
                counts = kinds.setdefault(kind, {"orders": 0, "filled": 0, "cancelled": 0})
                if report["operation_type"] == OperationType.NEW:
                    kind_of[order["id"]] = kind
                    counts["orders"] += 1
                elif report["operation_type"] == OperationType.CANCEL:
                    counts["cancelled"] += 1
        filled = {report["id"] for report in self.reports if "operation_type" not in report}
        for trade_id in filled:
            kinds[kind_of[trade_id]]["filled"] += 1
        return dict(sorted(kinds.items()))


def resolve_codes(api: Any, codes: Sequence[str]) -> List[Dict[str, str]]:
    """The instrument list for `codes`, each looked up in the API's contract registry."""
    resolved = []
    for code in codes:
        if _registry_has(api.Contracts.Stocks, code):
            resolved.append({"code": code, "market": "Stock"})
        elif _registry_has(api.Contracts.Futures, code):
            resolved.append({"code": code, "market": "Future"})
        else:
            raise BacktestError(
                f"unknown code {code!r}: neither a stock nor a futures contract of the broker"
            )
    return resolved


def _registry_has(registry: Any, code: str) -> bool:
    try:
        return registry[code] is not None
    except (KeyError, IndexError):
        return False


class _QuietConsole:
    def print(self, *args: Any, **kwargs: Any) -> None:
        pass


@contextlib.contextmanager
def _modules_quiet(modules: Sequence[Any]) -> Iterator[None]:
    """Hold back the modules' per-order and per-day status lines during a run."""
    saved = [module.console for module in modules]
    for module in modules:
        module.console = _QuietConsole()
    try:
        yield
    finally:
        for module, console in zip(modules, saved):
            module.console = console


@contextlib.contextmanager
def _data_dir(path: str) -> Iterator[None]:
    saved = BASIC_INFO.data_dir
    BASIC_INFO.data_dir = path
    try:
        yield
    finally:
        BASIC_INFO.data_dir = saved


def _cache_files(data_dir: str) -> int:
    cache = os.path.join(data_dir, "sino", "ticks")
    return len(os.listdir(cache)) if os.path.isdir(cache) else 0


Progress = Callable[[int, int], None]  # (ticks done, ticks known so far)


def run_backtest(
    api: Any,
    codes: Sequence[str],
    period: Tuple[str, str] = DEFAULT_PERIOD,
    backfill: Optional[Tuple[str, str]] = DEFAULT_BACKFILL,
    *,
    data_dir: str,
    params: StrategyParams = StrategyParams(),
    window: int = 64,
    progress: Optional[Progress] = None,
    quiet_modules: bool = True,
    stall_timeout: float = 120.0,
    equity_every: int = 50,
) -> BacktestResult:
    """Replay `period` for `codes` through the matcher with the built-in strategy.

    `api` is the broker API object (`SimulatedBroker` or the broker's own,
    logged in); ticks are cached under `data_dir`.  Raises `BacktestError`
    for an unknown code, and for a run in which neither a tick nor an awaited
    report comes for `stall_timeout` seconds (a feed thread that died, an
    order operation the exchange refused).
    """
    from quorvel.modules.matcher import matcher as matcher_module
    from quorvel.modules.ticker import ticker as ticker_module

    if window < 1:
        raise ValueError(f"window must be at least 1, got {window}")
    instruments = resolve_codes(api, codes)
    markets = {entry["code"]: entry["market"] for entry in instruments}
    start_from, end_to = period
    result = BacktestResult(instruments, (start_from, end_to), None, window)
    if backfill:
        result.backfill = (backfill[0], backfill[1])
    quiet = (
        _modules_quiet([matcher_module, ticker_module])
        if quiet_modules
        else contextlib.nullcontext()
    )
    with _data_dir(os.path.expanduser(data_dir)), quiet:
        result.cache_files_before = _cache_files(BASIC_INFO.data_dir)
        matcher = matcher_module.Matcher()
        ticker = ticker_module.Ticker(api)
        result.positions = matcher.positions
        strategy = MeanReversionStrategy(
            params, markets, lambda code: _position(matcher.positions, code)
        )
        with _Watchdog(stall_timeout, ticker, matcher) as watchdog:
            total = _count_loaded_rows(ticker, watchdog, progress)
            for _ in range(window - 1):
                ticker.allow_next_tick()  # the constructor granted the first permit
            backfill_from, backfill_to = result.backfill or (None, None)
            ticker.send_ticks(instruments, start_from, end_to, backfill_from, backfill_to)
            _replay(ticker, matcher, strategy, result, watchdog, progress, total, equity_every)
        result.cache_files_after = _cache_files(BASIC_INFO.data_dir)
    return result


def _position(positions: Any, code: str) -> int:
    held = positions.positions.get(code)
    return held.quantity if held is not None else 0


def _count_loaded_rows(ticker: Any, watchdog: _Watchdog, progress: Optional[Progress]) -> List[int]:
    """Learn how many ticks each load yields, and beat the watchdog per loaded day.

    The ticker looks its loading steps up on the instance at every call, so
    instance attributes can wrap them.  The list returned holds the running
    total; the backfill thread adds to it too.
    """
    total = [0]
    combine = ticker._Ticker__process_and_combine_ticks
    fetch_day = ticker._Ticker__auto_fetch_ticks

    def counting_combine(codes: list, start_from: str, end_to: str) -> Any:
        frame = combine(codes, start_from, end_to)
        total[0] += frame.shape[0]
        if progress is not None:
            progress(0, total[0])
        return frame

    def beating_fetch_day(code: str, product_type: str, date: str) -> Any:
        watchdog.beat()
        return fetch_day(code, product_type, date)

    ticker._Ticker__process_and_combine_ticks = counting_combine
    ticker._Ticker__auto_fetch_ticks = beating_fetch_day
    return total


def _replay(
    ticker: Any,
    matcher: Any,
    strategy: MeanReversionStrategy,
    result: BacktestResult,
    watchdog: _Watchdog,
    progress: Optional[Progress],
    total: List[int],
    equity_every: int,
) -> None:
    responses = matcher.response_queue
    positions = matcher.positions
    done = 0
    watchdog.beat()
    started = time.perf_counter()
    while True:
        tick = ticker.pop_tick()
        watchdog.beat()
        if watchdog.expired:
            raise BacktestError(f"no tick came for {watchdog.timeout:g} s; the run was stopped")
        if tick is None:
            raise BacktestError("the tick feed handed over None instead of a tick")
        status = tick.get("darq_status")
        if status is not None:
            result.statuses.append(status)
            if status == END_STATUS:
                break
            continue
        matcher.set_current_tick(tick)
        matcher.match_deal(tick["code"], tick["close"], tick["qty"], tick["timestamp"])
        while not responses.empty():  # the deal and cancel reports of this tick
            _take_report(matcher, strategy, result, watchdog)
        if tick["is_backfilling"]:
            result.backfill_ticks += 1
            strategy.warm_up(tick)
        else:
            result.live_ticks += 1
            operations = strategy.on_tick(tick)
            for action, payload in operations:
                matcher.add_pending_order_queue(action, payload)
                result.operations.append((action, payload))
            for _ in operations:  # the intake thread answers each with one report
                _take_report(matcher, strategy, result, watchdog)
            if result.live_ticks % equity_every == 0:
                result.equity.append((result.live_ticks, positions.summary()["total_pnl"]))
        ticker.allow_next_tick()
        done += 1
        if progress is not None and done % 256 == 0:
            progress(done, total[0])
    result.replay_seconds = time.perf_counter() - started
    result.equity.append((result.live_ticks, positions.summary()["total_pnl"]))
    if progress is not None:
        progress(done, total[0])


def _take_report(
    matcher: Any, strategy: MeanReversionStrategy, result: BacktestResult, watchdog: _Watchdog
) -> None:
    report = matcher.pop_response()
    if watchdog.expired or report == _Watchdog.STALL_MARKER:
        raise BacktestError(
            f"the exchange did not answer an order operation within {watchdog.timeout:g} s; "
            "see the log under the data directory"
        )
    result.reports.append(report)
    strategy.on_report(report)


# --- output --------------------------------------------------------------


def _money(value: Optional[float]) -> str:
    return "-" if value is None else f"{value:.2f}"


def render(result: BacktestResult, console: Any) -> None:
    """Print the tables of a finished run on a rich console."""
    from rich import box
    from rich.table import Table

    per_code = result.per_code()
    table = Table(
        title="Per code (P&L in price points x lots)", title_justify="left", box=box.SIMPLE_HEAD
    )
    for column in (
        "code",
        "orders",
        "fills",
        "cancels",
        "pos",
        "avg",
        "last",
        "realised",
        "unrealised",
    ):
        table.add_column(column, justify="left" if column == "code" else "right")
    for code, row in per_code.items():
        table.add_row(
            code,
            str(row["orders"]),
            str(row["fills"]),
            str(row["cancellations"]),
            str(row["position"]),
            _money(row["avg_price"] if row["position"] else None),
            _money(row["last_price"]),
            _money(row["realized_pnl"]),
            _money(row["unrealized_pnl"]),
        )
    summary = result.positions.summary()
    totals = [
        str(sum(row[key] for row in per_code.values()))
        for key in ("orders", "fills", "cancellations")
    ]
    table.add_section()
    table.add_row(
        "total",
        *totals,
        "",
        "",
        "",
        _money(summary["total_realized_pnl"]),
        _money(summary["total_unrealized_pnl"]),
    )
    console.print(table)

    kinds = Table(title="Orders by kind", title_justify="left", box=box.SIMPLE_HEAD)
    for column in ("price type", "order type", "entered", "filled", "cancelled"):
        kinds.add_column(column, justify="left" if "type" in column else "right")
    for (price_type, order_type), counts in result.order_kinds().items():
        kinds.add_row(
            price_type,
            order_type,
            str(counts["orders"]),
            str(counts["filled"]),
            str(counts["cancelled"]),
        )
    console.print(kinds)

    run = Table(title="Run", title_justify="left", show_header=False, box=box.SIMPLE)
    run.add_column(justify="left")
    run.add_column(justify="right")
    run.add_row("period", " to ".join(result.period))
    run.add_row("backfill", " to ".join(result.backfill) if result.backfill else "none")
    run.add_row(
        "ticks replayed (backfill + live)", f"{result.backfill_ticks:,} + {result.live_ticks:,}"
    )
    run.add_row("replay time", f"{result.replay_seconds:.2f} s")
    run.add_row("ticks per second", f"{result.ticks_per_second:,.0f}")
    run.add_row("permits granted ahead (--window)", str(result.window))
    run.add_row(
        "tick cache files (before, after)",
        f"{result.cache_files_before}, {result.cache_files_after}",
    )
    run.add_row("total P&L", _money(summary["total_pnl"]))
    console.print(run)


def plot_equity(result: BacktestResult, path: str) -> None:
    """Write the equity curve (total P&L against live ticks) as an image."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 4))
    ticks, pnl = zip(*result.equity) if result.equity else ((), ())
    axes.plot(ticks, pnl, linewidth=1.2)
    axes.axhline(0, color="grey", linewidth=0.6)
    codes = ", ".join(entry["code"] for entry in result.codes)
    axes.set_title(f"Equity: {codes}, {result.period[0]} to {result.period[1]}")
    axes.set_xlabel("live ticks replayed")
    axes.set_ylabel("total P&L (price points x lots)")
    figure.tight_layout()
    figure.savefig(path, dpi=120)
    plt.close(figure)


# --- command line --------------------------------------------------------


def _date(text: str) -> str:
    try:
        dt.datetime.strptime(text, "%Y-%m-%d")
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a date of the form YYYY-MM-DD: {text!r}") from None
    return text


def _at_least(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, got {value}")
        return value

    return parse


def _fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1, got {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    defaults = StrategyParams()
    parser = argparse.ArgumentParser(
        prog="quorvel-backtest",
        description=(
            "Backtest a small mean-reversion strategy on ticks from the built-in offline broker: "
            "the tick feed replays the period, the simulated exchange matches the strategy's "
            "limit and market orders (ROD, IOC, FOK), and the result is printed per code."
        ),
        epilog="Example: quorvel-backtest --codes 2317 MXFR1 --start 2024-03-04 --end 2024-03-08",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter,
    )
    data = parser.add_argument_group("data")
    data.add_argument(
        "--codes",
        nargs="+",
        default=list(DEFAULT_CODES),
        metavar="CODE",
        help="stock and futures codes to trade (offline broker: 2330, 2317, ..., TXFR1, MXFR1)",
    )
    data.add_argument(
        "--start",
        type=_date,
        metavar="DATE",
        default=DEFAULT_PERIOD[0],
        help="first day of the period (YYYY-MM-DD)",
    )
    data.add_argument(
        "--end",
        type=_date,
        metavar="DATE",
        default=DEFAULT_PERIOD[1],
        help="last day of the period (YYYY-MM-DD)",
    )
    data.add_argument(
        "--backfill-start",
        type=_date,
        metavar="DATE",
        default=DEFAULT_BACKFILL[0],
        help="first day replayed before the period to warm the strategy up",
    )
    data.add_argument(
        "--backfill-end",
        type=_date,
        metavar="DATE",
        default=DEFAULT_BACKFILL[1],
        help="last backfill day",
    )
    data.add_argument("--no-backfill", action="store_true", help="replay the period only")
    data.add_argument(
        "--data-dir",
        metavar="DIR",
        help="tick cache directory, kept between runs (default: a temporary directory)",
    )
    data.add_argument(
        "--seed", type=int, metavar="N", default=0, help="seed of the offline broker's market"
    )
    data.add_argument(
        "--ticks-per-day",
        type=_at_least(1),
        metavar="N",
        default=3000,
        help="ticks per code and trading day from the offline broker",
    )

    strategy = parser.add_argument_group("strategy")
    strategy.add_argument(
        "--ma",
        type=_at_least(1),
        metavar="N",
        default=defaults.ma,
        help="moving-average length in ticks",
    )
    strategy.add_argument(
        "--band",
        type=_fraction,
        metavar="FRACTION",
        default=defaults.band,
        help="distance from the average, as a fraction, that triggers a trade",
    )
    strategy.add_argument(
        "--every",
        type=_at_least(1),
        metavar="N",
        default=defaults.every,
        help="look for a trade every N live ticks of a code",
    )
    strategy.add_argument(
        "--lot", type=_at_least(1), metavar="N", default=defaults.lot, help="quantity per order"
    )
    strategy.add_argument(
        "--max-position",
        type=_at_least(1),
        metavar="N",
        default=defaults.max_position,
        help="largest position, long or short, per code",
    )
    strategy.add_argument(
        "--rod-ttl",
        type=_at_least(2),
        metavar="N",
        default=defaults.rod_ttl,
        help="ticks after which a resting ROD order is cancelled (repriced at half)",
    )

    run = parser.add_argument_group("run")
    run.add_argument(
        "--window",
        type=_at_least(1),
        metavar="N",
        default=64,
        help="permits granted ahead to the sending thread; 1 replays strictly paced",
    )
    run.add_argument(
        "--plot",
        metavar="FILE.png",
        help="write the equity curve (needs the 'plot' extra: matplotlib)",
    )
    run.add_argument("--verbose", action="store_true", help="show the modules' own status lines")
    return parser


def _check_args(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.start > args.end:
        parser.error(f"--start {args.start} lies after --end {args.end}")
    if not args.no_backfill and args.backfill_start > args.backfill_end:
        parser.error(
            f"--backfill-start {args.backfill_start} lies after --backfill-end {args.backfill_end}"
        )
    if not args.no_backfill and args.backfill_end >= args.start:
        parser.error(
            f"the backfill must end before the period starts (--backfill-end {args.backfill_end})"
        )
    if args.plot:
        if not args.plot.lower().endswith(".png"):
            parser.error(f"--plot writes a PNG file; give a name ending in .png, not {args.plot!r}")
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            parser.error("--plot needs matplotlib: pip install 'quorvel[plot]'")


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The console command; returns the exit status (argument errors exit with 2)."""
    from rich.console import Console
    from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn

    parser = build_parser()
    args = parser.parse_args(argv)
    _check_args(parser, args)
    api = SimulatedBroker(args.seed, ticks_per_day=args.ticks_per_day)
    try:
        resolve_codes(api, args.codes)
    except BacktestError as error:
        parser.error(str(error))
    params = StrategyParams(
        args.ma, args.band, args.every, args.lot, args.max_position, args.rod_ttl
    )
    backfill = None if args.no_backfill else (args.backfill_start, args.backfill_end)
    # A terminal gets its own width; a file or pipe gets room for the tables.
    console = Console(width=None if sys.stdout.isatty() else 100)
    with contextlib.ExitStack() as stack:
        data_dir = args.data_dir or stack.enter_context(
            tempfile.TemporaryDirectory(prefix="quorvel-")
        )
        bar = stack.enter_context(
            Progress(
                TextColumn("replaying ticks"),
                BarColumn(),
                MofNCompleteColumn(),
                TimeElapsedColumn(),
                console=console,
                transient=True,
            )
        )
        task = bar.add_task("replay", total=None)
        try:
            result = run_backtest(
                api,
                args.codes,
                (args.start, args.end),
                backfill,
                data_dir=data_dir,
                params=params,
                window=args.window,
                progress=lambda done, total: bar.update(task, completed=done, total=total or None),
                quiet_modules=not args.verbose,
            )
        except BacktestError as error:
            bar.stop()
            console.print(f"[red]backtest failed: {error}[/red]")
            return 1
    render(result, console)
    if not result.live_ticks:
        console.print("[yellow]the period holds no trading day of these codes[/yellow]")
    if args.data_dir:
        console.print(
            f"tick cache: {os.path.join(os.path.expanduser(args.data_dir), 'sino', 'ticks')}"
        )
    if args.plot:
        plot_equity(result, args.plot)
        console.print(f"equity curve written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
