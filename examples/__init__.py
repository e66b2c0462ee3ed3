"""Example strategies; installed as `quorvel.examples`, each runnable with ``--strategy``."""
