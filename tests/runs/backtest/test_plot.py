"""The PNG plot: a time axis labelled for its span, the legend beside the data, a colour per code,
a title inside the image, and each code's price with its buys and sells."""

import datetime as dt
import json
import re

import pytest
from quorvel.examples.mean_reversion import MeanReversion

from backtest_support import CODES, backtest

from quorvel.backtest import Strategy
from quorvel.backtest.output.charts import code_colours
from quorvel.backtest.output.plot import equity_figure
from quorvel.backtest.output.report import write_report
from quorvel.backtest.results.trading_time import TradingTime
from quorvel.market.calendar import broker_seconds, wall_clock

mdates = pytest.importorskip("matplotlib.dates")
trading_axis = pytest.importorskip("quorvel.backtest.output.trading_axis")

TWELVE_CODES = ["2888", "2409", "2884", "2303", "1301", "2317"]
TWELVE_CODES += ["2603", "2330", "6488", "0050", "TXFR1", "MXFR1"]
SESSION = 270 * 60  # seconds of a day session, 09:00 to 13:30


def trading_hours(first_day, days):
    """The trading time of the day sessions of `days` weekdays from `first_day`."""
    sessions, day = [], first_day
    while len(sessions) < days:
        if day.weekday() < 5:
            opening = broker_seconds(dt.datetime.combine(day, dt.time(9)))
            sessions.append((opening, opening + SESSION))
        day += dt.timedelta(days=1)
    return TradingTime(sessions)


def tick_labels(time):
    locator = trading_axis.TradingTimeLocator(time)
    ticks = locator.tick_values(0, time.total)
    return ticks, trading_axis.TradingTimeFormatter(locator).format_ticks(ticks)


class TestTimeAxis:
    def test_a_year_is_labelled_by_month_each_at_its_share_of_the_trading_hours(self):
        time = trading_hours(dt.date(2023, 1, 2), 250)
        ticks, labels = tick_labels(time)
        assert 4 <= len(ticks) <= 12 and ticks[0] == 0
        months = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov"}
        assert set(labels) <= months | {"2023", "2024", "Dec"}
        for tick in ticks[1:]:  # each at the opening of its month's first day
            opening, before = (wall_clock(time.moment(at)) for at in (tick, tick - 1))
            assert opening.time() == dt.time(9) and before.month < opening.month
            assert tick % SESSION == 0 and opening.day <= 3

    def test_a_week_is_labelled_by_day_each_at_its_opening(self):
        ticks, labels = tick_labels(trading_hours(dt.date(2024, 1, 8), 5))
        assert labels == ["08", "09", "10", "11", "12"]
        assert ticks == [day * SESSION for day in range(5)]

    @pytest.mark.parametrize("days", [10, 15, 40])
    def test_a_tick_falling_on_a_weekend_names_the_day_after_it(self, days):
        # Saturday's and Sunday's times fall on Monday's opening: it reads Monday.
        time = trading_hours(dt.date(2024, 1, 8), days)
        ticks, labels = tick_labels(time)
        assert len(ticks) >= 4 and len(ticks) == len(set(ticks))
        for tick, label in zip(ticks, labels):
            if label.isdigit():
                assert label == wall_clock(time.moment(tick)).strftime("%d")

    def test_a_single_day_is_labelled_by_hour(self):
        _, labels = tick_labels(trading_hours(dt.date(2024, 1, 8), 1))
        assert labels and all(label.endswith(":00") or label.endswith(":30") for label in labels)


def test_twelve_codes_get_twelve_colours_and_forty_more_stay_distinct():
    assert len(set(code_colours(12))) == 12
    assert len(set(code_colours(40))) == 40


@pytest.fixture(scope="module")
def quiet_week(engines_built, data_dir):
    """A week sampled at every tick, nothing held: a point a day on the timeline."""
    return backtest(data_dir, Strategy(), period=("2024-01-08", "2024-01-12"), backfill=None,
                    equity_every=1, ticks_per_day=400)


class TestPricePath:
    def test_the_plot_and_the_page_draw_the_path_on_trading_time(self, quiet_week, tmp_path):
        result = quiet_week
        figure = equity_figure(result)
        position = result.trading_time.position
        *_, total, _zero_line = figure.axes[0].get_lines()
        assert list(total.get_xdata()) == [position(t) for t in result.evaluate().curve.timestamps]
        assert figure.axes[0].get_xlim() == (0, result.trading_time.total)
        pytest.importorskip("plotly")
        write_report(result, str(tmp_path / "report.html"))
        page = (tmp_path / "report.html").read_text(encoding="utf-8")
        for code, panel in zip(CODES, figure.axes[2:]):
            times, prices = result.price_path.of(code)
            [line] = panel.get_lines()
            assert list(line.get_xdata()) == [position(t) for t in times]
            assert list(line.get_ydata()) == prices and len(prices) > 100 * len(result.timeline)
            trace = page.split(f'"name":"{code} price"', 1)[1]
            shown = json.loads(re.match(r'[^]]*?"x":(\[[^]]*\])', trace).group(1))
            assert shown == [wall_clock(time).isoformat() for time in times]


@pytest.fixture(scope="module")
def twelve_codes_figure(engines_built, data_dir):
    result = backtest(data_dir, MeanReversion(ma=10, every=3), codes=TWELVE_CODES, market_seed=4,
                      ticks_per_day=60, backfill=None, capital=50_000_000)
    figure = equity_figure(result)
    figure.canvas.draw()
    yield result, figure


class TestFigure:
    def test_the_legend_lies_beside_the_data_and_the_title_inside_the_image(
        self, twelve_codes_figure
    ):
        _, figure = twelve_codes_figure
        equity_axes = figure.axes[0]
        legend = equity_axes.get_legend()
        assert [text.get_text() for text in legend.get_texts()] == [*TWELVE_CODES, "total"]
        assert legend.get_window_extent().x0 >= equity_axes.get_window_extent().x1
        image, title = figure.bbox, figure.get_suptitle()
        title_box = figure._suptitle.get_window_extent()
        assert "MeanReversion" in title
        assert image.x0 <= title_box.x0 and title_box.x1 <= image.x1
        assert title_box.y1 <= image.y1

    def test_each_code_has_a_price_panel_with_its_buys_and_sells(self, twelve_codes_figure):
        result, figure = twelve_codes_figure
        fills = result.fills_frame()
        panels = figure.axes[2:]
        assert [panel.get_title(loc="left").split(":")[0] for panel in panels] == TWELVE_CODES
        for code, panel in zip(TWELVE_CODES, panels):
            buys, sells = (collection.get_offsets() for collection in panel.collections)
            of_code = fills.filter(code=code)
            assert len(buys) == of_code.filter(action="Buy").height
            assert len(sells) == of_code.filter(action="Sell").height
            assert sorted(buys[:, 1]) == sorted(of_code.filter(action="Buy")["price"])
        assert fills.height > 0
