import threading
import time

import pytest

import tarnwick

TIMEOUT = 0.05
# For the tests that keep a watchdog from expiring: a period far longer than any
# scheduling delay of a loaded machine, crossed several times by the loop.
LONG_TIMEOUT = 0.3


class Counter:
    def __init__(self):
        self.count = 0
        self.expired = threading.Event()

    def __call__(self):
        self.count += 1
        self.expired.set()


@pytest.fixture
def watchdog(request):
    counter = Counter()
    dog = tarnwick.Watchdog(getattr(request, "param", TIMEOUT), counter)
    dog.counter = counter
    dog.start()
    yield dog
    dog.stop()


long_watchdog = pytest.mark.parametrize("watchdog", [LONG_TIMEOUT], indirect=True)


def test_is_a_plain_thread():
    dog = tarnwick.Watchdog(1.0, lambda: None)
    assert isinstance(dog, threading.Thread)
    assert not dog.daemon
    assert not dog.active
    assert [c.value for c in tarnwick.WatchdogCommand] == [1, 2, 3, 4]
    assert [c.name for c in tarnwick.WatchdogCommand] == ["ACTIVATE", "DEACTIVATE", "RESET", "STOP"]


def test_inactive_never_expires(watchdog):
    time.sleep(4 * TIMEOUT)
    assert watchdog.counter.count == 0


def test_active_expires_repeatedly(watchdog):
    watchdog.activate()
    assert watchdog.active
    deadline = time.monotonic() + 5
    while watchdog.counter.count < 3 and time.monotonic() < deadline:
        time.sleep(TIMEOUT / 5)
    assert watchdog.counter.count >= 3
    assert watchdog.active  # expiries do not deactivate it


@long_watchdog
def test_resets_prevent_expiry(watchdog):
    watchdog.activate_and_reset()
    end = time.monotonic() + 3 * LONG_TIMEOUT
    while time.monotonic() < end:
        watchdog.reset()
        time.sleep(LONG_TIMEOUT / 30)
    assert watchdog.counter.count == 0


@long_watchdog
def test_activate_when_active_only_resets_period(watchdog):
    watchdog.activate()
    end = time.monotonic() + 3 * LONG_TIMEOUT
    while time.monotonic() < end:
        watchdog.activate_and_reset()
        time.sleep(LONG_TIMEOUT / 30)
    assert watchdog.counter.count == 0
    assert watchdog.active


def test_deactivate_stops_expiries(watchdog):
    watchdog.activate()
    assert watchdog.counter.expired.wait(5)
    watchdog.deactivate()
    assert not watchdog.active
    seen = watchdog.counter.count
    time.sleep(4 * TIMEOUT)
    assert watchdog.counter.count == seen


def test_stop_ends_thread_and_later_calls_return(watchdog):
    watchdog.activate()
    watchdog.stop()
    assert not watchdog.is_alive()
    # Any call after the thread has ended must return, not wait for it.
    watchdog.activate()
    watchdog.activate_and_reset()
    watchdog.deactivate()
    watchdog.stop()


def test_stop_before_start_returns():
    dog = tarnwick.Watchdog(TIMEOUT, lambda: None)
    dog.stop()
    assert not dog.is_alive()


def test_calls_from_the_callback_do_not_deadlock():
    done = threading.Event()

    def callback():
        dog.deactivate()
        dog.activate_and_reset()
        dog.stop()
        done.set()

    dog = tarnwick.Watchdog(0.01, callback)
    dog.start()
    dog.activate()
    assert done.wait(5)
    dog.join(5)
    assert not dog.is_alive()


def test_callback_exception_ends_thread():
    errors = []
    saved_hook = threading.excepthook
    threading.excepthook = errors.append
    try:

        def callback():
            raise KeyError("boom")

        dog = tarnwick.Watchdog(0.01, callback)
        dog.start()
        dog.activate()
        dog.join(5)
    finally:
        threading.excepthook = saved_hook
    assert not dog.is_alive()
    assert errors and errors[0].exc_type is KeyError


@pytest.mark.parametrize("timeout", [0, -1, float("nan"), float("inf")])
def test_timeout_must_be_positive(timeout):
    with pytest.raises(ValueError, match="Watchdog timeout must be a positive number of seconds"):
        tarnwick.Watchdog(timeout, lambda: None)


@pytest.mark.parametrize("timeout", [1e-9, 0.0005, 0.000999])
def test_timeout_below_a_millisecond_is_refused(timeout):
    # It would travel as 0 ms and expire continuously.
    with pytest.raises(ValueError, match=r"^Watchdog timeout must be at least 0\.001 seconds"):
        tarnwick.Watchdog(timeout, lambda: None)


def test_timeout_must_be_a_number():
    with pytest.raises(TypeError):
        tarnwick.Watchdog("1", lambda: None)
