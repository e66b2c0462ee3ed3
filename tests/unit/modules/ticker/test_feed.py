"""The feed's door: watched loads, and observed runs of a Ticker stopped and joined."""

import pathlib
import re
import threading

import polars as pl
import pytest

from quorvel.modules.ticker import feed
from quorvel.modules.ticker.ticker import Ticker
from quorvel.sim import SimulatedBroker

from ticker_support import (STOCK, WAIT, drain, sending_once_the_backfill_is_awaited,
                            threads_started_by_the_test, wait_for_thread_end)

FUTURE = {"code": "TXFR1", "market": "Future"}
CODES = [STOCK, FUTURE]
WEEK = ("2024-01-08", "2024-01-12")  # Monday to Friday
WEEK_DAYS = ["2024-01-08", "2024-01-09", "2024-01-10", "2024-01-11", "2024-01-12"]


class DayLog:
    """An on_day watcher that keeps every call, and asks to end the load after `stop_after` days."""

    def __init__(self, stop_after=None):
        self.days = []
        self.stop_after = stop_after
        self.threads = set()

    def __call__(self, code, date, rows):
        self.days.append((code, date, rows))
        self.threads.add(threading.current_thread())
        return self.stop_after is not None and len(self.days) >= self.stop_after


class GatedBroker(SimulatedBroker):
    """Holds the tick queries of `gated_dates` until the test opens the gate."""

    def __init__(self, gated_dates):
        super().__init__(3, ticks_per_day=4)
        self.gated_dates = set(gated_dates)
        self.waiting = threading.Event()
        self.gate = threading.Event()

    def ticks(self, contract, date):
        if date in self.gated_dates:
            self.waiting.set()
            assert self.gate.wait(WAIT)
        return super().ticks(contract=contract, date=date)


