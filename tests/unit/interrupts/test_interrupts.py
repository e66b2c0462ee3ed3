"""An interrupt never leaves a condition's lock held: one that comes as `Condition.__enter__`
returns is raised a moment later, inside the `with` that releases the lock."""

import signal
import sys
import threading
import time

import pytest

from quorvel.interrupts import ctrl_c_when_safe, interrupting

pytestmark = pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")

WAIT = 30  # seconds


def raising(number, frame):
    raise KeyboardInterrupt


@pytest.fixture
def usr1():
    """SIGUSR1 raising through `interrupting`, and the handler itself."""
    handler = interrupting(raising)
    earlier = signal.signal(signal.SIGUSR1, handler)
    yield handler
    signal.signal(signal.SIGUSR1, earlier)


def test_a_signal_as_the_lock_is_taken_is_raised_inside_the_with(usr1):
    condition = threading.Condition(threading.Lock())  # a queue's

    def at_enter_return(frame, event, arg):
        if event == "return" and frame.f_code is threading.Condition.__enter__.__code__:
            sys.setprofile(None)
            usr1(signal.SIGUSR1, frame)  # as the signal would come there: put off

    started = time.monotonic()
    with pytest.raises(KeyboardInterrupt):
        sys.setprofile(at_enter_return)
        with condition:
            time.sleep(WAIT)  # the signal, again, ends this
    sys.setprofile(None)
    assert time.monotonic() - started < WAIT / 2
    assert condition.acquire(blocking=False), "the with released the lock"


def test_a_signal_while_waiting_for_a_lock_held_elsewhere_still_interrupts(usr1):
    condition = threading.Condition(threading.Lock())
    held, release = threading.Event(), threading.Event()

    def hold():
        with condition:
            held.set()
            release.wait(WAIT)

    holder = threading.Thread(target=hold)
    holder.start()
    assert held.wait(WAIT)
    main = threading.main_thread().ident
    threading.Timer(0.05, signal.pthread_kill, (main, signal.SIGUSR1)).start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt), condition:  # waits in __enter__: put off, raised
            pass
        assert time.monotonic() - started < WAIT / 2
    finally:
        release.set()
        holder.join(WAIT)
    assert condition.acquire(blocking=False), "the lock was not left to the main thread"


def test_ctrl_c_is_taken_over_only_from_the_default_handler():
    with ctrl_c_when_safe():
        assert signal.getsignal(signal.SIGINT) is not signal.default_int_handler
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    own = signal.signal(signal.SIGINT, raising)
    try:
        with ctrl_c_when_safe():
            assert signal.getsignal(signal.SIGINT) is raising
    finally:
        signal.signal(signal.SIGINT, own)
