"""Loads `quorvel.modules.ticker.feed`, the tick feed's door for the backtest engines.

The door is a second extension module inside the ticker's own library, so that it shares the
ticker's native state while the `ticker` module's namespace stays exactly as documented. The
import system finds an extension module only by its file name, so this module loads the door
from the ticker's file and puts it in its own place in `sys.modules`; importing
`quorvel.modules.ticker.feed` therefore gives the extension module itself (see `feed.pyi`).
"""

import importlib.machinery
import importlib.util
import sys

from quorvel.modules.ticker import ticker


def _load_door() -> None:
    loader = importlib.machinery.ExtensionFileLoader(__name__, ticker.__file__)
    module_spec = importlib.util.spec_from_loader(__name__, loader)
    assert module_spec is not None
    door = importlib.util.module_from_spec(module_spec)
    sys.modules[__name__] = door
    loader.exec_module(door)


_load_door()
