"""The report page: one file that a browser opens offline, with the tables, the charts drawn and
every round trip."""

import html
import os
import re
import shutil
import subprocess

import pytest

from quorvel.backtest.output.charts import closed_stretches
from quorvel.backtest.output.report import write_report

pytest.importorskip("plotly")

CODES = ["2330", "TXFR1"]
BROWSER_WAIT = 90  # seconds headless Chromium may take to load and draw the page


@pytest.fixture(scope="module")
def result(mean_reversion_runs):
    return mean_reversion_runs[0]


@pytest.fixture(scope="module")
def page(result, tmp_path_factory):
    path = tmp_path_factory.mktemp("report") / "report.html"
    write_report(result, str(path))
    return path


def chromium():
    """The headless browser the page is opened in: Debian's package; CI installs it."""
    found = shutil.which("chromium") or shutil.which("chromium-browser")
    if found is None:
        if os.environ.get("CI"):
            pytest.fail("CI must install Chromium (.ci/run does with apt-get)")
        pytest.skip("headless Chromium is not installed (Debian: apt-get install chromium)")
    return found


def browse(page, *options):
    """Open `page` in headless Chromium, let its scripts run, and return what it printed."""
    command = [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run"]
    command += ["--virtual-time-budget=15000", *options, page.as_uri()]
    done = subprocess.run(command, capture_output=True, text=True, timeout=BROWSER_WAIT)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout


class TestPage:
    def test_the_page_needs_no_network_or_server(self, page):
        text = page.read_text(encoding="utf-8")
        assert len(text) > 1_000_000  # plotly.js itself is in the page
        assert not re.search(r"<(script|link|img|iframe)\b[^>]*\b(src|href)=", text)

    def test_the_page_holds_the_tables_and_every_round_trip(self, page, result):
        text = html.unescape(page.read_text(encoding="utf-8"))
        for title in ("Per code", "P&L in NTD", "Round trips and risk", "Orders by kind", "Run"):
            assert f"<caption>{title}" in text
        round_trips = result.evaluate().round_trips
        assert round_trips and f"<h2>Round trips ({len(round_trips)})</h2>" in text
        body = text.split("<h2>Round trips")[1]
        assert body.count("<tr>") == len(round_trips) + 1  # and the headings
        assert 'Sharpe "-": 3 trading days of returns, fewer than the 20' in text

    def test_the_same_run_writes_the_same_page(self, result, page, tmp_path):
        write_report(result, str(tmp_path / "again.html"))
        assert (tmp_path / "again.html").read_bytes() == page.read_bytes()

    def test_a_partial_run_says_so(self, mean_reversion_runs, tmp_path):
        write_report(mean_reversion_runs[1], str(tmp_path / "partial.html"))
        text = (tmp_path / "partial.html").read_text(encoding="utf-8")
        assert '<p class="partial">Partial: the run stopped early (StopsAfter.on_tick' in text


class TestInTheBrowser:
    def test_the_charts_draw(self, page, result):
        dom = browse(page, "--dump-dom")
        assert 'class="main-svg"' in dom
        # Every panel drew its traces: the P&L lines and the total, the drawdown, and each
        # code's price, buys and sells.
        traces = len(re.findall(r'class="trace scatter', dom))
        assert traces == len(CODES) + 1 + 1 + 3 * len(CODES)
        fills = result.fills_frame().height
        assert fills and dom.count('<path class="point') == fills  # a marker per fill

    def test_a_screenshot_is_not_blank(self, page, tmp_path):
        screenshot = tmp_path / "page.png"
        browse(page, f"--screenshot={screenshot}", "--window-size=1200,1800")
        pixels = screenshot.read_bytes()
        assert pixels.startswith(b"\x89PNG") and len(pixels) > 50_000


def test_the_time_axis_leaves_out_nights_and_the_weekend(result):
    stretches = closed_stretches(result)
    starts = [start.isoformat() for start, _ in stretches]
    # Stocks and futures: between the day and night sessions, the mornings before the
    # day session, and from Saturday's early close to Monday's opening.
    assert "2024-01-08T13:45:01" in starts and "2024-01-09T05:00:01" in starts
    assert any(start.weekday() == 5 and end.weekday() == 0 for start, end in stretches)
    assert all(start < end for start, end in stretches)
