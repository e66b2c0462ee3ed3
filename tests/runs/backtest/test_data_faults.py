"""A broker's wrong answer for one day stops the run before that day is replayed, naming the code
and the day; with `accept_data_faults` the run goes on and keeps the fault as a warning."""

import datetime as dt
import json

import pytest

from backtest_support import backtest
from quorvel.backtest import DataFaultError
from quorvel.backtest.output.files import summary
from quorvel.sim import SimulatedBroker, Ticks

DAY = "2024-01-09"  # the period's second day


class FaultyBroker(SimulatedBroker):
    """The offline broker whose answer for `DAY` is wrong in the way `fault` names: another day's
    ticks, the right ticks stamped a day early, an empty answer, or every tick twice."""

    def __init__(self, fault):
        super().__init__(5, ticks_per_day=300)
        self.fault = fault

    def ticks(self, contract, date):
        if date != DAY:
            return super().ticks(contract, date)
        if self.fault == "wrong day":
            return super().ticks(contract, "2024-01-08")
        right = super().ticks(contract, date)
        columns = {key: list(right[key]) for key in right.keys()}
        if self.fault == "empty":
            columns = {key: [] for key in columns}
        elif self.fault == "shifted":
            early = int(dt.timedelta(days=1).total_seconds() * 1e9)
            columns["ts"] = [ts - early for ts in columns["ts"]]
        else:
            columns = {key: [v for v in values for _ in (0, 1)] for key, values in columns.items()}
        return Ticks(*(columns[key] for key in right.keys()))


FAULTS = {
    "wrong day": "ticks outside the day's sessions",
    "shifted": "ticks outside the day's sessions",
    "empty": "no ticks on a trading day",
    "doubled": "ticks given twice",
}


@pytest.mark.parametrize("fault, engine", [*((f, "replay") for f in FAULTS), ("empty", "paced")])
def test_a_wrong_answer_stops_the_run_naming_code_and_day(tmp_path, fault, engine):
    with pytest.raises(DataFaultError) as stopped:  # the paced engine before its first tick
        backtest(tmp_path, broker=FaultyBroker(fault), engine=engine)
    message = str(stopped.value)
    assert message.startswith(f"2330 {DAY}: ") and FAULTS[fault] in message, message
    assert "\n" not in message and "--accept-data-faults" in message
    faulty = {(fault.code, fault.day) for fault in stopped.value.faults}
    assert faulty == {("2330", DAY), ("TXFR1", DAY)}


def test_accepted_faults_are_replayed_and_kept_as_warnings(tmp_path):
    result = backtest(tmp_path, broker=FaultyBroker("doubled"), accept_data_faults=True)
    clean = backtest(tmp_path / "clean")
    assert result.live_ticks == clean.live_ticks + 2 * 300
    assert [text.split(":")[0] for text in result.data_faults] == [f"2330 {DAY}", f"TXFR1 {DAY}"]
    assert [f"data fault: {text}" for text in result.data_faults] == result.warnings[:2]
    document = json.loads(json.dumps(summary(result)))
    assert document["run"]["data_faults"] == result.data_faults
    assert document["settings"]["accept_data_faults"] is True
    assert clean.data_faults == [] and clean.warnings == []
