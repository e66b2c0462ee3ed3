"""Loads `quorvel.modules.matcher.fills`, the fill models' door to a Matcher's book.

The door is a second extension module inside the matcher's own library, so that it shares the
matcher's native state and report path while the `matcher` module's namespace stays exactly as
documented. The import system finds an extension module only by its file name, so this module
loads the door from the matcher's file and puts it in its own place in `sys.modules`; importing
`quorvel.modules.matcher.fills` therefore gives the extension module itself (see `fills.pyi`).
"""

import importlib.machinery
import importlib.util
import sys

from quorvel.modules.matcher import matcher


def _load_door() -> None:
    loader = importlib.machinery.ExtensionFileLoader(__name__, matcher.__file__)
    module_spec = importlib.util.spec_from_loader(__name__, loader)
    assert module_spec is not None
    door = importlib.util.module_from_spec(module_spec)
    sys.modules[__name__] = door
    loader.exec_module(door)


_load_door()
