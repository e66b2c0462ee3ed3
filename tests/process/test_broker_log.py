"""The broker package's log file: a backtest run from Python puts it under the data directory,
not into the working directory, and a path the user set wins."""

import os
import subprocess
import sys
import textwrap

import pytest

RUN = textwrap.dedent("""
    import sys
    from quorvel.backtest import RunSettings, Strategy, run_backtest
    from quorvel.sim import SimulatedBroker

    broker = SimulatedBroker(0, ticks_per_day=10)
    settings = RunSettings(("2024-01-08", "2024-01-08"), None)
    run_backtest(broker, ["2330"], settings, data_dir=sys.argv[1], strategy=Strategy())
    print("shioaji" in sys.modules)
""")


@pytest.mark.parametrize("user_path", [None, "mine/broker.log"])
def test_a_run_from_python_keeps_the_broker_log_out_of_the_working_directory(
    ticker_built, tmp_path, user_path
):
    work, data = tmp_path / "work", tmp_path / "data"
    work.mkdir()
    env = {key: value for key, value in os.environ.items() if key != "SJ_LOG_PATH"}
    if user_path:
        (tmp_path / "mine").mkdir()
        env["SJ_LOG_PATH"] = str(tmp_path / user_path)
    child = subprocess.run(
        [sys.executable, "-c", RUN, str(data)],
        cwd=work,
        env=env,
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert (child.returncode, child.stdout) == (0, "True\n"), child.stderr
    assert list(work.iterdir()) == []
    assert (data / "logs" / "shioaji.log").is_file() == (user_path is None)
    assert user_path is None or (tmp_path / user_path).is_file()
