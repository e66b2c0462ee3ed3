"""The packages' layers: the command line sits on top, and nothing below it imports upward."""

import ast
import pathlib
import subprocess
import sys

import pytest

import quorvel

SOURCE = pathlib.Path(quorvel.__file__).parent
# What each package may not import, even lazily inside a function.
ABOVE = {
    "backtest": ("quorvel.cli", "quorvel.sweep"),
    "sweep": ("quorvel.cli",),
}


def imported_modules(path):
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module


@pytest.mark.parametrize("package", sorted(ABOVE))
def test_a_package_imports_nothing_above_it(package):
    files = sorted((SOURCE / package).glob("*.py"))
    assert files
    upward = [
        (path.name, module)
        for path in files
        for module in imported_modules(path)
        if module.startswith(ABOVE[package])
    ]
    assert upward == []


@pytest.mark.parametrize("package", ["quorvel.backtest", "quorvel.sweep"])
def test_importing_a_package_loads_no_command_line(package):
    script = (
        f"import sys, {package}\n"
        "print(' '.join(name for name in sys.modules if name.startswith("
        "('quorvel.cli', 'quorvel.sim', 'rich.progress'))))"
    )
    child = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert child.returncode == 0, child.stderr
    assert child.stdout.split() == []
