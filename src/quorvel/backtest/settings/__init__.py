"""A run's settings: what it trades with (`run`), its costs (`costs`) and its account's rules
(`account`)."""
