"""The replay loop: the extension module `replay` (function `replay_ticks`) and its type stub."""
