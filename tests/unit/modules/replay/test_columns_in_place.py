"""The road reads a frame's columns where polars keeps them (the Arrow C stream a Series
exports), and from their lists when it cannot: the ticks are the same either way, value for
value and type for type, for frames in one chunk or many, sliced, with short and long codes."""

import ctypes
import errno

import polars as pl
import pytest

from quorvel.utils import format_nano_ts_to_second_ts

from test_replay_module import NOW, SCHEMA, RecordedRoad

# Codes of up to 12 bytes sit in a string view itself, longer ones in a data buffer.
CODES = ["2330", "TXFR1", "A-CODE-OF-TWENTY-BYTES", "台積電"]


def rows(count, first=0):
    return {
        "code": [CODES[(first + i) % len(CODES)] for i in range(count)],
        "ts": [NOW + (first + i) * 1_000_003 for i in range(count)],
        "close": [100.0 + first + i for i in range(count)],
        "volume": [first + i for i in range(count)],
        "tick_type": [(first + i) % 3 for i in range(count)],
    }


FRAMES = {
    "one chunk": lambda: pl.DataFrame(rows(700), schema=SCHEMA),
    "three chunks": lambda: pl.concat(
        [pl.DataFrame(rows(300, first), schema=SCHEMA) for first in (0, 300, 600)], rechunk=False
    ),
    "a slice": lambda: pl.DataFrame(rows(900), schema=SCHEMA).slice(123, 600),
    "more rows than a slice converts": lambda: pl.DataFrame(rows(70_000), schema=SCHEMA),
}


def expected_ticks(frame):
    return [
        {"market_type": "Stock", "timestamp": format_nano_ts_to_second_ts(row["ts"], 8),
         "code": row["code"], "close": row["close"], "qty": row["volume"],
         "tick_type": row["tick_type"], "is_simulate": False, "is_backfilling": False}
        for row in frame.iter_rows(named=True)
    ]


def replayed_ticks(frame, format_timestamp=format_nano_ts_to_second_ts):
    road = RecordedRoad()
    road.road.replay(frame, dict.fromkeys(CODES, "Stock"), format_timestamp, False)
    return road.ticks


STREAM_CALL = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)


class ArrowArrayStream(ctypes.Structure):
    _fields_ = [("get_schema", STREAM_CALL), ("get_next", STREAM_CALL), ("get_last_error", ctypes.c_void_p),
                ("release", ctypes.c_void_p), ("private_data", ctypes.c_void_p)]


def failing_after_the_first_array(export, kept):
    """Wraps a Series' export: its stream gives the first array, then fails."""
    capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    capsule_pointer.restype, capsule_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype, new_capsule.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    def failing_export(series, requested_schema=None):
        original = export(series)
        source = ArrowArrayStream.from_address(capsule_pointer(original, b"arrow_array_stream"))
        stream = ArrowArrayStream.from_buffer_copy(source)
        source.release = None  # moved: the capsule leaves it alone
        get_next, calls = source.get_next, []

        def next_then_fail(address, array):
            calls.append(array)
            return get_next(address, array) if len(calls) == 1 else errno.EIO

        stream.get_next = STREAM_CALL(next_then_fail)
        kept.append((stream, stream.get_next))
        return new_capsule(ctypes.addressof(stream), b"arrow_array_stream", None)

    return failing_export


READS = ["in place", "from lists", "from lists after the stream fails"]


@pytest.mark.parametrize("make_frame", FRAMES.values(), ids=FRAMES.keys())
@pytest.mark.parametrize("read", READS)
def test_the_ticks_are_the_rows_of_the_frame(make_frame, read, monkeypatch):
    kept = []
    if read == "from lists":  # a Series that exports nothing is read from its lists
        monkeypatch.delattr(pl.Series, "__arrow_c_stream__")
    elif read == "from lists after the stream fails":
        failing_export = failing_after_the_first_array(pl.Series.__arrow_c_stream__, kept)
        monkeypatch.setattr(pl.Series, "__arrow_c_stream__", failing_export)
    listed = []
    to_list = pl.Series.to_list
    monkeypatch.setattr(pl.Series, "to_list", lambda series: listed.append(series.name) or to_list(series))
    frame = make_frame()
    ticks = replayed_ticks(frame)
    expected = expected_ticks(frame)
    assert ticks == expected
    assert [[type(value) for value in tick.values()] for tick in ticks] == [
        [type(value) for value in tick.values()] for tick in expected
    ]
    assert set(listed) == (set() if read == "in place" else set(SCHEMA))


def test_each_code_is_one_str_for_every_tick_of_it():
    ticks = replayed_ticks(FRAMES["three chunks"]())
    for code in CODES:
        assert len({id(tick["code"]) for tick in ticks if tick["code"] == code}) == 1


def test_a_null_ts_goes_to_the_formatter_as_none():
    frame = pl.DataFrame(
        {"code": ["2330", "2330"], "ts": [NOW, None], "close": [1.0, 2.0], "volume": [1, 1],
         "tick_type": [1, 1]},
        schema=SCHEMA,
    )
    seen = []

    def formatter(ts, digits):
        seen.append(ts)
        return 0.0

    assert len(replayed_ticks(frame, formatter)) == 2 and seen == [NOW, None]
