"""The account's options on the command line, and what its files and tables say of it."""

import json

import polars as pl
import pytest

from quorvel import cli
from quorvel.backtest import AccountRules, FuturesMargin

ONE_DAY = ["--ticks-per-day", "100", "--start", "2024-01-08", "--end", "2024-01-08"]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["--stock-account", "credit"], "argument --stock-account: invalid choice: 'credit'"),
        (["--margin-buy", "0"], "argument --margin-buy: must be more than 0 and at most 100"),
        (["--short-margin", "120"], "argument --short-margin: must be more than 0 and at most 100"),
        (["--margin-call", "ignore"], "argument --margin-call: invalid choice: 'ignore'"),
        (
            ["--futures-margin", "TXF=abc"],
            "--futures-margin: expected PRODUCT=INITIAL/MAINTENANCE, not 'TXF=abc'",
        ),
        (
            ["--futures-margin", "TXF=100/200"],
            "--futures-margin: TXF: a margin needs 0 <= maintenance <= initial, not 100/200",
        ),
        (["--day-trade-tax", "-1"], "--day-trade-tax: must be a finite number of at least 0"),
        (["--futures-margin", "NOPE=1/1"], "--futures-margin: unknown futures product 'NOPE'"),
    ],
)
def test_bad_account_options_exit_with_2_and_say_why(argv, message, capsys):
    with pytest.raises(SystemExit) as exit_info:
        cli.main(argv)
    assert exit_info.value.code == 2
    assert message in capsys.readouterr().err


def test_the_options_make_the_accounts_rules():
    parser = cli.build_parser()
    argv = ["--stock-account", "margin", "--margin-buy", "50", "--short-margin", "100"]
    argv += ["--futures-margin", "mxf=90000/70000", "--futures-margin", "STOCK=20/15"]
    argv += ["--margin-call", "warn", "--day-trade"]
    rules = cli.options.account_rules(parser, parser.parse_args(argv))
    assert rules == AccountRules(
        stock_account="margin",
        day_trade=True,
        margin_buy_pct=50.0,
        short_margin_pct=100.0,
        futures_margins={"MXF": FuturesMargin(90_000, 70_000)},
        stock_futures_margin_pct=FuturesMargin(20, 15),
        margin_call="warn",
    )
    assert cli.options.account_rules(parser, parser.parse_args([])) == AccountRules()


def test_the_account_goes_into_the_files_and_the_run_table(ticker_built, tmp_path, capsys):
    output = tmp_path / "out"
    argv = [*ONE_DAY, "--data-dir", str(tmp_path / "data"), "--output", str(output)]
    argv += ["--stock-account", "margin", "--futures-margin", "TXF=300000/200000"]
    argv += ["--day-trade-tax", "0.1"]
    assert cli.main(argv) == 0
    summary = json.loads((output / "summary.json").read_text())
    account = summary["settings"]["account"]
    assert account["rules"] is True and account["stock_account"] == "margin"
    assert account["futures_margins"]["TXF"] == {"initial": 300_000, "maintenance": 200_000}
    assert account["margin_tables"][0] == "2024-12-09"
    assert summary["settings"]["costs"]["stock_day_trade_tax_pct"] == 0.1
    equity = pl.read_csv(output / "equity.csv")
    assert {"cash", "margin_in_use", "buying_power"} <= set(equity.columns)
    assert 0 < equity["margin_in_use"].max() <= summary["run"]["peak_margin_in_use"]
    assert "day_trade_qty" in pl.read_csv(output / "fills.csv").columns
    out = " ".join(capsys.readouterr().out.split())
    assert "account margin (buys 40 %, shorts 90 %); margin calls broker (due 12:00, risk 25 %)" in out
    assert f"orders the account refused {summary['run']['refused_orders']:,} " in out


def test_no_account_rules_gives_the_unlimited_account(ticker_built, tmp_path, capsys):
    argv = [*ONE_DAY, "--data-dir", str(tmp_path / "data"), "--capital", "1000"]
    assert cli.main([*argv, "--no-account-rules"]) == 0
    out = " ".join(capsys.readouterr().out.split())
    assert "account no rules (unlimited)" in out and "orders the account refused 0 " in out
    assert cli.main(argv) == 0  # the same capital with rules: everything refused
    out = " ".join(capsys.readouterr().out.split())
    assert "total 0 0 0" in out
