"""Rules for the C++ sources that the compiler does not check.

A daemon thread woken while the interpreter shuts down is ended by a forced unwind through our
frames: a `noexcept` on its way, or a `catch (...)` that swallows it, aborts the process. Only
`noexcept(false)`, which lets the unwind through a destructor, is allowed.
"""

import pathlib
import re

import pytest

SOURCES = sorted((pathlib.Path(__file__).parent.parent / "src").rglob("*.[ch]pp"))


def test_sources_are_found():
    assert len(SOURCES) > 5


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_no_noexcept_and_no_swallowing_catch_all(path):
    text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
    assert re.findall(r"noexcept(?!\(false\))", text) == []
    for match in re.finditer(r"catch\s*\(\s*\.\.\.\s*\)\s*\{", text):
        depth, end = 1, match.end()
        while depth:
            depth += {"{": 1, "}": -1}.get(text[end], 0)
            end += 1
        assert re.search(r"\bthrow\s*;", text[match.end():end]), f"{path.name}: catch (...) must rethrow"
