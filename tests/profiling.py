"""What a profile function sees: the native shortcuts must leave every prescribed call visible."""

import sys
from typing import Callable, List


def profiled_calls(action: Callable[[], object]) -> List[str]:
    """Runs `action` under a profile function; returns the names of the Python functions called."""
    called: List[str] = []

    def profile(frame, event, arg):
        if event == "call":
            called.append(frame.f_code.co_name)

    sys.setprofile(profile)
    try:
        action()
    finally:
        sys.setprofile(None)
    return called
