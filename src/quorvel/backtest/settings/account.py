"""The account's rules: which stock account it is, its margin rates, and the futures margins.

Every figure is a setting with a Taiwan default, and each table names its source.
"""

from __future__ import annotations

import dataclasses
import math
from dataclasses import dataclass, field
from typing import Any, Dict, Literal, Mapping, Tuple

from quorvel import market
from quorvel.backtest.settings.costs import DayTrading
from quorvel.market.contracts import Contract

STOCK_ACCOUNTS = ("cash", "margin")
# What a margin call does: close the futures at market, or only warn.
MarginCallAction = Literal["liquidate", "warn"]
MARGIN_CALL_ACTIONS: Tuple[MarginCallAction, ...] = ("liquidate", "warn")


@dataclass(frozen=True)
class FuturesMargin:
    """The initial and maintenance margin of one futures contract, in NTD (for stock
    futures: in percent of the contract value)."""

    initial: float
    maintenance: float


# TAIFEX's margins of the TAIEX futures, effective 2025-11-04
# (https://www.taifex.com.tw/enl/eng5/indexMargining).
FUTURES_MARGINS_AS_OF = "2025-11-04"
FUTURES_MARGINS: Mapping[str, FuturesMargin] = {
    "TXF": FuturesMargin(338_000, 259_000),
    "MXF": FuturesMargin(84_500, 64_750),
    "TMF": FuturesMargin(16_900, 12_950),
}
# Stock futures hold the futures price x the contract's shares x the rate of the stock's risk
# group; these are group 1's (https://www.taifex.com.tw/enl/eng5/marginReqSSF).
STOCK_FUTURES_MARGIN_PCT = FuturesMargin(13.5, 10.35)


@dataclass(frozen=True)
class AccountRules:
    """The account's settings; percentages are of the traded value."""

    stock_account: str = "cash"
    day_trade: bool = False
    margin_buy_pct: float = 40.0  # the buyer's own share of a margin purchase
    short_margin_pct: float = 90.0  # the deposit of a short sale
    futures_margins: Mapping[str, FuturesMargin] = field(
        default_factory=lambda: dict(FUTURES_MARGINS)
    )
    stock_futures_margin_pct: FuturesMargin = STOCK_FUTURES_MARGIN_PCT
    margin_call: MarginCallAction = "liquidate"

    def __post_init__(self) -> None:
        if self.stock_account not in STOCK_ACCOUNTS:
            raise ValueError(
                f"stock_account must be one of {', '.join(STOCK_ACCOUNTS)}, "
                f"not {self.stock_account!r}"
            )
        if self.margin_call not in MARGIN_CALL_ACTIONS:
            raise ValueError(
                f"margin_call must be one of {', '.join(MARGIN_CALL_ACTIONS)}, "
                f"not {self.margin_call!r}"
            )
        for name in ("margin_buy_pct", "short_margin_pct"):
            if not 0 < getattr(self, name) <= 100:
                raise ValueError(f"{name} must be more than 0 and at most 100")
        margins = {**self.futures_margins, "stock futures": self.stock_futures_margin_pct}
        for product, margin in margins.items():
            if not 0 <= margin.maintenance <= margin.initial < math.inf:
                raise ValueError(
                    f"{product}: a margin needs 0 <= maintenance <= initial, "
                    f"not {margin.initial:g}/{margin.maintenance:g}"
                )

    @property
    def is_margin_account(self) -> bool:
        return self.stock_account == "margin"

    def day_trading(self, enforced: bool) -> DayTrading:
        """Which stock trades are current-day trades: a cash account's; a sale beyond the
        shares held only where it must be bought back the same day."""
        cash = not self.is_margin_account
        return DayTrading(enabled=cash, sell_first=cash and self.day_trade and enforced)

    def futures_margin(
        self, contract: Contract, price: float, rules: market.MarketRules
    ) -> FuturesMargin:
        """The margins of one contract of `contract` at `price`, in NTD, the contract's kind
        told by `rules`."""
        product = contract.code[:3]
        margin = self.futures_margins.get(product)
        if margin is not None:
            return margin
        if rules.kind(contract.code) != market.Kind.STOCK_FUTURE:
            raise ValueError(
                f"{contract.code}: no margin is known for futures product {product!r}; "
                f"give it with --futures-margin {product}=INITIAL/MAINTENANCE"
            )
        value = price * contract.value_per_point(None) / 100
        rates = self.stock_futures_margin_pct
        return FuturesMargin(value * rates.initial, value * rates.maintenance)

    def check(self, contracts: Mapping[str, Contract], rules: market.MarketRules) -> None:
        """`ValueError` for a futures contract among `contracts` without a margin."""
        for contract in contracts.values():
            if not contract.is_stock:
                self.futures_margin(contract, 0.0, rules)

    def as_dict(self) -> Dict[str, Any]:
        return {**dataclasses.asdict(self), "futures_margins_as_of": FUTURES_MARGINS_AS_OF}
