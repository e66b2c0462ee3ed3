"""The road of a tick: the extension module `replay` (classes `TickRoad` and `BarBuilder`) and its
type stub."""
