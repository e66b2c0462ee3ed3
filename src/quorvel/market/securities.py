"""The classes of listed securities whose rules differ: stocks, ETFs (domestic, foreign-index,
leveraged or inverse, bond), ETNs and REITs.

A code's class comes from, in order: the user's table (`MarketRules.securities`), the table of
known codes shipped here (`KNOWN_SECURITIES`), and the shapes of codes that tell the class
reliably (`class_by_shape`).  A code that none of them knows is taken as a stock, and said so
(`MarketRules.unknown_securities`).
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import Mapping, Optional

__all__ = [
    "BOND_ETF",
    "ETF",
    "ETN",
    "FOREIGN_ETF",
    "KNOWN_SECURITIES",
    "REIT",
    "STOCK",
    "SecurityClass",
    "class_by_shape",
    "leveraged_etf",
]


@dataclass(frozen=True)
class SecurityClass:
    """What sets a class of securities apart: its price ladder (`etf_steps`: the ETFs', else
    the stocks'), its daily limit as a multiple of the market's (None: no limit), and its
    securities transaction tax (`tax`: "stock", "fund" or "bond fund", the rates of
    `quorvel.backtest.settings.costs.CostModel`)."""

    name: str
    etf_steps: bool = False
    limit_multiple: Optional[float] = 1.0
    tax: str = "stock"


STOCK = SecurityClass("stock")
ETF = SecurityClass("ETF", etf_steps=True, tax="fund")
BOND_ETF = SecurityClass("bond ETF", etf_steps=True, tax="bond fund")
# ETFs tracking foreign indices have no daily price limit.
FOREIGN_ETF = SecurityClass("foreign-index ETF", etf_steps=True, limit_multiple=None, tax="fund")
ETN = SecurityClass("ETN", etf_steps=True, tax="fund")
REIT = SecurityClass("REIT", etf_steps=True, tax="bond fund")


def leveraged_etf(multiple: float, foreign: bool = False) -> SecurityClass:
    """A leveraged (or, `multiple` negative, inverse) ETF: its limit is the market's times the
    size of its multiple; one of a `foreign` index has none, as other foreign-index ETFs."""
    kind = "leveraged" if multiple > 0 else "inverse"
    return SecurityClass(
        f"{'foreign-index ' if foreign else ''}{kind} ETF x{abs(multiple):g}",
        etf_steps=True,
        limit_multiple=None if foreign else abs(multiple),
        tax="fund",
    )


KNOWN_SECURITIES: Mapping[str, SecurityClass] = {
    "0050": ETF,
    "0056": ETF,
    "006208": ETF,
    "00878": ETF,
    "00919": ETF,
    "00929": ETF,
    "00631L": leveraged_etf(2),
    "00632R": leveraged_etf(-1),
    "00633L": leveraged_etf(2, foreign=True),  # of the SSE 180 index
    "00675L": leveraged_etf(2),
    "00676R": leveraged_etf(-1),
    "00646": FOREIGN_ETF,
    "00662": FOREIGN_ETF,
    "00757": FOREIGN_ETF,
    "00679B": BOND_ETF,
    "00687B": BOND_ETF,
    "00720B": BOND_ETF,
    "00937B": BOND_ETF,
}

_STOCK_SHAPE = re.compile(r"^[1-9]\d{3}$")
_ETF_SHAPE = re.compile(r"^00\d{2,4}$")
_BOND_ETF_SHAPE = re.compile(r"^00\d{3,4}B$")
_LEVERAGED_SHAPE = re.compile(r"^00\d{3,4}L$")
_INVERSE_SHAPE = re.compile(r"^00\d{3,4}R$")
_ETN_SHAPE = re.compile(r"^02\d{4}$")
_REIT_SHAPE = re.compile(r"^01\d{3}T$")


def class_by_shape(code: str) -> Optional[SecurityClass]:
    """The class a code's shape tells: four digits not starting with 0 a stock, "00" and digits
    an ETF, with "B" a bond ETF, with "L" a leveraged (x2) and with "R" an inverse (x1) ETF,
    "02" and four digits an ETN, "01", three digits and "T" a REIT; None for another shape."""
    for shape, found in (
        (_STOCK_SHAPE, STOCK),
        (_ETF_SHAPE, ETF),
        (_BOND_ETF_SHAPE, BOND_ETF),
        (_LEVERAGED_SHAPE, leveraged_etf(2)),
        (_INVERSE_SHAPE, leveraged_etf(-1)),
        (_ETN_SHAPE, ETN),
        (_REIT_SHAPE, REIT),
    ):
        if shape.match(code):
            return found
    return None
