"""What both engines share: the run they work on, the feed's statuses, and the road of a tick,
the native `TickRoad` made for the run (`quorvel.modules.replay.replay`): the one sequence
every tick of either engine takes, from its arrival to the strategy's reports."""

from __future__ import annotations

import datetime as dt
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Type, TypeVar

from quorvel.backtest import core
from quorvel.backtest.account.account import Account
from quorvel.backtest.engine.bars import bar_seconds, session_spans
from quorvel.backtest.engine.data_faults import DataWatch
from quorvel.backtest.engine.desks import Desk
from quorvel.backtest.engine.market_rules import TradingRules
from quorvel.backtest.results.result import BacktestResult
from quorvel.backtest.settings.run import RunSettings
from quorvel.backtest.strategy.base import Strategy
from quorvel.constant import FLAG

AnyDesk = TypeVar("AnyDesk", bound=Desk)

END_STATUS = FLAG.exit_send_tick.value
BACKFILL_OVER_STATUS = FLAG.finish_backfilling.value

# (ticks done, ticks known so far, the trading day of the latest tick or None before the first)
Progress = Callable[[int, int, Optional[dt.date]], None]


@dataclass
class Run:
    """What an engine works with."""

    ticker: Any
    matcher: Any
    strategy: Strategy
    instruments: List[Dict[str, str]]  # {"code": ..., "market": "Stock" or "Future"}
    result: BacktestResult
    progress: Optional[Progress]
    account: Account
    rules: TradingRules
    fills: Any  # the run's QueueFills, None for the matcher's own matching
    data_watch: DataWatch  # the checks of the days loaded

    @property
    def settings(self) -> RunSettings:
        return self.result.settings

    @property
    def markets(self) -> Dict[str, str]:
        return {entry["code"]: entry["market"] for entry in self.instruments}

    def trading_day(self, desk: Desk) -> Optional[dt.date]:
        """The trading day of the latest tick `desk` has handed on, None before the first: the
        day a progress display shows."""
        now = desk.now()
        return None if now is None else self.settings.market.trading_day_of(now)

    def desk(self, kind: Type[AnyDesk], **options: Any) -> AnyDesk:
        """The run's desk of `kind`, with the engine's own `options`."""
        return kind(
            self.matcher,
            self.markets,
            self.strategy,
            self.result,
            self.account,
            self.rules,
            fills=self.fills,
            latency=self.settings.latency_ms / 1000,
            **options,
        )


def hook_of(strategy: Strategy, name: str) -> Optional[Callable[..., object]]:
    """The strategy's bound hook, None where it keeps the base class's (which does nothing)."""
    overridden = getattr(type(strategy), name) is not getattr(Strategy, name)
    return getattr(strategy, name) if overridden else None


def tick_road(run: Run, desk: Desk, progress: Optional[Callable[[int], object]]) -> Any:
    """The run's road of a tick, through its matcher (or fill model), desk, account, rules and
    strategy, made known to the desk; `progress(ticks done)` is called every few thousand
    ticks."""
    settings, strategy = run.settings, run.strategy
    replay = core.replay()
    seconds = bar_seconds(strategy)
    calendar = settings.market
    road = replay.TickRoad(
        set_current_tick=run.matcher.set_current_tick,
        match_deal=run.matcher.match_deal,
        reports=desk.responses.queue,
        take_reports=desk.take_reports,
        owed=desk.owed,
        deliver=desk.deliver,
        current=desk.current,
        watched=run.account.watched,
        before_match=desk.before_match,
        after_match=desk.after_match,
        warm_up=hook_of(strategy, "warm_up"),
        on_tick=hook_of(strategy, "on_tick"),
        sample=run.result.sample,
        equity_every=settings.equity_every,
        trading_day_of=calendar.trading_day_of,
        day_rollover=calendar.day_rollover_seconds,
        pass_closes=desk.due,
        bars=replay.BarBuilder(seconds, session_spans(calendar)) if seconds else None,
        on_bar=strategy.on_bar,
        progress=progress,
        cursor=desk.quotes.cursor,
        fills=run.fills,
    )
    desk.road = road
    return road
