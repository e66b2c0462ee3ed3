"""Loading rules, the class and its method table, the constructor and the calling conventions."""

import importlib
import inspect
import os
import queue
import subprocess
import sys

import polars as pl
import pytest

from quorvel.modules.ticker import ticker as ticker_module
from quorvel.modules.ticker.ticker import Ticker

METHOD_KEYS = [
    "__init__",
    "_Ticker__generate_save_path",
    "_Ticker__make_sino_contract_object",
    "_Ticker__tick_filename_formatter",
    "_Ticker__auto_fetch_ticks",
    "fetch_sino_history_ticks",
    "_Ticker__process_and_combine_ticks",
    "_Ticker__notify_backfilling_finish",
    "get_ticks_df",
    "send_ticks",
    "backfilling",
    "_Ticker__push_tick_to_queue",
    "pop_tick",
    "allow_next_tick",
    "stop_send_ticks",
]


class TestModule:
    def test_namespace_bindings_in_order(self):
        public = [name for name in vars(ticker_module) if not name.startswith("__")]
        assert public == [
            "json", "os", "pl", "queue", "sj", "time", "traceback", "dt", "timedelta", "Thread",
            "Dict", "List", "Literal", "BASIC_INFO", "FLAG", "cache_files", "console", "format_to_dt",
            "format_nano_ts_to_second_ts", "logger", "make_dir", "Ticker",
        ]

    def test_second_import_returns_the_same_module(self):
        assert importlib.import_module("quorvel.modules.ticker.ticker") is ticker_module

    def test_import_leaves_no_broker_log_in_the_working_directory(self, tmp_path):
        env = {k: v for k, v in os.environ.items() if k != "SJ_LOG_PATH"}
        env["SJ_LOG_PATH"] = os.devnull
        subprocess.run([sys.executable, "-c", "import quorvel.modules.ticker.ticker"],
                       cwd=tmp_path, env=env, check=True, timeout=60)
        assert list(tmp_path.iterdir()) == []


class TestClass:
    def test_method_table_in_order(self):
        keys = [key for key in vars(Ticker) if key not in ("__module__", "__dict__", "__weakref__", "__doc__")]
        assert keys == METHOD_KEYS
        assert Ticker.__module__ == "quorvel.modules.ticker.ticker"
        assert Ticker.__qualname__ == "Ticker"
        assert Ticker.__doc__ is None

    def test_qualnames_use_the_written_names(self):
        assert Ticker._Ticker__push_tick_to_queue.__qualname__ == "Ticker.__push_tick_to_queue"
        assert Ticker.send_ticks.__qualname__ == "Ticker.send_ticks"

    def test_annotations_are_strings(self):
        assert Ticker.__init__.__annotations__ == {"sino_api": "object"}
        assert Ticker.send_ticks.__annotations__["codes"] == "List[Dict[str, str]]"
        assert Ticker._Ticker__generate_save_path.__annotations__ == {"file_name": "str", "return": "str"}
        assert Ticker.pop_tick.__annotations__ == {"return": "dict"}
        assert Ticker.allow_next_tick.__annotations__ == {}
        assert Ticker.fetch_sino_history_ticks.__annotations__["product_type"] == "Literal['Stock', 'Future']"

    def test_path_generator_signature_collects_sub_folders(self):
        signature = inspect.signature(Ticker._Ticker__generate_save_path)
        assert str(signature) == "(self, file_name: 'str' = None, *sub_folder) -> 'str'"

    def test_docstrings(self):
        assert Ticker.__init__.__doc__ == (
            "Ticker Module Constructor\n\n        Args:\n            sino_api (object): 永豐 API 物件\n        ")
        assert Ticker.pop_tick.__doc__ == (
            "從 Queue 中取出 Tick 資料\n\n        Returns:\n            dict: Tick 資料\n        ")
        assert Ticker.stop_send_ticks.__doc__ == "停止傳送 Tick 資料"
        assert all(getattr(Ticker, key).__doc__ for key in METHOD_KEYS)


