"""Trading costs of a fill: the broker's fee and the transaction tax, in whole NTD.

Stocks pay a commission on the traded value of each side, times the broker's
discount factor and at least a minimum per fill, and the securities
transaction tax on the sell side, at a reduced rate for the part of a sell
that is a day trade (`quorvel.backtest.account.ledger.DayTrades`); brokers round both down to whole NTD.
Futures pay a fee per contract and side, by product, and the futures
transaction tax on the contract value of each side, rounded to the nearest
NTD; a position held to its month's end is settled without a fee, and pays
the tax on its value at the final settlement price.
"""

from __future__ import annotations

import math
from dataclasses import asdict, dataclass, field
from typing import Any, Dict, Mapping, Optional, Tuple

# The fee per contract and side of each futures product, in NTD: the futures exchange's
# transaction and clearing fees (TAIFEX, "Futures and Options Fee Schedule": TX 12 + 8, MTX
# 7.5 + 5, TMF 4.8 + 3.2, stock futures 3 + 2).  The broker's commission comes on top; it is
# agreed with each customer and no broker publishes it, so it is the user's to add.
FUTURES_FEES: Mapping[str, float] = {"TXF": 20.0, "MXF": 12.5, "TMF": 8.0}
STOCK_FUTURES_FEE = 5.0


@dataclass(frozen=True)
class CostModel:
    """The cost figures; rates are in percent of the traded value."""

    stock_commission_pct: float = 0.1425
    stock_commission_discount: float = 1.0
    stock_min_commission: float = 20.0
    stock_sell_tax_pct: float = 0.3
    futures_fee: Optional[float] = None  # one fee for every futures product, when given
    futures_tax_pct: float = 0.002
    # The reduced rate of a current-day trade, in force through 2027-12-31.
    stock_day_trade_tax_pct: float = 0.15
    futures_fees: Mapping[str, float] = field(default_factory=lambda: dict(FUTURES_FEES))
    stock_futures_fee: float = STOCK_FUTURES_FEE

    def __post_init__(self) -> None:
        fees = {**self.futures_fees, "stock futures": self.stock_futures_fee}
        if self.futures_fee is not None:
            fees["every product"] = self.futures_fee
        for product, fee in fees.items():
            if isinstance(fee, bool) or not isinstance(fee, (int, float)) or not 0 <= fee < math.inf:
                raise ValueError(f"{product}: a futures fee is a finite number of NTD, not {fee!r}")

    def fee_of(self, product: str) -> float:
        """The fee per contract and side of a futures `product` (TXF, MXF, ...): the one fee
        when given, else the product's own; a product without one is a stock future's."""
        if self.futures_fee is not None:
            return self.futures_fee
        return self.futures_fees.get(product, self.stock_futures_fee)

    def stock_costs(
        self, value: float, is_sell: bool, day_trade_value: float = 0.0
    ) -> Tuple[float, float]:
        """(commission, tax) of a stock fill of `value` NTD, of which a sell's
        `day_trade_value` pays the day-trade rate."""
        commission = value * self.stock_commission_pct / 100 * self.stock_commission_discount
        commission = max(_round_down(commission), self.stock_min_commission)
        if not is_sell:
            return commission, 0.0
        tax = (value - day_trade_value) * self.stock_sell_tax_pct / 100
        tax += day_trade_value * self.stock_day_trade_tax_pct / 100
        return commission, _round_down(tax)

    def futures_costs(self, product: str, value: float, contracts: int) -> Tuple[float, float]:
        """(fee, tax) of a futures fill of `contracts` contracts of `product` worth `value` NTD."""
        return self.fee_of(product) * contracts, self.futures_tax(value)

    def futures_tax(self, value: float) -> float:
        """The futures transaction tax on `value` NTD of contracts."""
        return _round_half_up(value * self.futures_tax_pct / 100)

    def as_dict(self) -> Dict[str, Any]:
        return asdict(self)


# Amounts are rounded to a millionth first, so that a product such as
# 200,000 x 0.003 that lands a hair below a whole NTD is not cut by one.
def _round_down(amount: float) -> float:
    return float(math.floor(round(amount, 6)))


def _round_half_up(amount: float) -> float:
    return float(math.floor(round(amount, 6) + 0.5))


@dataclass(frozen=True)
class DayTrading:
    """Which stock trades count as current-day trades (and pay the day-trade tax).

    `enabled`: same-day round trips do (a cash account's; a margin account's
    trades are margin trades and do not); `sell_first`: a sale beyond the
    shares held is a sell-first day trade (a cash account allowed to day-trade,
    whose short sale must be bought back the same day).  By default none do.
    """

    enabled: bool = False
    sell_first: bool = False
