"""The queue fill model on short tick tables worked by hand: taking the standing quote, a
resting order's place in the queue, call auctions, ticks without a quote, and the probable
queue."""

import pytest
from matcher_support import place, stock_order, take_reports

fills = pytest.importorskip("quorvel.modules.matcher.fills")

T0 = 1_704_704_400.0  # 2024-01-08 09:00 on the broker's clock


def one_step(code, price, steps):
    return price + steps  # 2330 at 600: the price step is 1


class Book:
    """A matcher and its QueueFills, with orders entered and ticks matched by hand; `deals`
    and `cancels` are what its reports said, in order."""

    def __init__(self, matcher, probable=False):
        self.matcher = matcher
        self.fills = fills.QueueFills(matcher, probable, 1, one_step)
        self.deals, self.cancels = [], []
        self.moment = T0

    def quote(self, bid, bid_volume, ask, ask_volume):
        """A quote standing before any order: a tick of 1 lot at the bid (or at 600 when there
        is none), hitting it."""
        return self.tick(bid or 600.0, 1, 2, bid, bid_volume, ask, ask_volume)

    def tick(self, close, volume, tick_type, bid, bid_volume, ask, ask_volume):
        self.moment += 1
        self.matcher.set_current_tick({"code": "2330", "close": close, "timestamp": self.moment})
        self.fills.match("2330", close, volume, self.moment, tick_type, bid, bid_volume, ask,
                         ask_volume)
        return self.taken()

    def order(self, qty, price=None, action="Buy", order_type="ROD", in_call=False):
        kind = dict(price_type="MKT", price=0.0) if price is None else dict(price=float(price))
        trade_id = place(self.matcher, **stock_order(action=action, qty=qty, order_type=order_type,
                                                     **kind))
        self.fills.entered(trade_id, self.moment + 0.5, in_call)
        return self.taken()

    def taken(self):
        for report in take_reports(self.matcher):
            if "operation_type" not in report:
                self.deals.append((report["quantity"], report["price"]))
            else:
                self.cancels.append(report["order"]["quantity"])
        return self

    def resting(self):
        return [(record["quantity"], record["price"]) for record in self.matcher.pending_orders]


@pytest.fixture
def book(matcher):
    return Book(matcher)


class TestTakingTheQuote:
    def test_a_market_order_takes_the_ask_up_to_its_volume_and_the_rest_is_cancelled(self, book):
        book.quote(600.0, 5, 601.0, 3).order(5)
        assert (book.deals, book.cancels, book.resting()) == ([(3, 601.0)], [2], [])

    def test_a_limit_at_or_beyond_the_ask_takes_it_and_rests_its_rest_first_in_the_queue(self, book):
        book.quote(600.0, 5, 601.0, 3).order(10, 602)
        assert (book.deals, book.resting()) == ([(3, 601.0)], [(7, 602.0)])
        book.tick(602.0, 4, 2, 602.0, 9, 603.0, 1)  # nothing ahead of it at 602
        assert book.deals == [(3, 601.0), (4, 602.0)]

    @pytest.mark.parametrize("qty, deals, cancels", [(3, [(3, 601.0)], []), (4, [], [4])])
    def test_fok_fills_whole_only_when_its_quantity_is_displayed(self, book, qty, deals, cancels):
        book.quote(600.0, 5, 601.0, 3).order(qty, 601, order_type="FOK")
        assert (book.deals, book.cancels, book.resting()) == (deals, cancels, [])

    def test_what_an_order_took_is_not_offered_again_before_the_next_tick(self, book):
        book.quote(600.0, 5, 601.0, 3).order(2).order(2)
        assert (book.deals, book.cancels) == ([(2, 601.0), (1, 601.0)], [1])

    def test_a_sell_mirrors_a_buy(self, book):
        book.quote(600.0, 2, 601.0, 3).order(5, 599, action="Sell", order_type="IOC")
        assert (book.deals, book.cancels) == ([(2, 600.0)], [3])


