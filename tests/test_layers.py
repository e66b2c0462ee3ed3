"""The packages' layers: the command line sits on top, nothing below it imports upward, and inside
`quorvel.backtest` each layer imports only the layers below it."""

import ast
import pathlib
import subprocess
import sys

import pytest

import quorvel

SOURCE = pathlib.Path(quorvel.__file__).parent
# What each package may not import, even lazily inside a function.
ABOVE = {
    "backtest": ("quorvel.cli", "quorvel.sweep", "quorvel.live"),
    "sweep": ("quorvel.cli", "quorvel.live"),
}
# The layers of quorvel.backtest, bottom first: a module imports from its own layer and those
# before it.
BACKTEST_LAYERS = ["errors", "messages", "core", "settings", "strategy", "account", "results",
                   "engine", "output"]


def imported_modules(path):
    """The modules a file imports, leaving out those imported for type checkers only."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    checking_only = {
        id(node)
        for block in ast.walk(tree)
        if isinstance(block, ast.If) and ast.unparse(block.test) == "TYPE_CHECKING"
        for node in ast.walk(block)
    }
    for node in ast.walk(tree):
        if id(node) in checking_only:
            continue
        if isinstance(node, ast.Import):
            yield from (alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and node.module:
            yield node.module


@pytest.mark.parametrize("package", sorted(ABOVE))
def test_a_package_imports_nothing_above_it(package):
    files = sorted((SOURCE / package).rglob("*.py"))
    assert files
    upward = [
        (path.name, module)
        for path in files
        for module in imported_modules(path)
        if module.startswith(ABOVE[package])
    ]
    assert upward == []


def test_each_layer_of_the_backtest_imports_only_the_layers_below_it():
    package = SOURCE / "backtest"
    layers = {path.relative_to(package).parts[0].removesuffix(".py") for path in package.iterdir()}
    assert layers - {"__init__", "__pycache__"} == set(BACKTEST_LAYERS)
    upward, extension_users = [], []
    for path in sorted(package.rglob("*.py")):
        layer = path.relative_to(package).parts[0].removesuffix(".py")
        if layer == "__init__":
            continue
        imports = list(imported_modules(path))
        if any(module.startswith("quorvel.modules") for module in imports):
            extension_users.append(path.name)
        for module in imports:
            if module.startswith("quorvel.backtest."):
                imported = module.split(".")[2]
                if BACKTEST_LAYERS.index(imported) > BACKTEST_LAYERS.index(layer):
                    upward.append((str(path.relative_to(package)), module))
    assert upward == []
    assert extension_users == ["core.py"]  # the one door to the extension modules


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
