"""Ctrl-C and SIGTERM in the middle of a live session: the strategy's working order is cancelled
and its report waited for, the session ends with its summary, and the exit status is the
signal's."""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

WAIT = 60  # seconds any single wait of a test may take

# Rests one limit order far below the market at its first tick, and says so on stderr.
RESTING = textwrap.dedent("""
    import sys
    from quorvel.backtest import Strategy

    class Rests(Strategy):
        def on_tick(self, tick):
            if not getattr(self, "sent", None):
                self.sent = self.buy("2330", 1, self.limit_prices("2330")[0])
                print("resting", self.sent, file=sys.stderr, flush=True)
""")

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")


@pytest.mark.parametrize("number, reason", [(signal.SIGINT, "interrupted"),
                                            (signal.SIGTERM, "terminated by SIGTERM")])
def test_a_signal_cancels_the_working_orders_and_ends_with_the_summary(number, reason, tmp_path):
    (tmp_path / "rests.py").write_text(RESTING, encoding="utf-8")
    record = tmp_path / "record"
    argv = ["--demo", "--speed", "20", "--codes", "2330", "--strategy",
            f"{tmp_path / 'rests.py'}:Rests", "--record", str(record), "--data-dir", str(tmp_path)]
    child = subprocess.Popen([sys.executable, "-m", "quorvel.live", *argv], text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             env={**os.environ, "COLUMNS": "120"})
    try:
        ready, _, _ = select.select([child.stderr], [], [], WAIT)
        assert ready, "the session never sent its order"
        sent = child.stderr.readline().split()
        assert sent[0] == "resting"
        child.send_signal(number)
        out, err = child.communicate(timeout=WAIT)
    finally:
        child.kill()
        child.wait(timeout=WAIT)
    assert child.returncode == 128 + number, err
    assert "1 working orders cancelled at the end\n" in out and f"\n{reason}\n" in out
    assert "| 0 working |" in out  # the status line's last word
    assert "Orders by kind" in out  # the backtest's tables, of the session
    lines = [json.loads(line) for line in (record / "events.jsonl").read_text().splitlines()]
    cancels = [line for line in lines if line.get("operation") == "cancel"]
    reports = [line["report"] for line in lines if line["kind"] == "report"]
    assert [line["arguments"]["trade_id"] for line in cancels] == [sent[1]]
    assert [r["operation_type"] for r in reports] == ["New", "Cancel"]
