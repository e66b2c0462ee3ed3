"""What a run's fills owe to its fill model: the same run under "touch" fills beside it (the
exchange's own matching, which fills a resting order at any trade that reaches it), per code
and per order kind."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Mapping, NamedTuple, Optional, Tuple

from quorvel.backtest.results.evaluation import Evaluation
from quorvel.backtest.results.result import BacktestResult

# What names a figure's twin under touch fills in the files and the sweep's rows.
TOUCH = "touch_"


class Compared(NamedTuple):
    """A figure under the run's fill model and under touch fills."""

    model: float
    touch: float

    @property
    def optimism(self) -> float:
        """What touch fills add."""
        return self.touch - self.model


@dataclass(frozen=True)
class FillComparison:
    """Fills and net P&L (NTD) of each code, and orders filled of each kind, under both."""

    fill_model: str
    fills: Dict[str, Compared]
    net_pnl: Dict[str, Compared]
    orders_filled: Dict[Tuple[str, str], Compared]  # filled at least in part, by kind

    @property
    def total_fills(self) -> Compared:
        return _sum(self.fills.values())

    @property
    def total_net_pnl(self) -> Compared:
        return _sum(self.net_pnl.values())

    def as_dict(self) -> Dict[str, Any]:
        """As summary.json holds it: each figure and its "touch_" twin."""

        def pair(fills: Compared, net: Compared) -> Dict[str, float]:
            return {
                "fills": fills.model,
                TOUCH + "fills": fills.touch,
                "net_pnl": net.model,
                TOUCH + "net_pnl": net.touch,
            }

        return {
            "fill_model": self.fill_model,
            "per_code": {code: pair(self.fills[code], self.net_pnl[code]) for code in self.fills},
            "total": pair(self.total_fills, self.total_net_pnl),
            "order_kinds": [
                {
                    "price_type": price_type,
                    "order_type": order_type,
                    "filled": filled.model,
                    TOUCH + "filled": filled.touch,
                }
                for (price_type, order_type), filled in self.orders_filled.items()
            ],
        }


def _sum(pairs: Any) -> Compared:
    listed = list(pairs)
    return Compared(sum(pair.model for pair in listed), sum(pair.touch for pair in listed))


def compare_fills(
    result: BacktestResult, evaluation: Optional[Evaluation] = None
) -> Optional[FillComparison]:
    """`result` beside its run under touch fills (`BacktestResult.touch`); None without one."""
    touch = result.touch
    if touch is None:
        return None
    evaluation = evaluation or result.evaluate()
    touch_evaluation = touch.evaluate()
    model_codes, touch_codes = result.per_code(), touch.per_code()
    model_kinds, touch_kinds = result.order_kinds(), touch.order_kinds()
    return FillComparison(
        fill_model=result.settings.fill_model,
        fills={
            code: Compared(row["fills"], touch_codes[code]["fills"])
            for code, row in model_codes.items()
        },
        net_pnl={
            code: Compared(figures.net, touch_evaluation.per_code[code].net)
            for code, figures in evaluation.per_code.items()
        },
        orders_filled={
            kind: Compared(_filled(model_kinds.get(kind)), _filled(touch_kinds.get(kind)))
            for kind in sorted({*model_kinds, *touch_kinds})
        },
    )


def _filled(counts: Optional[Mapping[str, int]]) -> int:
    """The orders of one kind (`BacktestResult.order_kinds`) filled at least in part."""
    return 0 if counts is None else counts["filled"] + counts["partly_filled"]
