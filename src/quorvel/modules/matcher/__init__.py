"""The simulated exchange: the extension module `matcher` (class `Matcher`) and its type stub."""
