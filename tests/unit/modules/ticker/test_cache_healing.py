"""A corrupt cache file is set aside and its day fetched again; a bad broker answer is never cached."""

import json
import math
import multiprocessing
import os

import polars as pl
import pytest
from ticker_support import HEADER, FixedAnswerBroker

from quorvel.cache import day_files
from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import TICK_COLUMNS, SimulatedBroker

DAY = "2024-01-02"  # a Tuesday with ticks
NAME = f"2330 {DAY} - ticks.csv"


def rows_of(text):
    header, *rows = text.splitlines()
    return header, rows


def with_field(text, column, value):
    """The file with the first data row's `column` replaced by `value`."""
    header, rows = rows_of(text)
    fields = rows[0].split(",")
    fields[TICK_COLUMNS.index(column)] = value
    return "\n".join([header, ",".join(fields), *rows[1:]]) + "\n"


def swapped_header(text):
    header, rows = rows_of(text)
    names = header.split(",")
    names[3], names[5] = names[5], names[3]
    return "\n".join([",".join(names), *rows]) + "\n"


def each_line(text, change):
    return "\n".join(change(line) for line in text.splitlines()) + "\n"


# name: (how the file is spoiled, the reason reported, whether only the manifest can tell)
CORRUPTIONS = {
    "wrong header": (lambda text: text.replace("close", "price", 1),
                     f"標頭 '{HEADER.replace('close', 'price')}' 與欄位 '{HEADER}' 不符", False),
    "permuted header": (swapped_header, None, False),
    "garbage bytes": (lambda text: b"\x00\xff\xfe\x81garbage", "標頭不是 UTF-8 文字", False),
    "empty file": (lambda text: "", f"標頭 '' 與欄位 '{HEADER}' 不符", False),
    "text in a number column": (lambda text: with_field(text, "volume", "abc"), None, False),
    "missing column": (lambda text: each_line(text, lambda line: line.rsplit(",", 1)[0]), None, False),
    "extra column": (lambda text: each_line(text, lambda line: line + ",1"), None, False),
    "truncated mid-row": (lambda text: text[: text.rstrip("\n").rfind("\n") + 4], None, False),
    "truncated at a row boundary": (lambda text: text[: text.rstrip("\n").rfind("\n") + 1], "列數 4 與紀錄的 5 不符", True),
    "header only": (lambda text: HEADER + "\n", "列數 0 與紀錄的 5 不符", True),
    # Every row and value still valid, the row count kept: only the bytes' hash tells.
    "a price changed": (lambda text: with_field(text, "close", "123456.5"), "SHA-256 與紀錄不符", True),
    "empty close": (lambda text: with_field(text, "close", ""), "欄位 close 有空值", False),
    "NaN close": (lambda text: with_field(text, "close", "NaN"), "欄位 close 有非有限的數值", False),
    "negative volume": (lambda text: with_field(text, "volume", "-3"), "欄位 volume 有負數", False),
    "directory": (None, "不是一般檔案", False),
}


def spoil(path, corruption):
    if corruption is None:
        path.unlink()
        path.mkdir()
        return
    spoiled = corruption(path.read_text(encoding="utf-8"))
    if isinstance(spoiled, bytes):
        path.write_bytes(spoiled)
    else:
        path.write_text(spoiled, encoding="utf-8")


# Every case with the manifest; without it, the cases that the file's content shows.
HEALING_CASES = [pytest.param(case, with_manifest, id=f"{case}, {'manifest' if with_manifest else 'no manifest'}")
                 for case, (_, _, only_the_manifest_tells) in CORRUPTIONS.items()
                 for with_manifest in (True, False) if with_manifest or not only_the_manifest_tells]


@pytest.mark.parametrize("case, with_manifest", HEALING_CASES)
def test_corrupt_file_is_set_aside_fetched_again_and_rewritten(case, with_manifest, cache_dir, console, logger):
    corruption, reason, _ = CORRUPTIONS[case]
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    path = cache_dir / NAME
    if not with_manifest:
        (cache_dir / "manifest.json").unlink()
    spoil(path, corruption)
    spoiled = path.read_bytes() if path.is_file() else None
    console.lines.clear()

    healed = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)

    assert healed.equals(first) and healed.shape == (5, 9)
    assert broker.tick_requests == [("2330", DAY)] * 2
    [aside] = [entry for entry in cache_dir.iterdir() if entry.name.startswith(NAME + ".corrupt-")]
    assert aside.name.endswith("Z") and (aside.is_dir() if spoiled is None else aside.read_bytes() == spoiled)
    [record] = logger.records()
    assert record["data"] == {"file": str(path), "moved_to": str(aside)}
    if reason is not None:
        assert record["error"] == reason
    assert console.lines[1] == (f"[red]檔案 {path} 已損毀: {record['error']}, 已移至 {aside}, "
                                "重新下載歷史 Tick 資料...[/red]")
    assert day_files.read_day(str(path), ticker.tick_df_schema).equals(first.drop("code"))
    again = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    assert again.equals(first) and len(broker.tick_requests) == 2


