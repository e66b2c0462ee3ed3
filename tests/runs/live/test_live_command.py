"""`quorvel-live` as a user runs it: the demo session, its record and its reconcile; and the
refusals that keep a live order from going out without its account."""

import json
import subprocess
import sys

import pytest

from quorvel.live.command import main

WAIT = 120  # seconds a command may take

FLIP = """
from quorvel.backtest import OrderError, Strategy

class Flip(Strategy):
    every = 40

    def on_tick(self, tick):
        self.seen = getattr(self, "seen", 0) + 1
        if self.seen % self.every or self.working_orders(tick["code"]):
            return
        try:
            if self.position(tick["code"]) <= 0:
                self.buy(tick["code"], 1, tick["close"])
            else:
                self.sell(tick["code"], 1)
        except OrderError:
            pass
"""


def quorvel_live(*argv):
    return subprocess.run([sys.executable, "-m", "quorvel.live", *argv], capture_output=True,
                          text=True, timeout=WAIT)


def test_the_demo_runs_a_session_records_it_and_reconciles_it(tmp_path):
    (tmp_path / "flip.py").write_text(FLIP, encoding="utf-8")
    record = tmp_path / "record"
    session = quorvel_live("--demo", "--speed", "2000", "--codes", "2330", "TXFR1", "--strategy",
                           f"{tmp_path / 'flip.py'}:Flip", "--record", str(record),
                           "--ticks-per-day", "300", "--data-dir", str(tmp_path / "data"),
                           "--output", str(tmp_path / "out"))
    assert session.returncode == 0, session.stderr
    assert "Orders by kind" in session.stdout and f"session record: {record}" in session.stdout
    assert (tmp_path / "out" / "summary.json").exists()  # the backtest's files, of the session
    header = json.loads((record / "session.json").read_text())
    assert (header["mode"], header["day"], header["codes"]) == (
        "demo", "2024-01-08", ["2330", "TXFR1"])
    lines = (record / "events.jsonl").read_text().splitlines()
    kinds = {json.loads(line)["kind"] for line in lines}
    assert kinds >= {"tick", "quote", "operation", "report"}
    assert len(list((record / "ticks").rglob("* 2024-01-08 - ticks.csv"))) == 2  # cache layout
    replay = quorvel_live("reconcile", str(record))
    assert replay.returncode == 0, replay.stderr
    assert "The fill model's error" in replay.stdout and "orders paired" in replay.stdout


@pytest.mark.parametrize("argv, line", [
    (["--live"], "--live trades for real and needs --account, the account to trade"),
    (["--account", "0000001"], "--account names the account to trade live: give --live with it"),
    (["--live", "--account", "1", "--demo"],
     "--demo trades with the local stand-in only: leave out --live"),
])
def test_a_live_session_needs_its_account_typed_out(argv, line, capsys):
    with pytest.raises(SystemExit) as stopped:
        main(["--strategy", "quorvel.examples.mean_reversion:MeanReversion", *argv])
    assert stopped.value.code == 2
    assert capsys.readouterr().err == f"quorvel-live: error: {line} (see quorvel-live --help)\n"


def test_paper_trading_without_the_keys_stops_before_any_login(monkeypatch, capsys):
    monkeypatch.delenv("SJ_API_KEY", raising=False)
    monkeypatch.delenv("SJ_SEC_KEY", raising=False)
    assert main(["--strategy", "quorvel.examples.mean_reversion:MeanReversion"]) == 1
    said = capsys.readouterr().err
    assert "set SJ_API_KEY and SJ_SEC_KEY to the broker's API key and secret key" in said
