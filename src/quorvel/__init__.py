"""Backtesting toolkit: simulated exchange, historical tick feed and position keeping."""
