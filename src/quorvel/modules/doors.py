"""Loads a door: a second extension module inside another module's library.

A door shares its library's native state while that library's own module keeps exactly the
namespace it documents. The import system finds an extension module only by its file name, so
the door's Python module loads it from the library's file and puts it in its own place in
`sys.modules`: importing the door's name then gives the extension module itself (its `.pyi`
describes it).
"""

import importlib.machinery
import importlib.util
import sys
from types import ModuleType


def load_door(name: str, library: ModuleType) -> None:
    """Replace the module `name` in `sys.modules` by the door of that name in `library`'s file."""
    loader = importlib.machinery.ExtensionFileLoader(name, library.__file__ or "")
    module_spec = importlib.util.spec_from_loader(name, loader)
    assert module_spec is not None
    door = importlib.util.module_from_spec(module_spec)
    sys.modules[name] = door
    loader.exec_module(door)
