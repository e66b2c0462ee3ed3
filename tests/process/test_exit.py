"""A script may end while the feed's daemon threads are still at work: it must exit cleanly."""

import os
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import os, sys, tempfile
    os.environ.setdefault("SJ_LOG_PATH", os.devnull)
    from quorvel.constant import BASIC_INFO
    BASIC_INFO.data_dir = tempfile.mkdtemp()
    from quorvel.modules.ticker import ticker as ticker_module
    from quorvel.sim import SimulatedBroker

    class Quiet:
        def print(self, text): pass
        def error(self, text): pass

    ticker_module.console = ticker_module.logger = Quiet()
    ticker = ticker_module.Ticker(SimulatedBroker(ticks_per_day=3000))
    codes = [{"code": "2330", "market": "Stock"}, {"code": "TXFR1", "market": "Future"}]
    if sys.argv[1] == "ahead":
        for _ in range(100_000):
            ticker.allow_next_tick()
        ticker.send_ticks(codes, "2024-01-02", "2024-01-03")
        ticker.pop_tick()
    else:
        ticker.send_ticks(codes, "2024-01-02", "2024-01-02", "2023-12-01", "2023-12-31")
""")

RUNS = 10


@pytest.mark.parametrize("mode", ["ahead", "backfill"])
def test_exit_while_threads_run(tmp_path, mode):
    env = dict(os.environ, SJ_LOG_PATH=os.devnull)
    for _ in range(RUNS):
        done = subprocess.run([sys.executable, "-c", SCRIPT, mode], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stderr) == (0, "")


def test_feed_work_after_the_exit_hook_does_not_hang(tmp_path):
    # A handler registered before the ticker was imported runs after the ticker's own exit
    # hook; the thread running it must not be held back like a feed thread.
    script = textwrap.dedent("""
        import atexit, os, tempfile
        os.environ.setdefault("SJ_LOG_PATH", os.devnull)
        def late_load():
            frame = ticker_module.Ticker(SimulatedBroker(ticks_per_day=10)).get_ticks_df(
                "2330", "Stock", "2024-01-02", "2024-01-02")
            print("rows", frame.height)
        atexit.register(late_load)
        from quorvel.constant import BASIC_INFO
        BASIC_INFO.data_dir = tempfile.mkdtemp()
        from quorvel.modules.ticker import ticker as ticker_module
        from quorvel.sim import SimulatedBroker
        class Quiet:
            def print(self, text): pass
            def error(self, text): pass
        ticker_module.console = ticker_module.logger = Quiet()
    """)
    env = dict(os.environ, SJ_LOG_PATH=os.devnull)
    done = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, env=env, capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "rows 10\n", "")
