"""Trading days from the exchange calendar, sessions per instrument, and the night session's day."""

import datetime as dt
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import replace

import pytest

from quorvel import market
from quorvel.market import TAIWAN, calendar


def day(text):
    return dt.date.fromisoformat(text)


class TestTradingDays:
    @pytest.mark.parametrize(
        "date",
        ["2024-01-01", "2024-01-06", "2024-01-07", *(f"2024-02-{d:02d}" for d in range(6, 15))],
    )
    def test_holidays_and_weekends_are_not_trading_days(self, date):
        assert not market.is_trading_day(date)

    def test_trading_days_skip_the_lunar_new_year_closure(self):
        assert market.trading_days("2024-02-02", "2024-02-16") == [
            day("2024-02-02"),
            day("2024-02-05"),
            day("2024-02-15"),
            day("2024-02-16"),
        ]

    def test_previous_trading_days_are_oldest_first_and_skip_holidays(self):
        before = market.previous_trading_days("2024-02-15", 2)
        assert before == [day("2024-02-02"), day("2024-02-05")]
        assert market.previous_trading_days("2024-01-08", 0) == []

    def test_extra_closed_days_close_the_market(self):
        typhoon = replace(TAIWAN, closed_days=("2024-01-03",))
        assert not typhoon.is_trading_day("2024-01-03") and TAIWAN.is_trading_day("2024-01-03")

    @pytest.mark.parametrize(
        "rules, date, message",
        [
            (TAIWAN, "1999-12-31", "1999-12-31 lies outside the XTAI calendar"),
            (TAIWAN, "2024-13-01", "not a date of the form YYYY-MM-DD"),
            (replace(TAIWAN, calendar="NOPE"), "2024-01-02", "unknown exchange calendar 'NOPE'"),
        ],
    )
    def test_days_the_calendar_cannot_answer_are_refused(self, rules, date, message):
        with pytest.raises(ValueError, match=message):
            rules.is_trading_day(date)

    def test_calendars_asked_for_at_once_are_built_one_at_a_time_and_once(self, monkeypatch):
        # Building one changes the process's warning filters: two builds at once could print the
        # notices each silences.
        building = []
        overlapped = threading.Event()

        class SlowCalendar:
            def __init__(self, name, closed_days):
                building.append(closed_days)
                if len(building) > 1:
                    overlapped.set()
                time.sleep(0.02)
                building.remove(closed_days)

        monkeypatch.setattr(calendar, "TradingCalendar", SlowCalendar)
        asked = [("2031-01-0" + str(day),) for day in (2, 3, 2, 3, 2, 3)]
        with ThreadPoolExecutor(len(asked)) as pool:
            built = list(pool.map(lambda days: calendar.trading_calendar("XTAI", days), asked))
        calendar._built_calendar.cache_clear()
        assert not overlapped.is_set()
        assert [built.index(one) for one in built] == [0, 1, 0, 1, 0, 1]


class TestBackfillRange:
    @pytest.mark.parametrize(
        "start, days, first, last, span",
        [
            ("2024-01-08", 2, None, None, ("2024-01-04", "2024-01-05")),
            ("2023-01-02", 2, None, None, ("2022-12-29", "2022-12-30")),  # 2023-01-02 is a holiday
            ("2024-03-04", 2, None, None, ("2024-02-29", "2024-03-01")),
            ("2024-02-15", 3, None, None, ("2024-02-01", "2024-02-05")),
            ("2024-01-08", 0, None, None, None),
            ("2024-01-08", 2, "2023-12-01", None, ("2023-12-01", "2024-01-05")),  # given bounds win
            ("2024-01-08", 2, None, "2024-01-03", ("2024-01-02", "2024-01-03")),
            ("2024-01-08", 2, "2024-01-02", "2024-01-03", ("2024-01-02", "2024-01-03")),
        ],
    )
    def test_warm_up_range(self, start, days, first, last, span):
        assert market.backfill_range(start, days, first, last) == span


