"""Contract specifications: what one unit of quantity at one unit of price is worth in NTD.

The figures are data, kept in the tables below.  A stock's quantity counts
lots, whose size the fill's order lot gives; its price is in NTD per share.
A futures contract's code starts with its product (``TXFA4``, ``TXFR1``,
``CDFR1``: ``TXF``, ``CDF``); its price is in index points (index futures)
or NTD per share (stock futures).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Mapping, Optional

from quorvel.constant import OrderLot

STOCK = "Stock"
FUTURE = "Future"

# Shares in one lot of each order lot.
STOCK_LOT_SHARES: Mapping[str, int] = {
    OrderLot.COMMON.value: 1000,
    OrderLot.FIXING.value: 1000,
    OrderLot.ODD.value: 1,
    OrderLot.INTRADAY_ODD.value: 1,
}

STOCK_FUTURES_SHARES = 2000


@dataclass(frozen=True)
class FuturesProduct:
    """A futures product: its name and the NTD value of one price unit of one contract."""

    name: str
    multiplier: int


FUTURES_PRODUCTS: Mapping[str, FuturesProduct] = {
    "TXF": FuturesProduct("TAIEX futures", 200),
    "MXF": FuturesProduct("Mini-TAIEX futures", 50),
    "TMF": FuturesProduct("Micro TAIEX futures", 10),
    "CDF": FuturesProduct("TSMC stock futures", STOCK_FUTURES_SHARES),
    "DHF": FuturesProduct("Hon Hai stock futures", STOCK_FUTURES_SHARES),
}

PRODUCT_CODE_LENGTH = 3


class ContractError(ValueError):
    """A code whose contract size is not known."""


@dataclass(frozen=True)
class Contract:
    """How a code's fills are valued.

    ``multiplier`` is the NTD value of one price unit of one lot or contract;
    for stocks it is None, as it depends on each fill's order lot
    (`units_per_lot`).
    """

    code: str
    market: str
    multiplier: Optional[int]
    tax_class: str = "stock"  # a listed security's (`quorvel.market.securities.SecurityClass.tax`)

    @property
    def is_stock(self) -> bool:
        return self.market == STOCK

    def value_per_point(self, order_lot: Optional[str]) -> int:
        """NTD of one price unit of one lot (stocks: of the given order lot) or contract."""
        if self.multiplier is not None:
            return self.multiplier
        try:
            return STOCK_LOT_SHARES[str(order_lot)]
        except KeyError:
            raise ContractError(
                f"{self.code}: unknown order lot {order_lot!r} "
                f"(expected one of {', '.join(STOCK_LOT_SHARES)})"
            ) from None


def contract_for(code: str, market: str, tax_class: str = "stock") -> Contract:
    """The contract of `code` on `market` ("Stock" or "Future"), a listed one of `tax_class`.

    Raises `ContractError` for a futures code whose product is not in
    `FUTURES_PRODUCTS`, rather than valuing it at a guessed size.
    """
    if market == STOCK:
        return Contract(code, market, None, tax_class)
    if market != FUTURE:
        raise ContractError(f"{code}: unknown market {market!r} (expected {STOCK!r} or {FUTURE!r})")
    product = FUTURES_PRODUCTS.get(code[:PRODUCT_CODE_LENGTH])
    if product is None:
        raise ContractError(
            f"{code}: unknown futures product {code[:PRODUCT_CODE_LENGTH]!r}; "
            f"known products: {', '.join(FUTURES_PRODUCTS)}"
        )
    return Contract(code, market, product.multiplier)
