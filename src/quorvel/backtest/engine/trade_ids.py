"""Trade ids a run can repeat: drawn from a generator seeded by the run's seed.

The matcher draws every trade id from its module's global `generate` (the
`nanoid` function of that name), looked up at each use; rebinding that global
is the way to change where ids come from.  For the length of a run,
`seeded_trade_ids` binds a generator seeded by the run's seed there, so that
the same run gives the same ids, and with them the same files, byte for byte.
"""

from __future__ import annotations

import contextlib
import random
from typing import Any, Iterator, Optional

from nanoid.resources import alphabet as NANOID_ALPHABET
from nanoid.resources import size as NANOID_SIZE


class SeededIds:
    """A stand-in for `nanoid.generate` (same parameters, same alphabet) that draws its
    characters from a pseudo-random generator seeded with `seed`."""

    def __init__(self, seed: int) -> None:
        self._random = random.Random(seed)

    def __call__(self, alphabet: str = NANOID_ALPHABET, size: int = NANOID_SIZE) -> str:
        return "".join(self._random.choices(alphabet, k=size))


@contextlib.contextmanager
def seeded_trade_ids(matcher_module: Any, seed: Optional[int]) -> Iterator[None]:
    """While the block runs, the matcher's trade ids come from `SeededIds(seed)`; its own
    generator is put back afterwards.  With `seed` None the generator is left as it is."""
    if seed is None:
        yield
        return
    saved = matcher_module.generate
    matcher_module.generate = SeededIds(seed)
    try:
        yield
    finally:
        matcher_module.generate = saved
