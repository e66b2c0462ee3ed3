"""Rules for the C++ sources that the compiler does not check.

A daemon thread woken while the interpreter shuts down is ended by a forced unwind through our
frames: a `noexcept` on its way, or a `catch (...)` that swallows it, aborts the process. Only
`noexcept(false)`, which lets the unwind through a destructor, is allowed.

Destructors are noexcept by default, which no text search sees. Ours are not where they destroy
a `Ref` (its destructor is `noexcept(false)`, and that carries over to every class holding one);
the standard containers' destructors are noexcept whatever they hold, so no standard template
may hold a `Ref` or one of our types that holds one. `std::initializer_list` destroys nothing
and is allowed.
"""

import pathlib
import re

import pytest

# Our types whose destructor drops a reference.
REF_HOLDERS = r"\b(Ref|SavedError|HandledException)\b"

SOURCES = sorted((pathlib.Path(__file__).parents[4] / "src").rglob("*.[ch]pp"))


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


def template_arguments(text, start):
    """The text between the `<` at `start` and its matching `>`."""
    depth, end = 1, start + 1
    while depth and end < len(text):
        depth += {"<": 1, ">": -1}.get(text[end], 0)
        end += 1
    return text[start + 1:end - 1]



def references_in_containers(text):
    """The standard templates in `text` whose arguments hold one of REF_HOLDERS."""
    return [match.group(1) for match in re.finditer(r"std::(\w+)\s*<", text)
            if match.group(1) != "initializer_list"
            and re.search(REF_HOLDERS, template_arguments(text, match.end() - 1))]


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_no_reference_held_in_a_standard_container(path):
    text = re.sub(r"//[^\n]*", "", path.read_text(encoding="utf-8"))
    assert references_in_containers(text) == []


def test_a_reference_in_a_container_is_found():
    text = "std::vector<std::pair<int, Ref>> a; std::initializer_list<Ref> b; std::array<ArgType, 2> c;"
    assert references_in_containers(text) == ["vector", "pair"]