class WholeSecondsBroker(SimulatedBroker):
    """Stamps its ticks to the whole second, as the futures exchange's daily files do, and keeps
    the closes of each answer in its order."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.answers = {}

    def ticks(self, contract, date):
        answer = dict(super().ticks(contract=contract, date=date))
        answer["ts"] = [ts // 1_000_000_000 * 1_000_000_000 for ts in answer["ts"]]
        self.answers[contract.code, date] = list(answer["close"])
        return answer


def ticker(ticks_per_day=4):
    return Ticker(SimulatedBroker(3, ticks_per_day=ticks_per_day))


class TestLoad:
    @pytest.mark.parametrize(
        "codes, start, end",
        [
            (CODES, *WEEK),
            ([FUTURE], "2024-01-06", "2024-01-09"),
            ([], *WEEK),
            (CODES, "2024-01-10", "2024-01-10"),
        ],
    )
    def test_gives_what_the_feed_loads(self, codes, start, end):
        door, private = ticker(), ticker()
        loaded = feed.load(door, codes, start, end, None)
        assert loaded.equals(private._Ticker__process_and_combine_ticks(codes, start, end))
        assert door.code_market_map == private.code_market_map

    def test_days_loaded_one_by_one_follow_each_other_as_the_periods_rows(self):
        source = ticker(ticks_per_day=50)
        days = [feed.load(source, CODES, day, day, None) for day in WEEK_DAYS]
        period = feed.load(source, CODES, *WEEK, None)
        assert pl.concat(days).equals(period)
        assert all(day["code"].n_unique() == 2 for day in days)

    def test_ticks_of_one_second_keep_their_files_order_so_days_follow_as_the_periods_rows(self):
        source = Ticker(WholeSecondsBroker(3, ticks_per_day=3000))
        days = [feed.load(source, CODES, day, day, None) for day in WEEK_DAYS[:3]]
        period = feed.load(source, CODES, WEEK_DAYS[0], WEEK_DAYS[2], None)
        assert period.select(pl.struct("ts", "code").is_duplicated().sum()).item() > 1000
        assert pl.concat(days).equals(period)
        answers = source.api.answers
        for entry in CODES:
            closes = period.filter(pl.col("code") == entry["code"])["close"].to_list()
            assert closes == [close for day in WEEK_DAYS[:3] for close in answers[entry["code"], day]]

    def test_on_day_is_told_of_each_instrument_day_in_load_order(self):
        source = Ticker(SimulatedBroker(3, ticks_per_day=4, holidays=["2024-01-09"]))
        log = DayLog()
        feed.load(source, CODES, "2024-01-08", "2024-01-10", log)
        days = ("2024-01-08", "2024-01-09", "2024-01-10")
        assert log.days == [
            (entry["code"], day, 0 if day == "2024-01-09" else 4) for entry in CODES for day in days
        ]

    def test_a_true_result_ends_the_load_with_the_empty_frame(self):
        source = ticker()
        log = DayLog(stop_after=2)
        loaded = feed.load(source, CODES, *WEEK, log)
        assert loaded.shape == (0, 9) and loaded.columns[-1] == "code"
        assert source.api.tick_requests == [("2330", "2024-01-08"), ("2330", "2024-01-09")]
        assert source.code_market_map == {"2330": "Stock"}

    def test_an_error_of_on_day_leaves_the_load_at_once(self, logger):
        source = ticker()

        def failing(code, date, rows):
            raise LookupError("watcher failed")

        with pytest.raises(LookupError, match="^watcher failed$"):
            feed.load(source, CODES, *WEEK, failing)
        assert source.api.tick_requests == [("2330", "2024-01-08")]
        assert logger.lines == []  # not taken for a failed day and tried again

    @pytest.mark.parametrize(
        "arguments, message",
        [
            (lambda t: (1, CODES, *WEEK, None),
             "Argument 'ticker' has incorrect type (expected Ticker, got int)"),
            (lambda t: (t, CODES, *WEEK, 5), "on_day must be callable or None, not int"),
            (lambda t: (t, tuple(CODES), *WEEK, None),
             "Argument 'codes' has incorrect type (expected list, got tuple)"),
            (lambda t: (t, CODES, None, WEEK[1], None),
             "Argument 'start_from' has incorrect type (expected str, got NoneType)"),
            (lambda t: (t, CODES, *WEEK), "load() takes exactly 5 positional arguments (4 given)"),
        ],
    )
    def test_bad_arguments_are_refused_before_anything_is_loaded(self, arguments, message):
        source = ticker()
        with pytest.raises(TypeError) as refused:
            feed.load(*arguments(source))
        assert str(refused.value) == message
        assert source.api.tick_requests == [] and source.code_market_map == {}


def sent_items(observed):
    """The items of a sending run with a backfill, driven to its end, and the days it loaded."""
    source = ticker()
    log = DayLog()
    run = feed.observe(source, log) if observed else None
    sending_once_the_backfill_is_awaited(source, [STOCK], "2024-01-10", "2024-01-10", "2024-01-08",
                                         "2024-01-09")
    items = drain(source)
    running = run.stop(WAIT) if run else []
    wait_for_thread_end()
    return items, log, running


class TestObservedRun:
    def test_ticks_and_statuses_are_those_of_an_unobserved_run(self):
        observed, log, running = sent_items(observed=True)
        unobserved, _, _ = sent_items(observed=False)
        assert observed == unobserved and running == []
        days = ("2024-01-08", "2024-01-09", "2024-01-10")
        assert sorted(log.days) == [("2330", day, 4) for day in days]
        assert len(log.threads) == 2  # the caller's live load and the backfill thread's

    def test_stop_ends_and_joins_a_run_left_waiting(self):
        source = ticker()
        run = feed.observe(source, None)
        source.send_ticks(CODES, *WEEK, "2024-01-04", "2024-01-05")
        assert len(threads_started_by_the_test()) == 2  # the backfill and the sending thread
        assert run.stop(WAIT) == []
        assert threads_started_by_the_test() == []

    def test_stop_ends_a_load_under_way_before_its_next_day_and_names_what_still_runs(self):
        broker = GatedBroker(gated_dates=["2024-01-04"])
        source = Ticker(broker)
        log = DayLog()
        run = feed.observe(source, log)
        try:
            source.send_ticks([STOCK], "2024-01-08", "2024-01-08", "2024-01-04", "2024-01-05")
            assert broker.waiting.wait(WAIT)
            running = run.stop(0.2)
            started = threads_started_by_the_test()
            assert sorted(running) == sorted(thread.name for thread in started)
            assert len(running) == 2
        finally:
            broker.gate.set()
        wait_for_thread_end()
        assert sorted(date for _, date in broker.tick_requests) == ["2024-01-04", "2024-01-08"]
        assert log.days == [("2330", "2024-01-08", 4)]  # a stopped run is told of no further day

    def test_stop_forgets_the_run_and_only_its_own(self):
        source = ticker()
        first = feed.observe(source, DayLog())
        observed_already = r"^this Ticker's feed is observed already; stop\(\) its run first$"
        with pytest.raises(RuntimeError, match=observed_already):
            feed.observe(source, None)
        assert first.stop(WAIT) == []
        log = DayLog()
        later = feed.observe(source, log)
        assert first.stop(WAIT) == []  # stopped again, it leaves the later run observed
        source._Ticker__process_and_combine_ticks([STOCK], "2024-01-08", "2024-01-08")
        assert [load[:2] for load in later.take_loads()] == [("2024-01-08", "2024-01-08")]
        assert first.take_loads() == [] and later.stop(WAIT) == []
        assert log.days == [("2330", "2024-01-08", 4)]

    def test_the_frames_sent_are_handed_over_once(self):
        source = ticker()
        run = feed.observe(source, None)
        source.send_ticks([STOCK], "2024-01-10", "2024-01-10", "2024-01-08", "2024-01-09")
        ticks = [item for item in drain(source) if "darq_status" not in item]
        loads = {(start, end): frame for start, end, frame in run.take_loads()}
        assert run.take_loads() == []
        assert run.stop(WAIT) == []
        wait_for_thread_end()
        assert sorted(loads) == [("2024-01-08", "2024-01-09"), ("2024-01-10", "2024-01-10")]
        sent = [loads[("2024-01-08", "2024-01-09")], loads[("2024-01-10", "2024-01-10")]]
        assert [tick["close"] for tick in ticks] == pl.concat(sent)["close"].to_list()
        source._Ticker__process_and_combine_ticks([STOCK], "2024-01-08", "2024-01-08")
        assert run.take_loads() == []  # no longer observed


class TestDoorModule:
    def test_is_a_module_of_the_tickers_library_leaving_its_namespace_alone(self):
        from quorvel.modules.ticker import ticker as ticker_module

        assert feed.__name__ == "quorvel.modules.ticker.feed"
        assert feed.__file__ == ticker_module.__file__
        names = [name for name in vars(feed) if not name.startswith("__")]
        assert names == ["load", "observe", "ObservedRun"]
        assert not set(vars(ticker_module)) & {"load", "observe", "ObservedRun", "feed"}
        with pytest.raises(TypeError) as refused:
            feed.ObservedRun(ticker())
        assert str(refused.value) == "an ObservedRun is made by observe(ticker, on_day)"


ENGINES = pathlib.Path(__file__).parents[4] / "src" / "quorvel"


@pytest.mark.parametrize(
    "path",
    sorted([*ENGINES.glob("backtest/**/*.py"), *ENGINES.glob("sweep/*.py")]),
    ids=lambda path: f"{path.parent.name}/{path.name}",
)
def test_the_engines_reach_the_feed_through_its_door_only(path):
    text = path.read_text(encoding="utf-8")
    assert "_Ticker__" not in text
    assert re.search(r"\b(ticker|ticker_module)\.\w+\s*=[^=]", text) is None
