"""Historical tick feed: download and cache, merge of instruments, paced replay."""

import queue
from typing import Any, Dict, List, Literal, Optional

import polars as pl
import shioaji as sj

class Ticker:
    api: Any
    allow_next_tick_flag_queue: queue.Queue[Any]
    backfilling_notify_finish_queue: queue.Queue[Any]
    backfilling_finish_flag: bool
    exit_send_thread_flag: bool
    tick_file_save_path: str
    tick_queue: queue.Queue[Any]
    code_market_map: Dict[str, Any]
    tick_df_schema: Dict[str, Any]
    current_send_ticks_params: Dict[str, Any]
    def __init__(self, sino_api: object) -> None:
        """Ticker Module Constructor"""
    def __generate_save_path(self, file_name: Optional[str] = None, *sub_folder: Any) -> str:
        """產生檔案儲存路徑"""
    def __make_sino_contract_object(self, code: str, market_type: str) -> sj.contracts.Contract:
        """建立永豐用的商品物件"""
    def __tick_filename_formatter(self, code: str, date: str) -> Any:
        """Tick 檔案名稱格式化"""
    def __auto_fetch_ticks(self, code: str, product_type: str, date: str) -> pl.DataFrame:
        """自動取得歷史 Tick 資料"""
    def fetch_sino_history_ticks(
        self, code: str, product_type: Literal["Stock", "Future"], start_from: str, end_to: str
    ) -> pl.DataFrame:
        """從永豐 API 下載歷史 Tick 資料"""
    def __process_and_combine_ticks(
        self, codes: List[Dict[str, str]], start_from: str, end_to: str
    ) -> pl.DataFrame:
        """處理與合併 Tick 資料"""
    def __notify_backfilling_finish(self) -> Any:
        """通知回補資料已經完成"""
    def get_ticks_df(
        self, code: str, market_type: Literal["Stock", "Future"], start_from: str, end_to: str
    ) -> pl.DataFrame:
        """取得指定商品的 Tick 資料"""
    def send_ticks(
        self,
        codes: List[Dict[str, str]],
        start_from: str,
        end_to: str,
        backfilling_start_from: Optional[str] = None,
        backfilling_end_to: Optional[str] = None,
    ) -> Any:
        """逐筆傳送 Tick 資料"""
    def backfilling(
        self,
        codes: List[Dict[str, str]],
        start_from: Optional[str] = None,
        end_to: Optional[str] = None,
    ) -> Any:
        """回補 Tick 資料"""
    def __push_tick_to_queue(self, df: pl.DataFrame) -> Any:
        """將 Tick 資料逐筆寫入 Queue"""
    def pop_tick(self) -> dict:
        """從 Queue 中取出 Tick 資料"""
    def allow_next_tick(self) -> Any:
        """允許傳送下一筆 Tick 資料"""
    def stop_send_ticks(self) -> Any:
        """停止傳送 Tick 資料"""
