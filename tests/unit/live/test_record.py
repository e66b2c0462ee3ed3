"""A session's record: whole lines from any thread, read back by kind, and the day's ticks in
the tick cache's layout at the close or, after a crash, when read back."""

import datetime as dt
import json
import os
import threading

import pytest

from quorvel.backtest import RunSettings
from quorvel.cache import day_files
from quorvel.live.events import order_of
from quorvel.live.record import EVENTS_FILE, RecordError, SessionHeader, SessionRecord, read_record

DAY = "2024-01-08"


def header(day=DAY, **changes):
    fields = dict(codes=("2330", "TXFR1"), strategy="my_strategy.py:Momentum",
                  parameters={"streak": 3}, settings=RunSettings().as_dict(), mode="demo")
    return SessionHeader(**{**fields, "day": day, **changes})


def seconds(clock):
    """Broker seconds of a Taipei wall-clock time of the day."""
    moment = dt.datetime.combine(dt.date.fromisoformat(DAY), dt.time.fromisoformat(clock))
    return moment.replace(tzinfo=dt.timezone.utc).timestamp()


def tick(code, clock, close, qty=1):
    return {"market_type": "Stock" if code[0].isdigit() else "Future",
            "timestamp": seconds(clock) if isinstance(clock, str) else clock, "code": code,
            "close": close, "qty": qty, "tick_type": 1, "is_simulate": False,
            "is_backfilling": False}


def a_session(record):
    """Ticks of 2330 with a quote between them, and a futures tick of the night session that
    opens the next trading day."""
    record.tick(tick("2330", "09:00:01.123456", 580.0, 3))
    record.quote("2330", {"bid_price": 580.0, "bid_volume": 5, "ask_price": 581.0,
                          "ask_volume": 7})
    record.tick(tick("2330", "09:00:02", 581.0))
    record.tick(tick("TXFR1", "15:00:05", 17500.0))


def test_lines_from_two_threads_are_whole_and_read_back_by_kind(tmp_path):
    with SessionRecord(str(tmp_path), header()) as record:
        placed = order_of("Stock", "Buy", 1, 580.0)
        record.operation("place", {"code": "2330", "qty": 1}, answer=placed)
        record.operation("cancel", {"trade_id": "t2"}, refusal="no such trade: t2")
        record.report({"id": "t1", "code": "2330", "quantity": 1, "price": 580.0})
        record.session_event("session lost")
        ticks = [tick("2330", seconds("09:00") + n, 580.0) for n in range(200)]
        writers = [threading.Thread(target=lambda: [record.tick(t) for t in ticks])
                   for _ in range(2)]
        for writer in writers:
            writer.start()
        for writer in writers:
            writer.join(timeout=30)
        with pytest.raises(ValueError, match="operation must be one of"):
            record.operation("amend", {})
    recorded = read_record(str(tmp_path))
    assert recorded.closed and len(recorded.ticks) == 400
    assert [(o["operation"], (o["answer"] or {}).get("action"), o["refusal"])
            for o in recorded.operations] == [
        ("place", "Buy", None), ("cancel", None, "no such trade: t2")]
    assert recorded.reports[0]["report"]["id"] == "t1"
    assert recorded.session_events[0]["text"] == "session lost"
    assert recorded.header.codes == ("2330", "TXFR1") and recorded.header.parameters == {
        "streak": 3}
    assert recorded.header.strategy == os.path.abspath("my_strategy.py") + ":Momentum"
    with pytest.raises(RecordError, match="the record is closed"):
        record.tick(tick("2330", "09:00", 580.0))


def test_the_close_writes_each_codes_trading_days_in_the_caches_layout(tmp_path):
    with SessionRecord(str(tmp_path), header()) as record:
        a_session(record)
    recorded = read_record(str(tmp_path))
    assert recorded.days() == ["2024-01-08", "2024-01-09"]
    stock = day_files.read_day(day_files.day_file_path(recorded.data_dir, "2330", DAY),
                               day_files.TICK_SCHEMA)
    assert stock.rows() == [
        (int(seconds("09:00:01")) * 10**9 + 123456000, 580.0, 3, 0.0, 0, 0.0, 0, 1),
        (int(seconds("09:00:02")) * 10**9, 581.0, 1, 580.0, 5, 581.0, 7, 1),
    ]
    night = day_files.day_file_path(recorded.data_dir, "TXFR1", "2024-01-09")
    assert day_files.read_day(night, day_files.TICK_SCHEMA)["close"].to_list() == [17500.0]


def test_a_crashed_session_is_read_back_whole_and_a_damaged_record_refused(tmp_path):
    record = SessionRecord(str(tmp_path), header())
    a_session(record)  # and never closed: the process died
    events = tmp_path / EVENTS_FILE
    with open(events, "ab") as file:
        file.write(b'{"kind": "tick", "tick": {"code"')  # the line being written
    recorded = read_record(str(tmp_path))
    assert recorded.closed and len(recorded.ticks) == 3
    assert os.path.exists(day_files.day_file_path(recorded.data_dir, "2330", DAY))
    assert json.loads((tmp_path / "session.json").read_text())["closed"] > 0
    # The same day goes on in the same record, the line being written left out; another day
    # is refused.
    with SessionRecord(str(tmp_path), header()) as again:
        again.tick(tick("2330", "09:00:03", 582.0))
    assert [t["close"] for t in read_record(str(tmp_path)).ticks][-2:] == [17500.0, 582.0]
    with pytest.raises(RecordError, match="holds the record of 2024-01-08, not 2024-01-09"):
        SessionRecord(str(tmp_path), header(day="2024-01-09"))
    lines = events.read_bytes().split(b"\n")
    events.write_bytes(b"\n".join([lines[0], b"not json", *lines[1:]]))
    with pytest.raises(RecordError, match=f"{EVENTS_FILE}: line 2 is damaged$"):
        read_record(str(tmp_path))
    with pytest.raises(RecordError, match="not a session record"):
        read_record(str(tmp_path / "elsewhere"))
    with pytest.raises(RecordError, match="mode must be one of paper, live, demo"):
        header(mode="backtest")
