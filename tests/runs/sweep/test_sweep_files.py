"""The sweep's files hold money in whole NTD and ratios to four places, not float noise."""

import json

import polars as pl

from quorvel.sweep import SweepResult, SweepRow, SweepSettings

NOISY = {
    "net_pnl": -2650999.9999999995,
    "fees": 10499.500000001,
    "turnover": 12.345678901,
    "sharpe": -1.23456789,
    "win_rate": 0.3333333333,
    "fills": 7,
}


def test_money_is_whole_ntd_and_ratios_have_four_places(tmp_path):
    result = SweepResult([SweepRow({"ma": 20}, NOISY)], "net_pnl", 1, SweepSettings(("2330",)), "T")
    result.write(str(tmp_path))
    expected = {
        "net_pnl": -2651000,
        "fees": 10500,
        "turnover": 12.3457,
        "sharpe": -1.2346,
        "win_rate": 0.3333,
        "fills": 7,
    }
    row = json.loads((tmp_path / "sweep.json").read_text(encoding="utf-8"))["rows"][0]
    assert {name: row[name] for name in expected} == expected
    table = pl.read_csv(tmp_path / "sweep.csv")
    assert {name: table[name][0] for name in expected} == expected
    assert "99999" not in (tmp_path / "sweep.csv").read_text()