def test_reasons_of_files_that_polars_refuses(cache_dir):
    ticker = Ticker(SimulatedBroker(ticks_per_day=5))
    ticker.fetch_sino_history_ticks("2330", "Stock", DAY, DAY)
    path = cache_dir / NAME
    text = path.read_text()
    for corruption in ("text in a number column", "missing column", "extra column", "permuted header"):
        spoil(path, CORRUPTIONS[corruption][0])
        with pytest.raises(day_files.CorruptCacheFile, match="^(無法解析: |標頭 )"):
            day_files.read_day(str(path), ticker.tick_df_schema)
        path.write_text(text)
    spoil(path, CORRUPTIONS["truncated mid-row"][0])
    with pytest.raises(day_files.CorruptCacheFile, match="^欄位 (close|volume) 有空值$"):
        day_files.read_day(str(path), ticker.tick_df_schema)


def test_legacy_file_without_an_entry_is_read_by_the_rules(cache_dir, logger):
    broker = SimulatedBroker(ticks_per_day=5)
    ticker = Ticker(broker)
    first = ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY)
    (cache_dir / "manifest.json").unlink()
    lines = (cache_dir / NAME).read_text().splitlines()
    (cache_dir / NAME).write_text("\n".join(lines[:-1]) + "\n")  # cut at a row boundary: undetectable
    assert ticker._Ticker__auto_fetch_ticks("2330", "Stock", DAY).shape == (4, 9)
    assert first.shape == (5, 9) and len(broker.tick_requests) == 1 and logger.lines == []


def good_answer():
    return {"ts": [1, 2], "close": [10.0, 10.5], "volume": [1, 0], "bid_price": [9.5, 0.0], "bid_volume": [3, 0],
            "ask_price": [10.0, 0.0], "ask_volume": [2, 0], "tick_type": [1, 2]}


def answer_with(column, values):
    answer = good_answer()
    answer[column] = values
    return answer


BAD_ANSWERS = {
    "NaN close": (answer_with("close", [math.nan, 10.0]), ValueError, "欄位 close 有非有限的數值"),
    "infinite bid": (answer_with("bid_price", [math.inf, 1.0]), ValueError, "欄位 bid_price 有非有限的數值"),
    "zero close": (answer_with("close", [0.0, 10.0]), ValueError, "欄位 close 有不大於 0 的價格"),
    "negative close": (answer_with("close", [-1.0, 10.0]), ValueError, "欄位 close 有不大於 0 的價格"),
    "negative ask": (answer_with("ask_price", [-1.0, 10.0]), ValueError, "欄位 ask_price 有負數"),
    "None volume": (answer_with("volume", [None, 1]), ValueError, "欄位 volume 有空值"),
    "negative volume": (answer_with("ask_volume", [-1, 1]), ValueError, "欄位 ask_volume 有負數"),
    "float volume": (answer_with("volume", [1.5, 1]), ValueError, "欄位 volume 有不是 Int64 的值"),
    "text price": (answer_with("close", ["10", 10.0]), ValueError, "欄位 close 有不是 Float64 的值"),
    "not a list": (answer_with("ts", 7), ValueError, "欄位 ts 不是串列: int"),
    "unequal lengths": (answer_with("tick_type", [1]), ValueError, "各欄位長度不同: [1, 2]"),
}


class TestBrokerAnswer:
    @pytest.mark.parametrize("case", list(BAD_ANSWERS))
    def test_bad_answer_names_code_day_and_column_and_writes_nothing(self, case, cache_dir):
        answer, error, detail = BAD_ANSWERS[case]
        ticker = Ticker(FixedAnswerBroker(answer))
        with pytest.raises(error) as raised:
            ticker.fetch_sino_history_ticks("2330", "Stock", DAY, DAY)
        assert str(raised.value) == f"永豐 API 回傳的 2330 {DAY} Tick 資料{detail}"
        assert not cache_dir.exists() or list(cache_dir.iterdir()) == []

    @pytest.mark.parametrize("answer, name", [(None, "NoneType"), ([("ts", [1])], "list"), ("ticks", "str")])
    def test_an_answer_that_is_not_a_mapping(self, answer, name):
        with pytest.raises(TypeError, match=f"^argument after \\*\\* must be a mapping, not {name}$"):
            Ticker(FixedAnswerBroker(answer)).fetch_sino_history_ticks("2330", "Stock", DAY, DAY)

    def test_good_answer_is_cached_with_its_manifest_entry(self, cache_dir):
        df = Ticker(FixedAnswerBroker(good_answer())).fetch_sino_history_ticks("2330", "Stock", DAY, DAY)
        assert df["close"].to_list() == [10.0, 10.5] and df["ask_price"].to_list() == [10.0, 0.0]
        [entry] = json.loads((cache_dir / "manifest.json").read_text())["files"].values()
        assert entry["rows"] == 2 and len(entry["sha256"]) == 64


def store_days(directory, first_day, count):
    """Writes `count` one-row days to `directory`, each recorded in the shared manifest."""
    df = pl.DataFrame(good_answer())
    for day in range(first_day, first_day + count):
        day_files.store_day(df, os.path.join(directory, f"2330 2024-01-{day:02d} - ticks.csv"))


def test_processes_sharing_a_cache_keep_each_others_entries(tmp_path):
    context = multiprocessing.get_context("spawn")
    writers = [context.Process(target=store_days, args=(str(tmp_path), first, 10)) for first in (1, 11)]
    for writer in writers:
        writer.start()
    for writer in writers:
        writer.join(60)
        assert writer.exitcode == 0
    entries = json.loads((tmp_path / "manifest.json").read_text())["files"]
    assert len(entries) == 20 and {entry["rows"] for entry in entries.values()} == {2}
