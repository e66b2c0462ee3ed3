"""The fill models' door: fills of a Matcher's book other than its own matching, through the
matcher's own steps for a fill and a cancellation."""

from typing import Callable, List, Optional

from quorvel.modules.matcher.matcher import Matcher

class QueueFills:
    """Fills of a Matcher's book by queue position, latency aside."""

    def __init__(
        self,
        matcher: Matcher,
        probable: bool,
        slippage_ticks: int,
        price_step: Callable[[str, float, int], float],
    ) -> None: ...
    def match(
        self,
        code: str,
        close: float,
        volume: int,
        timestamp: float,
        tick_type: int,
        bid_price: float,
        bid_volume: int,
        ask_price: float,
        ask_volume: int,
    ) -> None:
        """Fill the book's orders of `code` against one tick: its trade and the quote after it."""
    def entered(self, trade_id: str, at: float, in_call: bool) -> None:
        """An order just entered at `at`: it takes the standing quote it reaches, rests, or is cancelled."""
    def call_begins(self, code: str) -> None:
        """A call auction of `code` begins: the orders resting take part in its trade, the code's next."""
    def repriced(self, trade_id: str) -> None:
        """An order whose price changed: its place in the queue is taken anew."""
    def codes_without_quotes(self) -> List[str]:
        """The codes whose ticks so far carried no quote."""

def draw_trade_id(matcher: Matcher) -> str:
    """A trade id drawn from the matcher's own generator, as its add_order draws one."""

def preset_trade_id(matcher: Matcher, trade_id: Optional[str]) -> None:
    """Give the matcher's next orders `trade_id` (one drawn before), or its generator's ids again for None."""
