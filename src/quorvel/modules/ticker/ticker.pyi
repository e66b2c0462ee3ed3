"""Historical tick feed: download and cache, merge of instruments, paced replay."""

import queue
from typing import Any, Dict, List, Literal, Optional

import polars as pl

_Instruments = List[Dict[str, str]]

class Ticker:
    api: Any
    allow_next_tick_flag_queue: queue.Queue[Any]
    backfilling_notify_finish_queue: queue.Queue[Dict[str, Any]]
    backfilling_finish_flag: bool
    exit_send_thread_flag: bool
    tick_file_save_path: str
    tick_queue: queue.Queue[Optional[Dict[str, Any]]]
    code_market_map: Dict[str, str]
    tick_df_schema: Dict[str, Any]
    current_send_ticks_params: Dict[str, Any]
    def __init__(self, sino_api: object) -> None:
        """Keep the broker API object; one permit is granted from the start."""
    def __generate_save_path(self, file_name: Optional[str] = None, *sub_folder: str) -> str: ...
    def __make_sino_contract_object(self, code: str, market_type: str) -> Any: ...
    def __tick_filename_formatter(self, code: str, date: str) -> str: ...
    def __auto_fetch_ticks(self, code: str, product_type: str, date: str) -> pl.DataFrame: ...
    def fetch_sino_history_ticks(
        self, code: str, product_type: Literal["Stock", "Future"], start_from: str, end_to: str
    ) -> pl.DataFrame: ...
    def __process_and_combine_ticks(
        self, codes: _Instruments, start_from: str, end_to: str
    ) -> pl.DataFrame: ...
    def __notify_backfilling_finish(self) -> None: ...
    def get_ticks_df(
        self, code: str, market_type: Literal["Stock", "Future"], start_from: str, end_to: str
    ) -> pl.DataFrame: ...
    def send_ticks(
        self,
        codes: _Instruments,
        start_from: str,
        end_to: str,
        backfilling_start_from: Optional[str] = None,
        backfilling_end_to: Optional[str] = None,
    ) -> None:
        """Load the period's ticks and start the sending thread (and the backfill)."""
    def backfilling(
        self, codes: _Instruments, start_from: Optional[str] = None, end_to: Optional[str] = None
    ) -> None: ...
    def __push_tick_to_queue(self, df: pl.DataFrame) -> None: ...
    def pop_tick(self) -> Optional[Dict[str, Any]]:
        """Take the next tick or status dict ("darq_status"), waiting without limit."""
    def allow_next_tick(self) -> None:
        """Grant one permit: the sending thread may put one more tick."""
    def stop_send_ticks(self) -> None: ...
