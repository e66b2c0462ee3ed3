"""Paper and live trading through the broker's API, and the local stand-in for it."""
