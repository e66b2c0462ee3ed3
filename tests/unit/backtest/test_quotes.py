"""A code's quote after the frame it last ticked in has been replayed: found however far back
its last row lies, kept while later frames hold no row of it."""

import polars as pl

from quorvel.backtest.engine.quotes import QUOTE_COLUMNS, Quotes


def frame(codes):
    """Rows of `codes` in order; each row's prices and volumes are its row number."""
    rows = range(len(codes))
    return pl.DataFrame(
        {"code": codes, **{column: [float(row) if "price" in column else row for row in rows]
                           for column in QUOTE_COLUMNS}}
    )


def quote_of_row(row):
    return {column: float(row) if "price" in column else row for column in QUOTE_COLUMNS}


def replayed(quotes, rows, up_to):
    quotes.replaying(rows)
    quotes.cursor[0] = up_to


def test_the_latest_quote_of_each_code_outlives_its_frame():
    quotes = Quotes(["2330", "TXFR1", "2317", "0050"])
    # 2330 ticks once, early; TXFR1 to the end; 2317 only after the cursor stops.
    first = frame(["2330"] + ["TXFR1"] * 5000 + ["2317"] * 10)
    replayed(quotes, first, 5000)
    replayed(quotes, frame(["TXFR1"] * 3), 1)
    assert quotes.latest("2330") == quote_of_row(0)  # 5,000 rows back from the end
    assert quotes.latest("TXFR1") == quote_of_row(1)  # the current frame's
    assert quotes.latest("2317") is None  # its rows lay beyond the cursor
    assert quotes.latest("0050") is None
    replayed(quotes, frame(["2317"]), 0)
    # TXFR1's quote is now the second frame's last row replayed, 2330's still the first's.
    assert quotes.latest("TXFR1") == quote_of_row(1) and quotes.latest("2330") == quote_of_row(0)
    assert quotes.latest("2317") == quote_of_row(0)
