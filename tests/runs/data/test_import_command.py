"""The command `quorvel-import`: what it writes and prints, and its one-line failures."""

import subprocess
import sys

import pytest

from quorvel.data.command import main

from data_support import TAIFEX_FILES


def test_taifex_files_are_imported_and_summed_up_per_code(data_dir, cache_dir, capsys):
    assert main(["taifex", *TAIFEX_FILES, "--months", "202408", "--data-dir", data_dir]) == 0
    out = capsys.readouterr().out
    assert "27 days of 9 codes written to " + str(cache_dir) in out
    assert any(
        line.split("│")[1:6] == [" TXFR1 ", "    3 ", " 2024-08-19 ", " 2024-08-21 ", "    20 "]
        for line in out.splitlines()
    )


def test_generic_ticks_take_the_named_columns(tmp_path, data_dir, cache_dir, capsys):
    source = tmp_path / "ticks.csv"
    source.write_text("time,price,qty\n2024-01-08 09:00:00,580,2\n")
    argv = [
        "ticks",
        str(source),
        "--code",
        "2330",
        "--time-column",
        "time",
        "--price-column",
        "price",
    ]
    assert main([*argv, "--volume-column", "qty", "--data-dir", data_dir]) == 0
    assert (cache_dir / "2330 2024-01-08 - ticks.csv").exists()


def test_a_failed_import_says_so_on_one_line_and_writes_nothing(
    tmp_path, data_dir, cache_dir, capsys
):
    missing = str(tmp_path / "no such file.csv")
    assert main(["taifex", *TAIFEX_FILES, missing, "--data-dir", data_dir]) == 1
    out, err = capsys.readouterr()
    assert not out.strip()
    assert err.startswith(f"import failed, nothing written: {missing}: cannot read: ")
    assert "\n" not in err.strip()
    assert not cache_dir.exists()


@pytest.mark.parametrize("argv", [["taifex", "x.csv"], ["ticks", "x.csv", "--data-dir", "d"]])
def test_the_data_directory_and_the_code_are_required(argv, capsys):
    with pytest.raises(SystemExit) as exit_info:
        main(argv)
    assert exit_info.value.code == 2


def test_a_month_not_of_the_form_yyyymm_exits_with_2(capsys):
    with pytest.raises(SystemExit, match="^2$"):
        main(["taifex", "x.csv", "--data-dir", "d", "--months", "2024"])
    assert "--months: not a contract month of the form YYYYMM: '2024'" in capsys.readouterr().err


def test_the_command_is_installed_and_the_package_loads_no_command_line_code():
    from importlib.metadata import distribution

    scripts = {
        entry.name: entry.value
        for entry in distribution("quorvel").entry_points
        if entry.group == "console_scripts"
    }
    assert scripts["quorvel-import"] == "quorvel.data.command:main"
    code = "import sys, quorvel.data; print(sorted({'argparse', 'rich', 'quorvel.data.command'} & set(sys.modules)))"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "[]"), child.stderr


def test_settlement_prices_are_kept_a_month_imported_again_taking_the_new_one(
    tmp_path, data_dir, capsys
):
    from quorvel.data import read_settlements

    first, again, bad = (tmp_path / name for name in ("a.csv", "b.csv", "bad.csv"))
    first.write_text("product,month,settlement_price\nTX,202407,23000\nMXF,202408,22010\n")
    # A price written with Python's digit separator is read as Python reads it.
    again.write_text("product,month,settlement_price\nTXF,202407,23001\nTMF,202409,22_000\n")
    bad.write_text("product,month,settlement_price\nTX,2024-09,21000\n")
    for path, months in ((first, 2), (again, 3)):
        assert main(["settlements", str(path), "--data-dir", data_dir]) == 0
        assert f"final settlement prices of {months} months kept in" in capsys.readouterr().out
    assert main(["settlements", str(bad), "--data-dir", data_dir]) == 1
    out = capsys.readouterr().err.strip()
    assert out.startswith(f"import failed, nothing written: {bad}: row 2: expected a product")
    kept = {"TXF202407": 23001.0, "MXF202408": 22010.0, "TMF202409": 22000.0}
    assert read_settlements(data_dir) == kept


def test_corporate_actions_are_kept_and_a_bad_row_is_one_line(tmp_path, data_dir, capsys):
    from quorvel.data import read_actions
    from quorvel.market.actions import CorporateAction

    good, bad = tmp_path / "good.csv", tmp_path / "bad.csv"
    good.write_text(
        "code,ex_date,cash_dividend,stock_dividend,payment_date\n"
        "2330,2024-06-13,3.5,0,2024-07-11\n2317,2024-07-02,5.4,,\n"
    )
    bad.write_text("code,ex_date,cash_dividend,stock_dividend\n2330,2024-06-13,-1,0\n")
    assert main(["actions", str(good), "--data-dir", data_dir]) == 0
    assert "2 corporate actions kept in" in capsys.readouterr().out
    assert main(["actions", str(bad), "--data-dir", data_dir]) == 1
    out = capsys.readouterr().err.strip()
    assert out.startswith(f"import failed, nothing written: {bad}: row 2 ") and "\n" not in out
    assert read_actions(data_dir) == [
        CorporateAction("2330", "2024-06-13", 3.5, 0.0, "2024-07-11"),
        CorporateAction("2317", "2024-07-02", 5.4, 0.0, ""),
    ]


def test_check_prints_each_days_audit_at_80_columns_and_names_its_faults(data_dir, capsys):
    assert main(["taifex", *TAIFEX_FILES, "--months", "202408", "--data-dir", data_dir]) == 0
    capsys.readouterr()
    assert main(["check", data_dir, "--gap", "3600"]) == 1
    lines = capsys.readouterr().out.splitlines()
    assert max(map(len, lines)) <= 80
    rows = {tuple(line.split()[:2]): line.split()[2:] for line in lines if line[:1] == " "}
    # Nine trades of the 19th, from the night session's opening to the day session's last minute.
    assert rows[("TXFR1", "2024-08-19")] == [
        "9", "15:00:00", "13:44:59", "3", "(9h)", "night", "0%", "day", "1%", "ok"
    ]
    assert rows[("TMFR1", "2024-08-21")][:3] == ["0", "-", "-"]
    assert rows[("TMFR1", "2024-08-21")][-1] == "fault"
    assert lines[-2:] == [
        "TMFR1 2024-08-21: no ticks on a trading day",
        "27 days checked, 1 with a fault",
    ]
