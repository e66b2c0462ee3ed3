"""Ctrl-C, SIGTERM and SIGHUP end a run the same way: the partial tables and files, the
temporary data directory removed, and the signal's exit status."""

import json
import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

WAIT = 60  # seconds any single wait of a test may take

# Takes a millisecond per live tick, and says on stderr when the first one comes.
SLOW_STRATEGY = textwrap.dedent("""
    import sys, time
    from quorvel.backtest import Strategy

    class Slow(Strategy):
        def on_tick(self, tick):
            if not getattr(self, "replaying", False):
                self.replaying = True
                print("replaying", file=sys.stderr, flush=True)
            if not self.position("2330"):
                self.buy("2330", 1)
            time.sleep(0.001)
""")

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")


@pytest.mark.parametrize(
    "number, reason",
    [
        (signal.SIGINT, "interrupted"),
        (signal.SIGTERM, "terminated by SIGTERM"),
        (getattr(signal, "SIGHUP", None), "terminated by SIGHUP"),
    ],
    ids=["SIGINT", "SIGTERM", "SIGHUP"],
)
@pytest.mark.parametrize("engine", ["replay", "paced"])
def test_a_signal_ends_the_run_with_its_partial_tables_and_files(engine, number, reason, tmp_path):
    pytest.importorskip("quorvel.modules.ticker.ticker")
    pytest.importorskip("matplotlib")
    (tmp_path / "slow.py").write_text(SLOW_STRATEGY, encoding="utf-8")
    temp = tmp_path / "temp"  # the run's default data directory goes in here
    temp.mkdir()
    output, image = tmp_path / "out", tmp_path / "equity.png"
    argv = ["--codes", "2330", "--no-backfill", "--end", "2024-01-08", "--ticks-per-day", "20000"]
    argv += ["--strategy", f"{tmp_path / 'slow.py'}:Slow", "--engine", engine]
    argv += ["--output", str(output), "--plot", str(image)]
    child = subprocess.Popen(
        [sys.executable, "-m", "quorvel", *argv],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "TMPDIR": str(temp)},
    )
    try:
        assert select.select([child.stderr], [], [], WAIT)[0], "the replay did not start"
        assert child.stderr.readline() == "replaying\n"
        child.send_signal(number)
        out, err = child.communicate(timeout=WAIT)
    finally:
        child.kill()
    assert child.returncode == 128 + number, err
    assert "Traceback" not in err
    assert reason in out and "partial: stopped early" in out and "Per code" in out
    summary = json.loads((output / "summary.json").read_text())
    assert (summary["partial"], summary["stopped"]) == (True, reason)
    assert 0 < summary["run"]["live_ticks"] < 20_000
    assert image.read_bytes().startswith(b"\x89PNG")
    assert [entry.name for entry in temp.iterdir() if entry.name.startswith("quorvel-")] == []
