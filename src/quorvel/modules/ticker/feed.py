"""Loads `quorvel.modules.ticker.feed`, the tick feed's door for the backtest engines, from the
ticker's own library (`quorvel.modules.doors`)."""

from quorvel.modules.doors import load_door
from quorvel.modules.ticker import ticker

load_door(__name__, ticker)
