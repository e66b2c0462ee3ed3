"""The historical tick feed: the extension module `ticker` (class `Ticker`) and its type stub."""