class TestResting:
    def test_it_fills_at_its_own_price_once_the_displayed_queue_ahead_has_traded(self, book):
        book.quote(600.0, 4, 601.0, 3).order(2, 600)
        book.tick(600.0, 3, 2, 600.0, 1, 601.0, 3)  # 3 of the 4 ahead
        book.tick(600.0, 5, 1, 600.0, 1, 601.0, 3)  # at 600, but hitting the ask: not the bid
        assert book.deals == []
        book.tick(600.0, 2, 2, 600.0, 5, 601.0, 3)  # the last one ahead, then 1 of it
        book.tick(599.0, 8, 2, 599.0, 4, 600.0, 2)  # through its price: the rest, at 600
        assert (book.deals, book.resting()) == ([(1, 600.0), (1, 600.0)], [])

    def test_an_improving_order_has_nothing_ahead_and_one_behind_the_best_waits_for_it(self, book):
        book.quote(600.0, 4, 603.0, 3).order(1, 601).order(1, 599)
        book.tick(601.0, 1, 2, 601.0, 1, 603.0, 3)
        book.tick(599.0, 3, 2, 599.0, 2, 600.0, 3)  # at 599, whose queue was unknown
        assert (book.deals, book.resting()) == ([(1, 601.0)], [(1, 599.0)])
        book.tick(599.0, 3, 2, 599.0, 4, 600.0, 3)  # now 2 were ahead of it
        assert book.deals == [(1, 601.0), (1, 599.0)]

    def test_one_trade_serves_the_book_in_order_and_never_more_than_its_volume(self, book):
        book.quote(600.0, 0, 601.0, 3).order(2, 600).order(2, 600)
        book.tick(599.0, 3, 2, 599.0, 1, 600.0, 1)
        assert (book.deals, book.resting()) == ([(2, 600.0), (1, 600.0)], [(1, 600.0)])


def test_a_fill_whose_recording_changes_the_book_leaves_the_walk_sound(book):
    book.quote(600.0, 0, 601.0, 5).order(1, 600).order(1, 600)
    second = book.matcher.pending_orders[1]["trade_id"]
    positions = book.matcher.positions

    class Cancelling:
        """Records a fill by cancelling the other order and telling the model of it."""

        def __getattr__(self, name):
            return getattr(positions, name)

        def set_positions(self, *args):
            positions.set_positions(*args)
            if any(record["trade_id"] == second for record in book.matcher.pending_orders):
                book.matcher.cancel_order(second)
            book.fills.entered(second, book.moment, False)

    book.matcher.positions = Cancelling()
    book.tick(599.0, 5, 2, 599.0, 1, 600.0, 1)  # through both; the second left meanwhile
    assert (book.deals, book.cancels, book.resting()) == ([(1, 600.0)], [1], [])


class TestCallsAndMissingQuotes:
    def test_an_order_of_the_call_fills_in_its_auction_at_the_auctions_price(self, book):
        book.quote(600.0, 4, 601.0, 3)
        book.order(2, 605, in_call=True).order(3, 603, in_call=True).order(1, 602, in_call=True)
        book.tick(603.0, 4, 0, 603.0, 2, 604.0, 2)  # the auction's trade
        assert (book.deals, book.resting()) == ([(2, 603.0), (2, 603.0)], [(1, 603.0), (1, 602.0)])

    def test_orders_resting_when_the_closing_call_begins_fill_in_its_trade(self, book):
        book.quote(600.0, 4, 601.0, 3).order(1, 600)  # behind the 4 displayed at the bid
        book.fills.call_begins("2330")
        book.tick(599.0, 9, 1, 599.0, 1, 600.0, 1)  # the call's trade, whatever its tick type
        assert book.deals == [(1, 599.0)]  # at the auction's price, not its limit

    def test_without_a_quote_a_market_order_fills_at_the_next_trade_moved_against_it(self, book):
        book.order(3).order(1, 600)
        assert book.deals == []
        book.tick(600.0, 2, 1, 0.0, 0, 0.0, 0)
        assert (book.deals, book.cancels) == ([(2, 601.0)], [1])  # one step worse, what traded
        book.tick(600.0, 5, 2, 0.0, 0, 0.0, 0)  # at the limit: no quote tells of the queue
        book.tick(598.0, 5, 2, 0.0, 0, 0.0, 0)  # through it
        assert book.deals == [(2, 601.0), (1, 600.0)]
        assert book.fills.codes_without_quotes() == ["2330"]


def test_the_probable_queue_moves_up_by_its_share_of_what_leaves_without_a_trade(matcher):
    ahead = {}
    for probable in (False, True):
        book = Book(matcher, probable)
        book.quote(600.0, 10, 601.0, 3).order(1, 600)  # 10 ahead
        book.tick(601.0, 1, 1, 600.0, 20, 601.0, 3)  # 10 more join, behind it
        book.tick(601.0, 1, 1, 600.0, 16, 601.0, 3)  # 4 leave: its share of them was ahead
        book.tick(600.0, 9, 2, 600.0, 7, 601.0, 3)
        ahead[probable] = book.deals
        matcher.pending_orders.clear()
    assert ahead == {False: [], True: [(1, 600.0)]}  # 8 ahead, or 10
