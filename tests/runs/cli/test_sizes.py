"""Sizes a user sets have bounds, refused in one line before anything is loaded or queued, and a
run of a large period says so before it loads."""

import datetime as dt
import io

import pytest
from rich.console import Console

from quorvel import cli
from quorvel.backtest import RunSettings, Strategy, run_backtest
from quorvel.backtest.settings.run import MAX_WINDOW
from quorvel.backtest.engine.road import END_STATUS
from quorvel.cli import size
from quorvel.cli.progress import progress_bar
from quorvel.data.offline import CacheOnlyBroker
from quorvel.modules.ticker import ticker as ticker_module
from quorvel.sim import MAX_TICKS_PER_DAY, SimulatedBroker


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--window", "2147483648"], "--window: must be at most 1000000, got 2147483648"),
        (
            ["--ticks-per-day", "99999999999999999999"],
            "--ticks-per-day: must be at most 1000000, got 99999999999999999999",
        ),
        (["--backfill-days", "100000"], "--backfill-days: must be at most 10000, got 100000"),
        (["--sweep", "ma=10,20", "--workers", "5000"], "--workers: must be at most 1024"),
        (
            ["--start", "1999-01-04", "--end", "1999-01-05", "--no-backfill"],
            "--start/--end: 1999-01-04 lies outside the XTAI calendar",
        ),
    ],
)
def test_oversized_options_exit_with_2_in_one_line(argv, message, capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    assert exit_info.value.code == 2
    error = capsys.readouterr().err.strip().splitlines()[-1]
    assert error.startswith("quorvel-backtest: error: ") and message in error


def test_the_library_refuses_what_the_options_refuse():
    with pytest.raises(ValueError, match="window must be a whole number from 1 to 1,000,000, not 1000001"):
        RunSettings(window=MAX_WINDOW + 1)
    with pytest.raises(ValueError, match="ticks_per_day must be from 1 to 1000000"):
        SimulatedBroker(0, ticks_per_day=MAX_TICKS_PER_DAY + 1)


class CountingTicker(ticker_module.Ticker):
    """Counts the permits granted while the run takes ticks: once it has taken the feed's end,
    stopping the feed grants more, to let a thread that has not yet ended go on to its end."""

    permits = 0
    permits_at_end = None

    def allow_next_tick(self):
        CountingTicker.permits += 1
        super().allow_next_tick()

    def pop_tick(self):
        tick = super().pop_tick()
        if tick is not None and tick.get("darq_status") == END_STATUS:
            CountingTicker.permits_at_end = CountingTicker.permits
        return tick


def test_the_paced_engine_grants_no_more_permits_ahead_than_the_run_has_ticks(
    ticker_built, engines_built, data_dir, monkeypatch
):
    monkeypatch.setattr(ticker_module, "Ticker", CountingTicker)
    monkeypatch.setattr(CountingTicker, "permits", 0)
    monkeypatch.setattr(CountingTicker, "permits_at_end", None)
    result = run_backtest(
        SimulatedBroker(0, ticks_per_day=50),
        ["2330"],
        RunSettings(("2024-01-08", "2024-01-09"), ("2024-01-05", "2024-01-05"), engine="paced",
                    window=MAX_WINDOW),
        data_dir=str(data_dir),
        strategy=Strategy(),
    )
    ticks = result.live_ticks + result.backfill_ticks
    assert ticks == 150
    # one per tick taken, and at most one ahead per tick known
    assert ticks < CountingTicker.permits_at_end <= 2 * ticks


class TestEstimate:
    SPANS = [("2024-01-08", "2024-01-12"), ("2024-01-04", "2024-01-05")]

    def test_the_offline_broker_makes_its_ticks_a_day_on_every_trading_day(self):
        broker = SimulatedBroker(0, ticks_per_day=1000)
        assert size.estimated_ticks(broker, ["2330", "TXFR1"], self.SPANS, "unused") == 14_000
        assert size.trading_days(self.SPANS) == 7

    def test_a_run_on_the_cache_counts_what_its_files_hold(self, tmp_path):
        for code, day, rows in [("2330", "2024-01-08", 100), ("2330", "2024-01-09", 60)]:
            path = tmp_path / "sino" / "ticks" / f"{code} {day} - ticks.csv"
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_bytes(b"x" * size.CACHED_BYTES_PER_ROW * rows)
        estimate = size.estimated_ticks(CacheOnlyBroker(), ["2330", "TXFR1"], self.SPANS,
                                        str(tmp_path))
        assert estimate == 160

    def test_another_broker_cannot_be_counted(self):
        assert size.estimated_ticks(object(), ["2330"], self.SPANS, "unused") is None

    @pytest.mark.parametrize(
        "engine, ticks, expected",
        [
            ("replay", 5_000_000, None),
            ("replay", 10_000_000,
             "a long run: about 10,000,000 ticks over 250 trading days, replayed a day at a time"),
            ("paced", 10_000_000,
             "a long run: about 10,000,000 ticks over 250 trading days; the paced engine loads "
             "them all before the first tick, about 2.3 GiB of memory (the replay engine holds "
             "two days at a time)"),
        ],
    )
    def test_a_large_run_is_told_in_one_line(self, engine, ticks, expected):
        assert size.large_run_notice(ticks, 250, engine, None) == expected

    def test_ticks_cached_replay_faster_than_those_the_offline_broker_makes(self, tmp_path):
        broker = SimulatedBroker(0)
        path = tmp_path / broker.tick_source / "sino" / "ticks" / "2330 2024-01-08 - ticks.csv"
        path.parent.mkdir(parents=True)
        path.write_bytes(b"x" * size.CACHED_BYTES_PER_ROW * 60_000)
        seconds = size.estimated_seconds(broker, 190_000, ["2330"], self.SPANS, str(tmp_path))
        assert seconds == 60_000 / 300_000 + 130_000 / 65_000


def test_the_command_tells_of_a_large_run_before_its_first_tick(
    ticker_built, tmp_path, capsys, monkeypatch
):
    monkeypatch.setattr(size, "LARGE_RUN_TICKS", 150)
    argv = ["--ticks-per-day", "40", "--data-dir", str(tmp_path), "--end", "2024-01-09"]
    assert cli.main(argv) == 0
    out = " ".join(capsys.readouterr().out.split())
    notice = "a long run: about 320 ticks over 4 trading days (roughly 1 s), replayed a day at"
    assert out.startswith(notice) and "Per code" in out


def test_the_progress_bar_shows_the_time_to_go_the_pace_and_the_day():
    console = Console(file=io.StringIO(), force_terminal=True, color_system=None, width=150)
    with progress_bar(console, "replaying ticks", "ticks") as advance:
        advance(1000, 10_000, dt.date(2024, 1, 8))
        advance(2000, 10_000, None)  # a report without a day keeps the one shown
    shown = console.file.getvalue()
    assert " 2000/10000 0:00:00 ETA 0:00:" in shown and " ticks/s 2024-01-08" in shown
