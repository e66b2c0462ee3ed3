"""Simulated exchange: order intake, pending-order book, tick matching and reports."""

import queue
from typing import Any, Dict, List, Optional

from quorvel.constant import OperationType, SuccessCode
from quorvel.modules.positions.positions import Positions

class Matcher:
    pending_orders: List[Any]
    response_queue: queue.Queue[Any]
    pending_order_queue: queue.Queue[Any]
    current_tick_infos: Dict[str, Any]
    positions: Positions
    account_info: Dict[str, Any]
    exchange_info: Dict[str, Any]
    def __init__(self, positions: Optional[Positions] = None) -> None:
        """Matcher Module Constructor

        Args:
            positions (Positions, optional): Positions Module. Defaults to None."""
    def __init_current_tick_info(self, code: str) -> Any:
        """初始化當前 Tick 資訊"""
    def __get_random_uuid(self) -> Any:
        """產生隨機的 UUID"""
    def __receive_pending_order(self) -> Any:
        """接收委託單"""
    def reset_tick_infos(self) -> Any:
        """重置當前 Tick 資訊"""
    def set_current_tick(self, tick: dict) -> Any:
        """設置當前的 Tick"""
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
    ) -> Any:
        """新增委託單到待成交列表"""
    def modify_order(
        self, trade_id: str, qty: Optional[int] = None, price: Optional[float] = None
    ) -> Any:
        """修改委託單的數量或價格
        1. 如果只提供數量，則修改數量"""
    def cancel_order(self, trade_id: str) -> Any:
        """取消委託單"""
    def match_deal(self, code: str, tick_close: float, tick_qty: int, tick_ts: float) -> Any:
        """模擬搓合"""
    def build_order_response(
        self, trade: dict, operation_type: OperationType, code_obj: SuccessCode
    ) -> Any:
        """建立委託回報

        Args:
            trade (dict): 委託單資料
            operation_type (OperationType): 操作類型
            code_obj (SuccessCode): 回報代碼

        Returns:
            Dict[str, Any]: 委託回報資料"""
    def build_deal_response(self, trade: dict) -> Any:
        """建立委託回報

        Args:
            trade (dict): 委託單資料

        Returns:
            Dict[str, Any]: 委託回報資料"""
    def get_simulation_stock_order_response(self, data: Dict[str, Any]) -> Dict[str, Any]:
        """建立模擬股票訂單的委託回報(比照 DARQ 下單模組委託回報格式)"""
    def get_simulation_future_order_response(self, data: Dict[str, Any]) -> Dict[str, Any]:
        """建立模擬期貨訂單的委託回報(比照 DARQ 下單模組委託回報格式)"""
    def get_simulation_stock_deal_response(self, data: Dict[str, Any]) -> Dict[str, Any]:
        """建立模擬股票訂單的成交回報(比照 DARQ 下單模組委託回報格式)"""
    def get_simulation_future_deal_response(self, data: Dict[str, Any]) -> Dict[str, Any]:
        """建立模擬期貨訂單的成交回報(比照 DARQ 下單模組委託回報格式)"""
    def pop_response(self) -> Dict[str, Any]:
        """從回報佇列中取出回報資料"""
    def add_pending_order_queue(self, action: str, payload: Dict[str, Any]) -> Any:
        """將委託單加入待成交佇列"""
    def add_response_to_queue(self, response: Dict[str, Any]) -> Any:
        """將回報資料加入回報佇列"""
    def close(self, timeout: float = 5.0) -> bool:
        """停止接收委託單的執行緒, 已送入的委託單先處理完畢"""