class TestSessions:
    def test_stock_trades_in_one_day_session(self):
        (session,) = market.sessions("2330", "2024-01-08")
        assert (session.opens, session.closes) == (
            dt.datetime(2024, 1, 8, 9, 0),
            dt.datetime(2024, 1, 8, 13, 30),
        )

    def test_taiex_futures_night_session_opens_on_the_previous_trading_days_evening(self):
        night, day_session = market.sessions("TXFR1", "2024-01-08")  # a Monday
        assert (night.name, night.opens, night.closes) == (
            "night",
            dt.datetime(2024, 1, 5, 15, 0),  # Friday
            dt.datetime(2024, 1, 6, 5, 0),  # Saturday morning
        )
        assert (day_session.opens, day_session.closes) == (
            dt.datetime(2024, 1, 8, 8, 45),
            dt.datetime(2024, 1, 8, 13, 45),
        )

    def test_the_first_day_after_a_closure_has_the_night_session_before_it(self):
        night, _ = market.sessions("MXFR1", "2024-02-15")
        assert night.opens == dt.datetime(2024, 2, 5, 15, 0)

    def test_the_calendars_first_day_has_no_night_session_and_no_evening_call(self):
        (session,) = market.sessions("TXFR1", "2000-01-03")
        assert (session.name, session.opens) == ("day", dt.datetime(2000, 1, 3, 8, 45))
        assert [opens.date() for _, opens, _ in market.TAIWAN.calls("TXFR1", "2000-01-03")] == [
            dt.date(2000, 1, 3)
        ]

    def test_stock_futures_have_no_night_session(self):
        (session,) = market.sessions("CDFR1", "2024-01-08")
        assert (session.opens.time(), session.closes.time()) == (dt.time(8, 45), dt.time(13, 45))

    def test_no_sessions_on_a_day_without_trading(self):
        assert market.sessions("TXFR1", "2024-01-06") == []

    @pytest.mark.parametrize(
        "code, moment, trading_day, name",
        [
            ("TXFR1", dt.datetime(2024, 1, 5, 23, 59), "2024-01-08", "night"),  # past midnight...
            ("TXFR1", dt.datetime(2024, 1, 6, 5, 0), "2024-01-08", "night"),  # ...to 05:00 Saturday
            ("TXFR1", dt.datetime(2024, 1, 5, 13, 45), "2024-01-05", "day"),
            ("TXFR1", dt.datetime(2024, 2, 6, 3, 0), "2024-02-15", "night"),
            ("2330", dt.datetime(2024, 1, 8, 13, 30), "2024-01-08", "day"),  # the closing auction
        ],
    )
    def test_session_at_a_moment(self, code, moment, trading_day, name):
        session = market.session_at(code, moment)
        assert (session.trading_day, session.name) == (day(trading_day), name)
        assert market.session_at(code, market.broker_seconds(moment)) == session

    @pytest.mark.parametrize(
        "code, moment",
        [
            ("TXFR1", dt.datetime(2024, 1, 5, 14, 0)),
            ("TXFR1", dt.datetime(2024, 1, 6, 5, 1)),
            ("2330", dt.datetime(2024, 1, 8, 8, 59)),
            ("2330", dt.datetime(2024, 1, 5, 16, 0)),
            ("CDFR1", dt.datetime(2024, 1, 5, 16, 0)),
        ],
    )
    def test_no_session_between_sessions(self, code, moment):
        assert market.session_at(code, moment) is None

    def test_session_close_in_broker_seconds(self):
        session = market.session_at("TXFR1", dt.datetime(2024, 1, 5, 20, 0))
        # 2024-01-06 05:00 wall clock, written as if it were UTC
        assert session.close_timestamp == 1_704_517_200

    @pytest.mark.parametrize(
        "moment, trading_day",
        [
            (dt.datetime(2024, 1, 5, 14, 59), "2024-01-05"),
            (dt.datetime(2024, 1, 5, 15, 0), "2024-01-08"),
            (dt.datetime(2024, 1, 7, 12, 0), "2024-01-08"),  # a Sunday counts for Monday
            (dt.datetime(2024, 1, 9, 2, 0), "2024-01-09"),
        ],
    )
    def test_trading_day_of_a_moment(self, moment, trading_day):
        assert market.trading_day_of(moment) == day(trading_day)
        assert market.trading_day_of(market.broker_seconds(moment)) == day(trading_day)


