"""Loads `quorvel.modules.matcher.fills`, the fill models' door to a Matcher's book, from the
matcher's own library (`quorvel.modules.doors`)."""

from quorvel.modules.doors import load_door
from quorvel.modules.matcher import matcher

load_door(__name__, matcher)