class TestConstructor:
    def test_attributes_in_order(self, data_dir):
        ticker = Ticker(sino_api=None)
        assert list(vars(ticker)) == [
            "api", "allow_next_tick_flag_queue", "backfilling_notify_finish_queue",
            "backfilling_finish_flag", "exit_send_thread_flag", "tick_file_save_path", "tick_queue",
            "code_market_map", "tick_df_schema", "current_send_ticks_params",
        ]
        assert ticker.api is None
        assert list(ticker.allow_next_tick_flag_queue.queue) == [True]
        assert ticker.tick_queue.empty() and ticker.backfilling_notify_finish_queue.empty()
        assert ticker.tick_file_save_path == os.path.join(str(data_dir), "ticks")
        assert data_dir.is_dir() and not (data_dir / "ticks").exists()
        assert ticker.tick_df_schema == {
            "ts": pl.Int64, "close": pl.Float64, "volume": pl.Int64, "bid_price": pl.Float64,
            "bid_volume": pl.Int64, "ask_price": pl.Float64, "ask_volume": pl.Int64, "tick_type": pl.Int64,
        }

    def test_two_tickers_share_no_state(self):
        first, second = Ticker(None), Ticker(None)
        for name in ("tick_queue", "allow_next_tick_flag_queue", "code_market_map", "tick_df_schema"):
            assert getattr(first, name) is not getattr(second, name)
        assert isinstance(first.tick_queue, queue.Queue)


class TestPathGenerator:
    def test_sub_folders_are_created_and_joined(self, data_dir):
        path = Ticker(None)._Ticker__generate_save_path("f.csv", "sino", "ticks")
        assert path == os.path.join(str(data_dir), "sino", "ticks", "f.csv")
        assert (data_dir / "sino" / "ticks").is_dir() and not os.path.exists(path)

    def test_without_arguments_gives_the_data_directory(self, data_dir):
        assert Ticker(None)._Ticker__generate_save_path() == str(data_dir)

    def test_sub_folder_is_positional_only(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'sub_folder'"):
            Ticker(None)._Ticker__generate_save_path(sub_folder="x")


class TestCallingConventions:
    def test_arity_errors(self):
        with pytest.raises(TypeError, match=r"^__init__\(\) takes exactly 2 positional arguments \(1 given\)$"):
            Ticker()
        with pytest.raises(TypeError, match=r"^send_ticks\(\) takes at least 4 positional arguments \(2 given\)$"):
            Ticker(None).send_ticks([])
        with pytest.raises(TypeError, match=r"^pop_tick\(\) takes exactly 1 positional argument \(2 given\)$"):
            Ticker(None).pop_tick(1)
        with pytest.raises(TypeError, match=r"^__generate_save_path\(\) takes at least 1 positional argument \(0 given\)$"):
            Ticker._Ticker__generate_save_path()

    def test_type_errors_change_nothing(self):
        ticker = Ticker(None)
        ticker.tick_queue.put("old")
        with pytest.raises(TypeError, match=r"^Argument 'codes' has incorrect type \(expected list, got tuple\)$"):
            ticker.send_ticks((), "2024-01-02", "2024-01-02")
        with pytest.raises(TypeError, match=r"Argument 'start_from' has incorrect type \(expected str, got NoneType\)"):
            ticker.send_ticks([], None, "2024-01-02")
        with pytest.raises(TypeError, match=r"Argument 'code' has incorrect type"):
            ticker.fetch_sino_history_ticks(None, "Stock", "2024-01-02", "2024-01-02")
        assert list(ticker.tick_queue.queue) == ["old"]
        assert ticker.current_send_ticks_params == {}

    def test_pop_tick_result_must_be_a_dict(self):
        ticker = Ticker(None)
        ticker.tick_queue.put(["not", "a", "dict"])
        with pytest.raises(TypeError, match="^Expected dict, got list$"):
            ticker.pop_tick()

    def test_private_methods_are_looked_up_on_the_instance(self, data_dir):
        ticker = Ticker(None)
        seen = []
        ticker._Ticker__process_and_combine_ticks = lambda *args: seen.append(args) or pl.DataFrame()
        ticker.get_ticks_df("2330", "Stock", "2024-01-02", "2024-01-02")
        assert seen == [([{"code": "2330", "market": "Stock"}], "2024-01-02", "2024-01-02")]