class TestShippedDays:
    def test_the_shipped_days_are_the_library_days_to_a_fixed_end(self, monkeypatch):
        import exchange_calendars.exchange_calendar as lib  # its default end: today + 1 year

        monkeypatch.setattr(lib, "GLOBAL_DEFAULT_END", lib.GLOBAL_DEFAULT_END + dt.timedelta(1))
        shipped, library = calendar.shipped_days("XTAI"), calendar.library_days("XTAI")
        assert shipped == library and library.last == calendar.parse_day(calendar.CALENDAR_END)
        assert calendar.TradingCalendar("XTAI").days == shipped.days

    def test_the_days_file_round_trips_closed_weekdays_and_open_weekend_days(self):
        days = [day("2024-01-02"), day("2024-01-04"), day("2024-01-06"), day("2024-01-08")]
        sample = calendar.CalendarDays(day("2024-01-01"), day("2024-01-09"), days)
        text = calendar.days_text(sample, "a sample\nof two lines")
        assert text.startswith("# a sample\n# of two lines\nfirst 2024-01-01\n")
        assert calendar.text_days(text) == sample

    def test_other_calendars_are_built_from_the_library_less_the_closed_days(self):
        hong_kong = replace(TAIWAN, calendar="XHKG", closed_days=("2024-01-03",))
        days = hong_kong.trading_days("2024-01-01", "2024-01-05")
        assert days == [day("2024-01-02"), day("2024-01-04"), day("2024-01-05")]

    def test_a_run_reads_the_shipped_days_without_importing_pandas(self):
        code = textwrap.dedent(
            """
            import sys
            import quorvel.backtest
            from quorvel import market
            print(*market.trading_days("2024-02-05", "2024-02-15"))  # the Lunar New Year
            print(market.trading_day_of(1704470400.0))  # 2024-01-05 16:00, a Friday's evening
            print(sorted({"pandas", "exchange_calendars"} & set(sys.modules)))
            """
        )
        run = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
        )
        printed = ["2024-02-05", "2024-02-15", "2024-01-08", "[]"]
        assert (run.returncode, run.stdout.split()) == (0, printed), run.stderr


class TestContractMonths:
    @pytest.mark.parametrize(
        "month, last_day",
        [
            ("202408", "2024-08-21"),  # the third Wednesday
            ("202301", "2023-01-30"),  # the 18th lay in the Lunar New Year closure
            ("202410", "2024-10-16"),
        ],
    )
    def test_the_last_trading_day_is_the_third_wednesday_or_the_next_trading_day(
        self, month, last_day
    ):
        assert market.TAIWAN.last_trading_day(month) == dt.date.fromisoformat(last_day)

    @pytest.mark.parametrize(
        "code, day, month, ends",
        [
            ("TXFR1", "2024-08-20", "202408", True),  # R1 follows August for the last day
            ("TXFR1", "2024-08-21", "202409", False),  # the expiry day: September already
            ("MXFR2", "2024-08-21", "202410", False),
            ("TXFH4", "2024-08-21", "202408", True),  # its own last trading day
            ("TXFH4", "2024-03-01", "202408", False),
            ("TMFA7", "2026-12-03", "202701", False),  # the next year's January
            ("TXFA6", "2027-12-01", "202601", False),  # ended the year before: its own
            ("2330", "2024-08-21", None, False),
        ],
    )
    def test_which_month_a_code_trades_and_when_it_ends(self, code, day, month, ends):
        assert market.TAIWAN.contract_month(code, day) == month
        assert market.TAIWAN.month_ends(code, day) is ends

    def test_an_explicit_month_trades_until_1330_on_its_last_day_and_then_has_expired(self):
        sessions = market.TAIWAN.sessions("TXFH4", "2024-08-21")
        assert [session.closes.time() for session in sessions] == [dt.time(5), dt.time(13, 30)]
        assert market.TAIWAN.sessions("TXFR1", "2024-08-21")[-1].closes.time() == dt.time(13, 45)
        assert [market.TAIWAN.has_expired("TXFH4", day) for day in ("2024-08-21", "2024-08-22")] == [
            False,
            True,
        ]
