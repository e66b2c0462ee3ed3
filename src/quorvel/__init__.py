"""Backtesting toolkit: simulated exchange, historical tick feed and position keeping."""


def __getattr__(name: str) -> str:
    """`__version__`, read from the installed distribution's metadata when first asked for:
    finding the distribution among those installed takes longer than importing the package."""
    if name != "__version__":
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    from importlib.metadata import version

    found = globals()["__version__"] = version("quorvel")
    return found
