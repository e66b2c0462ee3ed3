"""Plain-Python implementations of the matcher's and the tick feed's hot paths.

The benchmarks time the extension modules against these: the same calls, the
same lookups and the same dictionaries, written the way a Python developer
would write them, so that a ratio says what the native code gains over the
interpreter and not what it gains by doing less.  Only the paths the
benchmarks use are here (order entry, modification, cancellation, matching,
the reports, the report queue, the intake thread and the sending thread).
"""

from __future__ import annotations

import copy
import queue
import threading
import time
from typing import Any, Dict, Optional

from polars import DataFrame

from quorvel.constant import FLAG, Action, OperationType, OrderCond, OrderLot, OrderType, OCType
from quorvel.constant import PriceType, SuccessCode
from quorvel.utils import console, format_nano_ts_to_second_ts

__all__ = ["ReferenceMatcher", "ReferenceFeed"]


class ReferenceMatcher:
    """The matcher's order book, matching and reports in Python."""

    def __init__(self, positions: Any, trade_ids: Any) -> None:
        self.pending_orders: list = []
        self.response_queue: queue.Queue = queue.Queue()
        self.pending_order_queue: queue.Queue = queue.Queue()
        self.current_tick_infos: Dict[str, dict] = {}
        self.positions = positions
        self.account_info = {"account_id": "BT-00001"}
        self.exchange_info = {"name": "DARQ Backtest Exchange"}
        self._trade_ids = trade_ids
        threading.Thread(target=self._receive_pending_order, daemon=True).start()

    # --- intake ------------------------------------------------------------

    def add_pending_order_queue(self, action: str, payload: Dict[str, Any]) -> None:
        self.pending_order_queue.put({"action": action, "payload": payload})

    def _receive_pending_order(self) -> None:
        while True:
            item = self.pending_order_queue.get()
            action, payload = item["action"], item["payload"]
            if action == "add":
                self.add_order(**payload)
            elif action == "modify":
                self.modify_order(payload["trade_id"], payload.get("qty"), payload.get("price"))
            elif action == "cancel":
                self.cancel_order(payload["trade_id"])

    # --- orders ------------------------------------------------------------

    def add_order(self, code: str, product_type: str, action: str, price: float, qty: int,
                  price_type: str, order_type: str, order_cond: str = OrderCond.CASH.value,
                  order_lot: str = OrderLot.COMMON.value, oc_type: str = OCType.AUTO.value) -> None:
        record = {
            "operation_type": "New",
            "operation_code": SuccessCode.CreateOrder.code,
            "operation_message": SuccessCode.CreateOrder.message,
            "trade_id": self._trade_ids(),
            "account_id": self.account_info["account_id"],
            "code": code,
            "product_type": product_type,
            "action": Action.from_value(action),
            "price": float(price),
            "quantity": qty,
            "price_type": PriceType.from_value(price_type),
            "order_type": OrderType.from_value(order_type),
            "exchange_ts": self.current_tick_infos.get(code, {}).get("ts", None),
        }
        if product_type == "Stock":
            record["order_cond"] = OrderCond.from_value(order_cond)
            record["order_lot"] = OrderLot.from_value(order_lot)
        elif product_type == "Future":
            record["oc_type"] = OCType.from_value(oc_type)
        else:
            raise Exception("不支援的商品類型: " + product_type)
        self.pending_orders.append(record)
        try:
            report = self.build_order_response(record, OperationType.NEW, SuccessCode.CreateOrder)
            self.add_response_to_queue(report)
            console.print(f"[green]新增委託單 {record['trade_id']} 成功[/green]")
        except Exception as e:
            console.print(f"[red]發生錯誤: {e}[/red]")

    def _find_order(self, trade_id: str) -> Optional[dict]:
        for record in self.pending_orders:
            if record["trade_id"] == trade_id:
                return record
        return None

    def modify_order(self, trade_id: str, qty: Optional[int] = None,
                     price: Optional[float] = None) -> None:
        if not qty and not price:
            raise Exception("請至少提供數量或價格來修改委託單 " + trade_id)
        record = self._find_order(trade_id)
        if record is None:
            console.print(f"[red]委託單 {trade_id} 不存在[/red]")
            return
        if qty:
            if qty > record["quantity"]:
                raise Exception(f"修改的數量 {qty} 大於原本的數量 {record['quantity']}")
            record["quantity"] -= qty
            self.add_response_to_queue(
                self.build_order_response(record, OperationType.UPDATE_QTY, SuccessCode.ModifyOrder))
            console.print(f"[green]修改委託單 {trade_id} 數量成功, 修改數量 {qty}[/green]")
        if price:
            if price <= 0:
                raise Exception(f"修改的價格 {price} 必須大於 0")
            record["price"] = price
            self.add_response_to_queue(
                self.build_order_response(record, OperationType.UPDATE_PRICE, SuccessCode.ModifyOrder))
            console.print(f"[green]修改委託單 {trade_id} 價格成功, 修改價格 {price}[/green]")

    def cancel_order(self, trade_id: str) -> None:
        record = self._find_order(trade_id)
        if record is None:
            console.print(f"[red]委託單 {trade_id} 不存在[/red]")
            return
        self.pending_orders.remove(record)
        try:
            self.add_response_to_queue(
                self.build_order_response(record, OperationType.CANCEL, SuccessCode.OrderBeCancel))
            console.print(f"[green]取消委託單 {trade_id} 成功[/green]")
        except Exception as e:
            console.print(f"[red]{e}[/red]")

    # --- matching ----------------------------------------------------------

    def match_deal(self, code: str, tick_close: float, tick_qty: int, tick_ts: float) -> None:
        for record in self.pending_orders:
            if record["code"] != code:
                continue
            action, price = record["action"], record["price"]
            order_type, price_type = record["order_type"], record["price_type"]
            if tick_qty == 0:
                return
            price_match = qty_match = False
            deal_qty, deal_price, cancel_info = 0, None, {}
            if price_type == PriceType.LMT:
                if action == Action.BUY.value:
                    price_match = tick_close <= price
                else:
                    price_match = tick_close >= price
                if price_match:
                    deal_price = tick_close
            else:
                price_match, deal_price = True, tick_close
            if order_type == OrderType.ROD and price_match:
                qty_match = True
                deal_qty = min(tick_qty, record["quantity"])
                rest_qty = record["quantity"] - deal_qty
                record["quantity"] = rest_qty
                if rest_qty == 0:
                    self.pending_orders.remove(record)
            elif order_type == OrderType.IOC:
                rest_qty = record["quantity"]
                if price_match:
                    qty_match = True
                    deal_qty = min(tick_qty, record["quantity"])
                    rest_qty = record["quantity"] - deal_qty
                if rest_qty > 0:
                    trade = copy.deepcopy(record)
                    trade["quantity"] = rest_qty
                    trade["exchange_ts"] = float(tick_ts)
                    cancel_info = self.build_order_response(
                        trade, OperationType.CANCEL, SuccessCode.OrderBeCancel)
                self.pending_orders.remove(record)
            elif order_type == OrderType.FOK:
                if price_match:
                    qty_match = tick_qty >= record["quantity"]
                if qty_match:
                    deal_qty = record["quantity"]
                else:
                    trade = copy.deepcopy(record)
                    trade["exchange_ts"] = float(tick_ts)
                    cancel_info = self.build_order_response(
                        trade, OperationType.CANCEL, SuccessCode.OrderBeCancel)
                self.pending_orders.remove(record)
            if price_match and qty_match and deal_qty != 0:
                tick_qty -= deal_qty
                trade = copy.deepcopy(record)
                trade["quantity"] = deal_qty
                trade["price"] = deal_price
                trade["exchange_ts"] = float(tick_ts)
                self.positions.add_trade_record(
                    trade_id=trade["trade_id"], code=trade["code"], action=trade["action"],
                    quantity=trade["quantity"], price=trade["price"],
                    timestamp=trade["exchange_ts"], trade_status="Deal")
                self.add_response_to_queue(self.build_deal_response(trade))
                self.positions.set_positions(trade, trade["product_type"])
            if cancel_info:
                self.positions.add_trade_record(
                    trade_id=record["trade_id"], code=record["code"], action=record["action"],
                    quantity=cancel_info["order"]["quantity"], price=cancel_info["order"]["price"],
                    timestamp=cancel_info["trade_status"]["exchange_ts"], trade_status="Cancel")
                self.add_response_to_queue(cancel_info)

    # --- reports -----------------------------------------------------------

    def build_order_response(self, trade: dict, operation_type: Any, code_obj: Any) -> dict:
        common_fields = {
            "operation_type": operation_type,
            "operation_code": code_obj.code,
            "operation_message": code_obj.message,
            "trade_id": trade["trade_id"],
            "account_id": self.account_info["account_id"],
            "code": trade["code"],
            "action": trade["action"],
            "price": trade["price"],
            "quantity": trade["quantity"],
            "price_type": trade["price_type"],
            "order_type": trade["order_type"],
            "exchange_ts": self.current_tick_infos.get(trade["code"], {}).get("ts", None),
        }
        if trade["product_type"] == "Stock":
            common_fields.update({"order_cond": trade["order_cond"], "order_lot": trade["order_lot"]})
            return self.get_simulation_stock_order_response(common_fields)
        if trade["product_type"] == "Future":
            common_fields.update({"oc_type": trade["oc_type"]})
            return self.get_simulation_future_order_response(common_fields)
        raise Exception(f"不支援的商品類型: {trade['product_type']}")

    def build_deal_response(self, trade: dict) -> dict:
        common_fields = {
            "id": trade["trade_id"],
            "seqno": trade["trade_id"],
            "ordno": trade["trade_id"],
            "exchange_seqno": trade["trade_id"],
            "broker_id": self.exchange_info["name"],
            "account": self.account_info["account_id"],
            "action": trade["action"],
            "code": trade["code"],
            "quantity": trade["quantity"],
            "price": trade["price"],
            "exchange_ts": trade["exchange_ts"],
        }
        if trade["product_type"] == "Stock":
            common_fields.update({"order_cond": trade["order_cond"], "order_lot": trade["order_lot"]})
            return self.get_simulation_stock_deal_response(common_fields)
        if trade["product_type"] == "Future":
            return self.get_simulation_future_deal_response(common_fields)
        raise Exception(f"不支援的商品類型: {trade['product_type']}")

    def _order_report(self, data: dict, order: dict) -> dict:
        return {
            "operation_type": OperationType.from_value(data["operation_type"]),
            "operation_status_code": data["operation_code"],
            "operation_message": data["operation_message"],
            "order": order,
            "trade_status": {
                "id": data["trade_id"],
                "exchange": self.exchange_info["name"],
                "exchange_ts": data["exchange_ts"],
            },
        }

    @staticmethod
    def _order_part(data: dict, **more: Any) -> dict:
        return {
            "id": data["trade_id"], "seqno": data["trade_id"], "ordno": data["trade_id"],
            "account": data["account_id"], "code": data["code"], "action": data["action"],
            "price": data["price"], "quantity": data["quantity"],
            "order_type": OrderType.from_value(data["order_type"]),
            **more,
        }

    def get_simulation_stock_order_response(self, data: dict) -> dict:
        return self._order_report(data, self._order_part(
            data,
            order_cond=OrderCond.from_value(data["order_cond"]),
            order_lot=OrderLot.from_value(data["order_lot"]),
            price_type=PriceType.from_value(data["price_type"]),
        ))

    def get_simulation_future_order_response(self, data: dict) -> dict:
        return self._order_report(data, self._order_part(
            data,
            price_type=PriceType.from_value(data["price_type"]),
            oc_type=OCType.from_value(data["oc_type"]),
        ))

    def get_simulation_stock_deal_response(self, data: dict) -> dict:
        return {
            "id": data["id"], "seqno": data["seqno"], "ordno": data["ordno"],
            "exchange_seqno": data["exchange_seqno"], "broker_id": data["broker_id"],
            "account": data["account"], "action": data["action"], "code": data["code"],
            "quantity": data["quantity"], "price": data["price"],
            "order_cond": OrderCond.from_value(data["order_cond"]),
            "order_lot": OrderLot.from_value(data["order_lot"]),
            "exchange_ts": data["exchange_ts"],
        }

    def get_simulation_future_deal_response(self, data: dict) -> dict:
        return {
            "id": data["id"], "seqno": data["seqno"], "ordno": data["ordno"],
            "exchange_seqno": data["exchange_seqno"], "broker_id": data["broker_id"],
            "account": data["account"], "action": data["action"], "code": data["code"],
            "quantity": data["quantity"], "price": data["price"], "exchange_ts": data["exchange_ts"],
        }

    # --- report queue ------------------------------------------------------

    def add_response_to_queue(self, response: dict) -> None:
        self.response_queue.put(response)

    def pop_response(self) -> dict:
        return self.response_queue.get()


