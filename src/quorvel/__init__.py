"""Backtesting toolkit: simulated exchange, historical tick feed and position keeping."""

from importlib.metadata import version

__version__ = version("quorvel")
