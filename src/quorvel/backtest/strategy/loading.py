"""Loading a strategy: a class named by a file or a module, its parameters from texts."""

from __future__ import annotations

import importlib
import importlib.util
import os
import sys
from typing import Any, Dict, Sequence, Type, Union

from quorvel.backtest.strategy.base import Strategy

# The strategy of the command and of `run_backtest` when none is given.
DEFAULT_STRATEGY = "quorvel.examples.mean_reversion:MeanReversion"

StrategyArg = Union[Type[Strategy], Strategy]


def strategy_instance(strategy: StrategyArg) -> Strategy:
    """A strategy given as a class or an instance, as an instance."""
    if isinstance(strategy, type) and issubclass(strategy, Strategy):
        return strategy()
    if isinstance(strategy, Strategy):
        return strategy
    raise TypeError(f"expected a Strategy subclass or instance, got {strategy!r}")


def load_strategy(target: str) -> Type[Strategy]:
    """The class named by ``PATH.py:Class`` or ``package.module:Class``.

    Without ``:Class``, the one `Strategy` subclass that the file or module
    defines (classes it imports do not count).  Raises `ValueError` with a
    one-line message when it cannot be loaded, or when the file or module
    defines no such class or several (they are named).
    """
    where, colon, class_name = target.rpartition(":")
    if not colon or target.endswith(".py"):
        where, class_name = target, ""
    if not where:
        raise ValueError(f"{target!r}: expected PATH.py:Class or package.module:Class")
    if where.endswith(".py"):
        module = _module_from_file(where)
    else:
        try:
            module = importlib.import_module(where)
        except Exception as error:  # the module's own code may raise anything
            raise ValueError(f"{target!r}: cannot import {where}: {_one_line(error)}") from None
    if not class_name:
        return _only_strategy_of(module, where)
    found = getattr(module, class_name, None)
    if not (isinstance(found, type) and issubclass(found, Strategy)):
        raise ValueError(f"{target!r}: {where} has no Strategy subclass named {class_name}")
    return found


def _only_strategy_of(module: Any, where: str) -> Type[Strategy]:
    defined = [
        value
        for value in vars(module).values()
        if isinstance(value, type)
        and issubclass(value, Strategy)
        and value.__module__ == module.__name__
    ]
    if len(defined) == 1:
        return defined[0]
    if not defined:
        raise ValueError(f"{where} defines no Strategy subclass")
    names = ", ".join(strategy.__name__ for strategy in defined)
    raise ValueError(
        f"{where} defines {len(defined)} Strategy subclasses ({names}); "
        f"name one: {where}:{defined[0].__name__}"
    )


def _module_from_file(path: str) -> Any:
    if not os.path.isfile(path):
        raise ValueError(f"no such strategy file: {path}")
    name = "quorvel_strategy_" + os.path.splitext(os.path.basename(path))[0]
    loader_spec = importlib.util.spec_from_file_location(name, path)
    if loader_spec is None or loader_spec.loader is None:
        raise ValueError(f"cannot load {path} as a Python module")
    module = importlib.util.module_from_spec(loader_spec)
    sys.modules[name] = module  # dataclasses and pickling look the module up by name
    try:
        loader_spec.loader.exec_module(module)
    except Exception as error:  # the file's own code may raise anything
        del sys.modules[name]
        raise ValueError(f"cannot load {path}: {_one_line(error)}") from None
    return module


def _one_line(error: Exception) -> str:
    return f"{type(error).__name__}: {error}".splitlines()[0]


def parse_params(strategy: Type[Strategy], assignments: Sequence[str]) -> Dict[str, Any]:
    """``name=value`` texts as parameter values, each converted to its default's type.

    Raises `ValueError` with a one-line message for an unknown name or a bad value.
    """
    defaults = strategy.parameters()
    params: Dict[str, Any] = {}
    for assignment in assignments:
        name, equals, text = assignment.partition("=")
        name = name.strip()
        if not equals:
            raise ValueError(f"{assignment!r}: expected name=value")
        if name not in defaults:
            known = ", ".join(sorted(defaults)) or "none"
            raise ValueError(
                f"{strategy.__name__} has no parameter {name!r} (its parameters: {known})"
            )
        params[name] = _convert(name, text, defaults[name])
    return params


def _convert(name: str, text: str, default: Any) -> Any:
    kind = type(default)
    if kind is bool:
        words = {"true": True, "yes": True, "1": True, "false": False, "no": False, "0": False}
        if text.lower() in words:
            return words[text.lower()]
        raise ValueError(f"{name}={text}: expected true or false")
    try:
        return kind(text)
    except ValueError:
        expected = {int: "a whole number", float: "a number"}.get(kind, kind.__name__)
        raise ValueError(f"{name}={text}: expected {expected}") from None
