"""The shipped type stubs describe the built extension modules: each committed `.pyi` is the
one tools/stubgen writes from the built module's own objects."""

import importlib.machinery
import importlib.util
from pathlib import Path

import pytest


def _load_stubgen():
    path = Path(__file__).resolve().parent.parent / "tools" / "stubgen"
    loader = importlib.machinery.SourceFileLoader("stubgen", str(path))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("stubgen", loader))
    loader.exec_module(module)
    return module


stubgen = _load_stubgen()


@pytest.mark.parametrize("module_name", stubgen.MODULES)
def test_committed_stub_is_the_built_modules(module_name):
    pytest.importorskip(module_name)
    diff = stubgen.stub_diff(module_name)
    assert not diff, f"the stub differs from the built module; run tools/stubgen --write\n{diff}"


def test_package_is_marked_typed():
    spec = importlib.util.find_spec("quorvel")
    assert (Path(spec.origin).parent / "py.typed").is_file()
