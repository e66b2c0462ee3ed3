"""Trading costs of a fill: the broker's fee and the transaction tax, in whole NTD.

Stocks pay a commission on the traded value of each side, times the broker's
discount factor and at least a minimum per fill, and the securities
transaction tax on the sell side; brokers round both down to whole NTD.
Futures pay a fee per contract and side and the futures transaction tax on
the contract value of each side, rounded to the nearest NTD.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass
from typing import Dict, Tuple


@dataclass(frozen=True)
class CostModel:
    """The cost figures; rates are in percent of the traded value."""

    stock_commission_pct: float = 0.1425
    stock_commission_discount: float = 1.0
    stock_min_commission: float = 20.0
    stock_sell_tax_pct: float = 0.3
    futures_fee: float = 50.0
    futures_tax_pct: float = 0.002

    def stock_costs(self, value: float, is_sell: bool) -> Tuple[float, float]:
        """(commission, tax) of a stock fill of `value` NTD."""
        commission = value * self.stock_commission_pct / 100 * self.stock_commission_discount
        commission = max(_round_down(commission), self.stock_min_commission)
        tax = _round_down(value * self.stock_sell_tax_pct / 100) if is_sell else 0.0
        return commission, tax

    def futures_costs(self, value: float, contracts: int) -> Tuple[float, float]:
        """(fee, tax) of a futures fill of `contracts` contracts worth `value` NTD."""
        return self.futures_fee * contracts, _round_half_up(value * self.futures_tax_pct / 100)

    def as_dict(self) -> Dict[str, float]:
        return asdict(self)


# Amounts are rounded to a millionth first, so that a product such as
# 200,000 x 0.003 that lands a hair below a whole NTD is not cut by one.
def _round_down(amount: float) -> float:
    return float(math.floor(round(amount, 6)))


def _round_half_up(amount: float) -> float:
    return float(math.floor(round(amount, 6) + 0.5))
