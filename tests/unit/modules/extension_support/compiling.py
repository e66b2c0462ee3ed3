"""Compiling small C++ sources against the shared extension code, for the tests that pin its
compile-time rules and drive its helpers through a probe module."""

import importlib.machinery
import importlib.util
import shutil
import subprocess
import sysconfig
from pathlib import Path
from types import ModuleType
from typing import List

import pytest

SUPPORT = Path(__file__).resolve().parents[4] / "src" / "quorvel" / "modules" / "extension_support"
COMPILER = shutil.which("c++") or shutil.which("g++")
FLAGS = ["-std=c++20", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
         f"-I{sysconfig.get_paths()['include']}", f"-I{SUPPORT}"]

needs_compiler = pytest.mark.skipif(
    COMPILER is None or not (Path(sysconfig.get_paths()["include"]) / "Python.h").is_file(),
    reason="needs a C++ compiler and the interpreter's headers",
)


def compile_errors(source: str, tmp_path: Path) -> List[str]:
    """The compiler's error lines for `source` (a translation unit), empty when it compiles."""
    path = tmp_path / "snippet.cpp"
    path.write_text(source, encoding="utf-8")
    done = subprocess.run([COMPILER, *FLAGS, "-fsyntax-only", str(path)], capture_output=True, text=True,
                          timeout=120)
    return [line for line in done.stderr.splitlines() if "error" in line]


def build_probe(name: str, sources: List[Path], tmp_path: Path) -> ModuleType:
    """The extension module `name` built from `sources` and imported."""
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    target = tmp_path / f"{name}{suffix}"
    subprocess.run([COMPILER, *FLAGS, "-O0", "-shared", "-fPIC", "-o", str(target), *map(str, sources)],
                   check=True, capture_output=True, timeout=300)
    spec = importlib.util.spec_from_file_location(name, target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
