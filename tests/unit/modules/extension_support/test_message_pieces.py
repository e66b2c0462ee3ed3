"""The fixed text of a message is kept by the address of its characters, so only a string
literal may be fixed text: anything else must fail to compile, and runtime text has its own
piece that is decoded at each use."""

import pytest

from compiling import compile_errors, needs_compiler

pytestmark = needs_compiler

ACCEPTED = """
#include "message.hpp"
using namespace quorvel;
void pieces(PyObject* value, const char* made_at_run_time) {
    Piece literal = "a literal";
    Piece value_piece = value;
    Piece runtime = RuntimeText{made_at_run_time};
    (void)literal; (void)value_piece; (void)runtime;
}
"""

REFUSED = {
    "a buffer on the stack": """
        void piece() {
            char buffer[16] = "stale later";
            Piece fixed = buffer;
            (void)fixed;
        }""",
    "a mutable global array": """
        char shared_text[16] = "changes";
        void piece() {
            Piece fixed = shared_text;
            (void)fixed;
        }""",
    "an array without its NUL": """
        constexpr char letters[3] = {'a', 'b', 'c'};
        void piece() {
            Piece fixed = letters;
            (void)fixed;
        }""",
}


def test_literals_values_and_runtime_text_make_pieces(tmp_path):
    assert compile_errors(ACCEPTED, tmp_path) == []


@pytest.mark.parametrize("text", REFUSED.values(), ids=REFUSED.keys())
def test_fixed_text_that_is_no_literal_does_not_compile(text, tmp_path):
    source = '#include "message.hpp"\nusing namespace quorvel;\n' + text
    assert compile_errors(source, tmp_path) != []
