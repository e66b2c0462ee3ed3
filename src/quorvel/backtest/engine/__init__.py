"""The run itself: `run_backtest` (`backtest`), the engines (`replay`, `paced`) and what they
share: the road of a tick (`road`), the strategy's desks, the market's rules, the days loaded,
quotes and bars."""
