"""Live trading: a strategy run against the broker's API (paper or live) or the local stand-in
for it, the record of a session, and its replay against the backtest."""
