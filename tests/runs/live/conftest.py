"""Live sessions against the stand-in broker, played by hand: each tick is taken before the next
is played, so that a session is the same every time and takes no sleeping."""

DAY = "2024-01-08"
CODES = ["2330", "TXFR1"]


def standin(**knobs):
    """A logged-in stand-in playing 200 ticks a code of `DAY`, by hand."""
    from quorvel.live.standin import StandInBroker
    from quorvel.sim import SimulatedBroker

    api = StandInBroker(DAY, codes=CODES, source=SimulatedBroker(3, ticks_per_day=200),
                        speed=None, **knobs)
    api.login("key", "secret")
    return api


def live_session(strategy, settings=None, *, api=None, session=(), **knobs):
    """(the result, the console's lines, the stand-in) of one session of `strategy` on `api`
    (a new `standin(**knobs)` if None), with the `LiveSession` options `session` adds."""
    from quorvel import market
    from quorvel.backtest import RunSettings
    from quorvel.live.engine import LiveSession, run_live

    api = api or standin(**knobs)
    lines = []
    session = LiveSession(day=DAY, console=lines.append, pump=api.step, done=api.finished.is_set,
                          clock=lambda: market.broker_seconds(api.now), cancel_wait=5.0,
                          **{"mode": "demo", **dict(session)})
    result = run_live(api, CODES, strategy, settings or RunSettings(), session)
    return result, lines, api
