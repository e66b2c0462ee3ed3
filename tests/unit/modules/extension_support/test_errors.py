"""run_finally, the `finally` of our C++ bodies: the cleanup runs however the body ends, and the
errors chain as Python's `finally` chains them. Driven through errors_probe.cpp."""

from pathlib import Path

import pytest

from compiling import SUPPORT, build_probe, needs_compiler

pytestmark = needs_compiler

# How the body ends, and the error the caller then sees.
ENDINGS = {
    "python error": (ValueError, "the body failed"),
    "out of memory": (MemoryError, ""),
    "library error": (SystemError, "the library failed"),
}


@pytest.fixture(scope="module")
def probe(tmp_path_factory):
    source = Path(__file__).with_name("errors_probe.cpp")
    return build_probe("errors_probe", [source, SUPPORT / "errors.cpp"], tmp_path_factory.mktemp("probe"))


def test_a_body_that_returns_is_cleaned_up(probe):
    cleaned = []
    probe.run_finally_ending("return", lambda: cleaned.append(True))
    assert cleaned == [True]


@pytest.mark.parametrize("ending", ENDINGS)
def test_a_failing_body_is_cleaned_up_and_its_error_goes_on(probe, ending):
    error, message = ENDINGS[ending]
    cleaned = []
    with pytest.raises(error) as raised:
        probe.run_finally_ending(ending, lambda: cleaned.append(True))
    assert cleaned == [True]
    assert str(raised.value) == message


@pytest.mark.parametrize("ending", ENDINGS)
def test_an_error_of_the_cleanup_has_the_bodys_as_context(probe, ending):
    def cleanup():
        raise OSError("the cleanup failed")

    with pytest.raises(OSError, match="the cleanup failed") as raised:
        probe.run_finally_ending(ending, cleanup)
    assert isinstance(raised.value.__context__, ENDINGS[ending][0])
