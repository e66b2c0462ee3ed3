import pytest

import quorvel.modules.matcher.matcher as matcher_module
from quorvel.modules.matcher.matcher import Matcher


@pytest.fixture
def module_under_test():
    return matcher_module


@pytest.fixture
def matcher(console, logger):
    return Matcher()
