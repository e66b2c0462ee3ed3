"""The grid of a sweep: each varied parameter's values, and every combination of them."""

from __future__ import annotations

import itertools
from typing import Any, Dict, List, Mapping, Sequence, Type

from quorvel.backtest.strategy.base import Strategy
from quorvel.backtest.strategy.loading import parse_params


def parse_grid(strategy: Type[Strategy], assignments: Sequence[str]) -> Dict[str, List[Any]]:
    """``name=v1,v2,...`` texts as each parameter's values, converted as ``--param`` converts them.

    Raises `ValueError` with a one-line message for an unknown name, a bad
    value, a name given twice or a value repeated.
    """
    grid: Dict[str, List[Any]] = {}
    for assignment in assignments:
        name, equals, texts = assignment.partition("=")
        name = name.strip()
        if not equals or not texts:
            raise ValueError(f"{assignment!r}: expected name=value,value,...")
        if name in grid:
            raise ValueError(f"{name} is swept twice; give all its values in one name=v1,v2,...")
        values = [parse_params(strategy, [f"{name}={text}"])[name] for text in texts.split(",")]
        if len(set(values)) != len(values):
            raise ValueError(f"{assignment!r}: a value is repeated")
        grid[name] = values
    return grid


def combinations(grid: Mapping[str, Sequence[Any]]) -> List[Dict[str, Any]]:
    """Every combination of the grid's values, the last parameter varying fastest."""
    names = list(grid)
    return [dict(zip(names, values)) for values in itertools.product(*grid.values())]
