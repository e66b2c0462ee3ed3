"""The tick cache's files: one CSV file per code and day (`day_files`), checked against the
manifest of the directory (`manifest`) before a run trusts it."""
