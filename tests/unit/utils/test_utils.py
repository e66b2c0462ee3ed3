import subprocess
import sys
from datetime import datetime

import pytest

from quorvel import utils
from quorvel.constant import BASIC_INFO


class TestLogger:
    def test_log_file_follows_data_dir_at_emit_time(self, data_dir, caplog):
        utils.logger.error('{"error": "first"}')
        BASIC_INFO.data_dir = str(data_dir / "later")
        utils.logger.error("second")
        first = (data_dir / "logs" / "quorvel.log").read_text(encoding="utf-8")
        second = (data_dir / "later" / "logs" / "quorvel.log").read_text(encoding="utf-8")
        assert first.count("\n") == 1 and first.endswith('{"error": "first"}\n')
        assert second.count("\n") == 1 and second.endswith("second\n")
        assert caplog.messages == ['{"error": "first"}', "second"]  # still propagates

    def test_import_writes_nothing(self, tmp_path):
        code = "import quorvel.utils as u, os, sys; sys.exit(os.path.exists(u.BASIC_INFO.data_dir))"
        env = {"HOME": str(tmp_path), "PYTHONPATH": ":".join(sys.path)}
        assert subprocess.run([sys.executable, "-c", code], env=env, timeout=60).returncode == 0


def test_console_prints_markup_as_one_plain_line_off_terminal(capsys):
    utils.console.print("[green]" + "word " * 40 + "done[/green]")
    assert capsys.readouterr().out == "word " * 40 + "done\n"


class TestFormatToDt:
    @pytest.mark.parametrize(
        "text, expected",
        [
            ("2024-01-02", datetime(2024, 1, 2)),
            ("2024-01-02 09:05", datetime(2024, 1, 2, 9, 5)),
            ("2024-01-02 09:05:07", datetime(2024, 1, 2, 9, 5, 7)),
            ("2024-01-02T09:05:07+08:00", datetime(2024, 1, 2, 9, 5, 7)),
        ],
    )
    def test_accepted_forms_give_naive_datetime(self, text, expected):
        result = utils.format_to_dt(text)
        assert result == expected and result.tzinfo is None

    @pytest.mark.parametrize("bad", ["2024/01/02", "2024-02-30", None, 20240102])
    def test_rejected_input_is_named(self, bad):
        with pytest.raises(ValueError, match="cannot read " + repr(bad)):
            utils.format_to_dt(bad)


@pytest.mark.parametrize(
    "ts, digits, expected",
    [
        (1700000000123456789, 8, round(1700000000.12345679, 8)),
        # Just over half a microsecond: dividing as floats first would lose it.
        (1700000000000000501, 6, 1700000000.000001),
        (2_500_000_000, 0, 2.0),
        (-1_500_000, 3, -0.002),
    ],
)
def test_nano_to_seconds_rounds_exactly_half_to_even(ts, digits, expected):
    assert utils.format_nano_ts_to_second_ts(ts, digits) == expected


def test_make_dir_creates_parents_and_is_idempotent(tmp_path):
    target = tmp_path / "a" / "b"
    utils.make_dir(str(target))
    utils.make_dir(str(target))
    assert target.is_dir()
