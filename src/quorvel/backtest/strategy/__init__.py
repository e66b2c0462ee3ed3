"""The strategy API (`base`) and the loading of a strategy by name (`loading`)."""
