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
# Securities Transaction Tax Act, Article 2: 0.3 % of a share's price, 0.1 % of a beneficial
# certificate's (ETFs, ETNs, TDRs; the ETNs' rate is not found and taken as the ETFs');
# Article 2-2: 0.15 % on the sell of a stock's current-day trade (ETFs: no reduced rate), from
# 2017-04-28, extended through 2027-12-31; Article 2-1: bond ETFs (not leveraged or inverse
# ones) and securitisation certificates such as REITs exempt through 2026-12-31 (bond ETFs from
# 2017-01-01).
DAY_TRADE_TAX_DATES = ("2017-04-28", "2027-12-31")
# National Health Insurance Administration: the supplementary premium on dividends, 2.11 % from
# 2021-01-01, on a single payment above 20,000 NTD up to 10 million, withheld by the payer
# (earlier rates, 2 % and 1.91 %, are not applied: their dates were not found).
DIVIDEND_PREMIUM_PCT = 2.11
FUND_SELL_TAX_PCT = 0.1
BOND_FUND_EXEMPTION_DATES = ("2017-01-01", "2026-12-31")


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
    # The days (first, last) a current-day trade pays the reduced rate; before and after, the
    # full one.
    day_trade_tax_dates: Tuple[str, str] = DAY_TRADE_TAX_DATES
    # Beneficial certificates (ETFs, ETNs, REITs), and bond ETFs in their exemption's days.
    fund_sell_tax_pct: float = FUND_SELL_TAX_PCT
    bond_fund_sell_tax_pct: float = 0.0
    bond_fund_exemption_dates: Tuple[str, str] = BOND_FUND_EXEMPTION_DATES
    # The health insurance's supplementary premium, withheld from each dividend payment above
    # the threshold (up to the cap), from its first day on.
    dividend_premium_pct: float = DIVIDEND_PREMIUM_PCT
    dividend_premium_threshold: float = 20_000.0
    dividend_premium_cap: float = 10_000_000.0
    dividend_premium_from: str = "2021-01-01"

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
        self,
        value: float,
        is_sell: bool,
        day_trade_value: float = 0.0,
        tax_class: str = "stock",
        day: str = "",
    ) -> Tuple[float, float]:
        """(commission, tax) of a fill of `value` NTD of a listed security of `tax_class`
        ("stock", "fund" or "bond fund") on `day` ("YYYY-MM-DD"; empty: a day the reduced
        rates are in force), of which a stock sell's `day_trade_value` pays the day-trade rate."""
        commission = value * self.stock_commission_pct / 100 * self.stock_commission_discount
        commission = max(_round_down(commission), self.stock_min_commission)
        if not is_sell:
            return commission, 0.0
        if tax_class == "stock":
            first, last = self.day_trade_tax_dates
            reduced = not day or first <= day <= last
            day_rate = self.stock_day_trade_tax_pct if reduced else self.stock_sell_tax_pct
            tax = (value - day_trade_value) * self.stock_sell_tax_pct / 100
            tax += day_trade_value * day_rate / 100
        else:
            first, last = self.bond_fund_exemption_dates
            exempt = tax_class == "bond fund" and (not day or first <= day <= last)
            rate = self.bond_fund_sell_tax_pct if exempt else self.fund_sell_tax_pct
            tax = value * rate / 100
        return commission, _round_down(tax)

    def dividend_premium(self, amount: float, day: str) -> float:
        """The supplementary premium withheld from a dividend payment of `amount` NTD on `day`
        ("YYYY-MM-DD"): nothing at or below the threshold or before its first day."""
        if amount <= self.dividend_premium_threshold or day < self.dividend_premium_from:
            return 0.0
        return _round_half_up(min(amount, self.dividend_premium_cap) * self.dividend_premium_pct / 100)

    def futures_costs(self, product: str, value: float, contracts: int) -> Tuple[float, float]:
        """(fee, tax) of a futures fill of `contracts` contracts of `product` worth `value` NTD."""
        return self.fee_of(product) * contracts, self.futures_tax(value)

    def futures_tax(self, value: float) -> float:
        """The futures transaction tax on `value` NTD of contracts."""
        return _round_half_up(value * self.futures_tax_pct / 100)

    def as_dict(self) -> Dict[str, Any]:
        """The figures as the files record them (JSON values: date ranges as lists)."""
        return {
            name: list(value) if isinstance(value, tuple) else value
            for name, value in asdict(self).items()
        }


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
