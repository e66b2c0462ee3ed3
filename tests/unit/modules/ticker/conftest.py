"""The tick feed's fixtures: its recorded console and log, and the threads alive before each
test."""

import pytest

from quorvel.modules.ticker import ticker as ticker_module

from ticker_support import note_running_threads


@pytest.fixture
def module_under_test():
    return ticker_module


@pytest.fixture(autouse=True)
def recorded_output(console, logger):
    """Every feed test records the module's console and log instead of printing them."""


@pytest.fixture(autouse=True)
def threads_before():
    note_running_threads()
