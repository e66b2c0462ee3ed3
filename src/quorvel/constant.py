"""Enumerations and process-wide settings shared by the quorvel modules.

The enumeration values are the strings the broker API's users already know
("Buy", "ROD", "LMT", ...), so a member can be handed wherever such a string
is expected and compares equal to it.
"""

from __future__ import annotations

import os
from enum import Enum
from typing import Any


class ValueEnum(str, Enum):
    """Base of the string enumerations: members are str and equal their value.

    ``str()`` and ``format()`` give the bare value on every supported Python
    version (plain ``(str, Enum)`` mixins changed this in 3.11).
    """

    __str__ = str.__str__

    # Not str.__format__ itself: its format_spec is positional-only, Enum's is not.
    def __format__(self, format_spec: str) -> str:
        return str.__format__(self, format_spec)

    @classmethod
    def from_value(cls, value: Any):
        """Return the member whose value is *value*; a member is returned as is."""
        try:
            return cls(value)
        except ValueError:
            allowed = ", ".join(repr(member.value) for member in cls)
            raise ValueError(
                f"{cls.__name__} has no member with value {value!r} "
                f"(expected one of {allowed})"
            ) from None


class Action(ValueEnum):
    """Side of an order."""

    BUY = "Buy"
    SELL = "Sell"


class OperationType(ValueEnum):
    """What an order report tells about its order."""

    NEW = "New"
    UPDATE_QTY = "UpdateQty"
    UPDATE_PRICE = "UpdatePrice"
    CANCEL = "Cancel"


class OrderType(ValueEnum):
    """Time in force: rest of day, immediate or cancel, fill or kill."""

    ROD = "ROD"
    IOC = "IOC"
    FOK = "FOK"


class OrderCond(ValueEnum):
    """Stock order condition: cash, margin purchase or short sale."""

    CASH = "Cash"
    MARGIN_TRADING = "MarginTrading"
    SHORT_SELLING = "ShortSelling"


class OrderLot(ValueEnum):
    """Stock trading lot."""

    COMMON = "Common"
    FIXING = "Fixing"
    ODD = "Odd"
    INTRADAY_ODD = "IntradayOdd"


class PriceType(ValueEnum):
    """Limit, market, or market with protection."""

    LMT = "LMT"
    MKT = "MKT"
    MKP = "MKP"


class OCType(ValueEnum):
    """Futures open/close type."""

    AUTO = "Auto"
    NEW = "New"
    COVER = "Cover"
    DAY_TRADE = "DayTrade"


class FLAG(ValueEnum):
    """Status values a tick feed sends under the key "darq_status"."""

    exit_send_tick = "ExitSendTick"
    finish_backfilling = "FinishBackfilling"


class SuccessCode(Enum):
    """Status code and message carried by the order reports of each operation."""

    CreateOrder = ("0001", "委託成功")
    ModifyOrder = ("0002", "改單成功")
    OrderBeCancel = ("0003", "刪單成功")

    def __init__(self, code: str, message: str) -> None:
        self.code = code
        self.message = message


class BasicInfo:
    """Settings read by every module at the moment of use.

    Assigning an attribute of the shared instance ``BASIC_INFO`` changes it for
    the whole process.  ``data_dir`` is stored as a str with "~" expanded, so a
    ``pathlib.Path`` may be assigned too.
    """

    def __init__(self, data_dir: str | os.PathLike[str] = "~/quorvel/data") -> None:
        self.data_dir = data_dir

    @property
    def data_dir(self) -> str:
        """Root of everything written to disk: tick cache, logs."""
        return self._data_dir

    @data_dir.setter
    def data_dir(self, path: str | os.PathLike[str]) -> None:
        self._data_dir = os.path.expanduser(os.fspath(path))


BASIC_INFO = BasicInfo()