class ReferenceFeed:
    """The tick feed's sending thread and the driver's side of it, in Python."""

    def __init__(self, code_market_map: Dict[str, str]) -> None:
        self.code_market_map = code_market_map
        self.tick_queue: queue.Queue = queue.Queue()
        self.allow_next_tick_flag_queue: queue.Queue = queue.Queue()
        self.allow_next_tick_flag_queue.put(True)
        self.exit_send_thread_flag = False
        self.backfilling_finish_flag = True

    def start(self, df: DataFrame) -> None:
        threading.Thread(target=self._push_tick_to_queue, args=(df,), daemon=True).start()

    def _ticks(self, df: DataFrame):
        for row in df.iter_rows(named=True):
            yield {
                "market_type": self.code_market_map[row["code"]],
                "timestamp": format_nano_ts_to_second_ts(row["ts"], 8),
                "code": row["code"],
                "close": row["close"],
                "qty": row["volume"],
                "tick_type": row["tick_type"],
                "is_simulate": False,
                "is_backfilling": False,
            }

    def _push_tick_to_queue(self, df: DataFrame) -> None:
        started = time.time()
        ticks = self._ticks(df)
        sent = 0
        while not self.exit_send_thread_flag and df.shape[0] > 0:
            if not self.backfilling_finish_flag:
                raise NotImplementedError("the reference feed has no backfill")
            self.allow_next_tick_flag_queue.get()
            tick = next(ticks, None)
            if tick is None:
                self.exit_send_thread_flag = True
                self.tick_queue.put({"darq_status": FLAG.exit_send_tick.value})
                break
            self.tick_queue.put(tick)
            sent += 1
        console.print(f"[green]傳送 Tick 資料結束, 需傳送資料共 {df.shape[0]} 筆, 已傳送 {sent} 筆, "
                      f"耗時 {time.time() - started:.2f} 秒[/green]")

    def pop_tick(self) -> Optional[dict]:
        return self.tick_queue.get()

    def allow_next_tick(self) -> None:
        self.allow_next_tick_flag_queue.put(True)
