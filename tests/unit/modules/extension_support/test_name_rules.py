"""One way to make a name in our C++: each module's state and the shared code list their names in
an X-macro list, interned through names.cpp when the module body first runs. A name made at its
use, looked up by a C string or kept in a function's static comes back as a finding here."""

import pathlib
import re

import pytest

SOURCES = sorted((pathlib.Path(__file__).parents[4] / "src").rglob("*.[ch]pp"))

# What each finding looks like, and where it is allowed.
RULES = {
    "interned outside names.cpp": (r"\bPyUnicode_InternFromString\s*\(", {"names.cpp"}),
    "looked up by a C string": (r"\bPy\w+(Attr|Item)String\s*\(", set()),
    "kept in a function's static": (r"^\s+static\s+(const\s+)?(PyObject|Ref|\w*Names)\b\s*\*?\s*\w+\s*=", set()),
}


def findings(text, file_name):
    text = re.sub(r"//[^\n]*", "", text)
    return [rule for rule, (pattern, allowed) in RULES.items()
            if file_name not in allowed and re.search(pattern, text, re.MULTILINE)]


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: p.name)
def test_names_are_made_one_way(path):
    assert findings(path.read_text(encoding="utf-8"), path.name) == []


@pytest.mark.parametrize("line, rule", [
    ('    static PyObject* name = check(PyUnicode_InternFromString("name"));', "interned outside names.cpp"),
    ('    Ref value = Ref::steal(PyObject_GetAttrString(module, "name"));', "looked up by a C string"),
    ('    static const RecordNames* names = new RecordNames();', "kept in a function's static"),
])
def test_each_way_is_found(line, rule):
    assert rule in findings(line + "\n", "other.cpp")
