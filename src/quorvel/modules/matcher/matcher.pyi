"""Simulated exchange: order intake, pending-order book, tick matching and reports."""

import queue
from typing import Any, Dict, List, Optional

from quorvel.constant import OperationType, SuccessCode
from quorvel.modules.positions.positions import Positions

# An order record of the book, an order or deal report, or a tick: plain dicts.
_Record = Dict[str, Any]

class Matcher:
    pending_orders: List[_Record]
    response_queue: queue.Queue[Optional[_Record]]
    pending_order_queue: queue.Queue[Any]
    current_tick_infos: Dict[str, Dict[str, Any]]
    positions: Positions
    account_info: Dict[str, Any]
    exchange_info: Dict[str, Any]
    def __init__(self, positions: Optional[Positions] = None) -> None:
        """Create the book and queues and start the daemon intake thread."""
    def __init_current_tick_info(self, code: str) -> Dict[str, Any]: ...
    def __get_random_uuid(self) -> str: ...
    def __receive_pending_order(self) -> None: ...
    def reset_tick_infos(self) -> None: ...
    def set_current_tick(self, tick: dict) -> None:
        """Record `tick` as its code's latest tick and pass it to `positions`."""
    def add_order(
        self,
        code: str,
        product_type: str,
        action: str,
        price: float,
        qty: int,
        price_type: str,
        order_type: str,
        order_cond: str = "Cash",
        order_lot: str = "Common",
        oc_type: str = "Auto",
    ) -> None:
        """Enter an order into the book; its trade id arrives in the "New" report."""
    def modify_order(
        self, trade_id: str, qty: Optional[int] = None, price: Optional[float] = None
    ) -> None:
        """Take `qty` off the order and/or change its price."""
    def cancel_order(self, trade_id: str) -> None: ...
    def match_deal(self, code: str, tick_close: float, tick_qty: int, tick_ts: float) -> None:
        """Fill or expire the pending orders of `code` against one tick."""
    def build_order_response(
        self, trade: dict, operation_type: OperationType, code_obj: SuccessCode
    ) -> _Record: ...
    def build_deal_response(self, trade: dict) -> _Record: ...
    def get_simulation_stock_order_response(self, data: Dict[str, Any]) -> Dict[str, Any]: ...
    def get_simulation_future_order_response(self, data: Dict[str, Any]) -> Dict[str, Any]: ...
    def get_simulation_stock_deal_response(self, data: Dict[str, Any]) -> Dict[str, Any]: ...
    def get_simulation_future_deal_response(self, data: Dict[str, Any]) -> Dict[str, Any]: ...
    def pop_response(self) -> Optional[Dict[str, Any]]:
        """Take the next report, waiting without limit while the queue is empty."""
    def add_pending_order_queue(self, action: str, payload: Dict[str, Any]) -> None:
        """Post "add", "modify" or "cancel" with its arguments to the intake thread."""
    def add_response_to_queue(self, response: Dict[str, Any]) -> None: ...
    def close(self, timeout: float = 5.0) -> bool:
        """Stop the intake thread once the operations posted before are carried out; wait up to
        `timeout` seconds for it to end and return whether it did.  The matcher is not kept
        alive by a stopped thread.  Closing again returns True at once."""
