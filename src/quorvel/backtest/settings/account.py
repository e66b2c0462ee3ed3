"""The account's rules: which stock account it is, its margin rates, and the futures margins.

Every figure is a setting with a Taiwan default, and each table names its source.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import math
from dataclasses import dataclass, field
from typing import Any, Dict, Literal, Mapping, Tuple

from quorvel import market
from quorvel.backtest.settings.costs import DayTrading
from quorvel.market.contracts import FUTURES_PRODUCTS, Contract

STOCK_ACCOUNTS = ("cash", "margin")
# What a fall below the futures' maintenance margin leads to: "broker", a margin call at the
# day's settlement due by the deadline, and intraday only a fall of the risk indicator;
# "immediate", the futures closed at market at once; "warn", a warning only.
MarginCallAction = Literal["broker", "immediate", "warn"]
MARGIN_CALL_ACTIONS: Tuple[MarginCallAction, ...] = ("broker", "immediate", "warn")


@dataclass(frozen=True)
class FuturesMargin:
    """The initial and maintenance margin of one futures contract, in NTD (for stock
    futures: in percent of the contract value)."""

    initial: float
    maintenance: float


@dataclass(frozen=True)
class MarginTable:
    """The futures exchange's margins of the TAIEX futures from the trading day after
    `effective` ("YYYY-MM-DD"; the exchange applies a change from the close of that day's
    regular session, so that the day's settlement already counts it) until the next table's."""

    effective: str
    margins: Mapping[str, FuturesMargin]
    source: str = ""


def _taiex_futures(effective: str, tx: Tuple[int, int], mtx: Tuple[int, int], tmf: Tuple[int, int]) -> MarginTable:
    """One of the futures exchange's tables (initial, maintenance of TX, MTX and TMF)."""
    margins = {"TXF": FuturesMargin(*tx), "MXF": FuturesMargin(*mtx), "TMF": FuturesMargin(*tmf)}
    source = f"TAIFEX, Index Futures and Options Margining, effective on {effective}"
    return MarginTable(effective, margins, f"{source} (https://www.taifex.com.tw/enl/eng5/indexMargining)")


# Every table whose initial and maintenance margins the exchange's own page gives; earlier days
# take the first of them (docs/account.md names the earlier figures found, and how to give them).
FUTURES_MARGIN_TABLES: Tuple[MarginTable, ...] = (
    _taiex_futures("2024-12-09", (322_000, 247_000), (80_500, 61_750), (16_100, 12_350)),
    _taiex_futures("2025-05-05", (256_000, 196_000), (64_000, 49_000), (12_800, 9_800)),
    _taiex_futures("2025-06-23", (357_000, 274_000), (89_250, 68_500), (17_850, 13_700)),
    _taiex_futures("2025-11-04", (338_000, 259_000), (84_500, 64_750), (16_900, 12_950)),
)
# Stock futures hold the futures price x the contract's shares x the rate of the stock's risk
# group; these are group 1's (https://www.taifex.com.tw/enl/eng5/marginReqSSF).
STOCK_FUTURES_MARGIN_PCT = FuturesMargin(13.5, 10.35)
# The day-trade margin: a position opened and closed in one session by an account that declares
# day trading holds this share of the initial margin (a broker's published rule, Capital
# Futures, "Margin": 50 % of the exchange's margin; the exchange's own text was not found).
DAY_TRADE_MARGIN_PCT = 50.0
# The broker's rules (Yuanta Futures, "Risk Control", the one broker found publishing them):
# a margin call made after the day's settlement, when the equity lies below the maintenance
# margin, is met by restoring the equity to the initial margin before 12:00 of the next
# business day; the futures are liquidated at once when the risk indicator (equity over the
# initial margin of the positions held) falls below 25 % during a session.
MARGIN_CALL_DUE = dt.time(12, 0)
RISK_INDICATOR_PCT = 25.0


@dataclass(frozen=True)
class AccountRules:
    """The account's settings; percentages are of the traded value.

    A futures contract's margins on a trading day are those of `futures_margins` (the user's,
    on every day) for its product, else of the last of `margin_tables` in force that day (the
    first table before its date).  With `day_trade` declared, a futures position opened in a
    session holds `day_trade_margin_pct` of the initial margin until the session closes.
    """

    stock_account: str = "cash"
    day_trade: bool = False
    margin_buy_pct: float = 40.0  # the buyer's own share of a margin purchase
    short_margin_pct: float = 90.0  # the deposit of a short sale
    futures_margins: Mapping[str, FuturesMargin] = field(default_factory=dict)
    margin_tables: Tuple[MarginTable, ...] = FUTURES_MARGIN_TABLES
    stock_futures_margin_pct: FuturesMargin = STOCK_FUTURES_MARGIN_PCT
    day_trade_margin_pct: float = DAY_TRADE_MARGIN_PCT
    margin_call: MarginCallAction = "broker"
    margin_call_due: dt.time = MARGIN_CALL_DUE
    risk_indicator_pct: float = RISK_INDICATOR_PCT

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
        if not self.margin_tables or list(self.margin_tables) != sorted(
            self.margin_tables, key=lambda table: table.effective
        ):
            raise ValueError("margin_tables: give at least one table, in the order of their dates")
        if not 0 < self.risk_indicator_pct < 100:
            raise ValueError("risk_indicator_pct must be more than 0 and less than 100")
        for name in ("margin_buy_pct", "short_margin_pct", "day_trade_margin_pct"):
            if not 0 < getattr(self, name) <= 100:
                raise ValueError(f"{name} must be more than 0 and at most 100")
        for product in self.futures_margins:
            if product not in FUTURES_PRODUCTS:
                raise ValueError(
                    f"unknown futures product {product!r}; known products: "
                    f"{', '.join(FUTURES_PRODUCTS)}"
                )
        margins = [
            *self.futures_margins.items(),
            ("stock futures", self.stock_futures_margin_pct),
            *(item for table in self.margin_tables for item in table.margins.items()),
        ]
        for product, margin in margins:
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

    def margin_table(self, day: dt.date) -> MarginTable:
        """The margin table in force on trading day `day`: the last one effective before it
        (the first one before its date)."""
        text = day.isoformat()
        in_force = self.margin_tables[0]
        for table in self.margin_tables:
            if table.effective < text:
                in_force = table
        return in_force

    def futures_margin(
        self, contract: Contract, price: float, rules: market.MarketRules, day: dt.date
    ) -> FuturesMargin:
        """The margins of one contract of `contract` at `price` on trading day `day`, in NTD,
        the contract's kind told by `rules`."""
        product = contract.code[:3]
        margin = self.futures_margins.get(product) or self.margin_table(day).margins.get(product)
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

    def check(
        self, contracts: Mapping[str, Contract], rules: market.MarketRules, day: dt.date
    ) -> None:
        """`ValueError` for a futures contract among `contracts` without a margin on `day`."""
        for contract in contracts.values():
            if not contract.is_stock:
                self.futures_margin(contract, 0.0, rules, day)

    def as_dict(self) -> Dict[str, Any]:
        settings = dataclasses.asdict(self)
        settings["margin_tables"] = [table.effective for table in self.margin_tables]
        settings["margin_call_due"] = self.margin_call_due.isoformat("minutes")
        return settings
