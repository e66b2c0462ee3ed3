"""What the installed distribution offers tools and users: stubs found by IDEs, version, licence,
and the interpreters CI runs the suite on."""

import importlib.metadata
import importlib.util
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import quorvel

ROOT = Path(__file__).parent.parent


@pytest.mark.parametrize("package", ["quorvel.modules.matcher", "quorvel.modules.ticker", "quorvel.modules.replay"])
def test_extension_module_folders_are_regular_packages(package):
    # Static analysers (jedi among them) read the .pyi stubs only inside regular packages.
    spec = importlib.util.find_spec(package)
    assert spec.origin is not None and Path(spec.origin).name == "__init__.py"
    assert (Path(spec.origin).parent / f"{package.rsplit('.', 1)[1]}.pyi").is_file()


def test_the_feed_door_ships_its_loader_and_its_stub_in_the_ticker_package():
    # The door's module lives in the ticker's library; feed.py loads it under its name.
    folder = Path(importlib.util.find_spec("quorvel.modules.ticker").origin).parent
    assert (folder / "feed.py").is_file() and (folder / "feed.pyi").is_file()


def test_version_comes_from_the_package_metadata_once_asked_for():
    code = "import quorvel; print('__version__' in vars(quorvel), quorvel.__version__)"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.stdout.split() == ["False", importlib.metadata.version("quorvel")], child.stderr
    assert quorvel.__version__ == importlib.metadata.version("quorvel")
    assert not hasattr(quorvel, "version")  # other names are missing as from any module


def test_the_readme_install_line_names_every_extra_a_user_needs():
    extras = (ROOT / "pyproject.toml").read_text().split("dependencies]\n")[1].split("\n[")[0]
    line = re.search(r"pip install '\.\[([\w,]+)\]'", (ROOT / "README.md").read_text())
    assert {*line[1].split(",")} == {*re.findall(r"^(\w+) =", extras, re.M)} - {"test", "docs"}


def test_distribution_is_mit_licensed_and_ships_the_licence_text():
    metadata = importlib.metadata.metadata("quorvel")
    assert metadata.get("License-Expression", metadata.get("License")) == "MIT"
    shipped = [file for file in importlib.metadata.files("quorvel") if file.name == "LICENSE"]
    assert shipped and "MIT License" in shipped[0].read_text()


def test_importing_the_package_and_backtest_leaves_the_broker_package_unimported():
    # The command line points the broker package's log file elsewhere before importing it.
    code = "import sys, quorvel, quorvel.backtest; print('shioaji' in sys.modules)"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "False"), child.stderr


def test_the_plotting_libraries_load_only_when_a_plot_or_a_report_is_made():
    # Both are optional extras ('plot', 'report'), and slow to import.
    code = "import sys, quorvel.backtest; print(sorted({'matplotlib', 'plotly'} & set(sys.modules)))"
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout.strip()) == (0, "[]"), child.stderr


@pytest.mark.skipif(shutil.which("make") is None, reason="needs make")
def test_ci_runs_the_suite_on_every_interpreter_the_package_declares():
    declared = re.findall(
        r"Programming Language :: Python :: (3\.\d+)", (ROOT / "pyproject.toml").read_text()
    )
    dry_run = subprocess.run(
        ["make", "-n", "test-all"], cwd=ROOT, capture_output=True, text=True, timeout=60
    )
    runs = re.findall(r"\.venv-(3\.\d+)/bin/python -m pytest", dry_run.stdout)
    tested = list(dict.fromkeys(runs))  # each interpreter runs the suite more than once
    assert len(declared) >= 5 and tested == declared
