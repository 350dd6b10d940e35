import pytest

import tarnwick


@pytest.fixture
def trace_on():
    """Switch the diagnostic trace on for one test."""
    saved = tarnwick.TARNWICK_LOGGING
    tarnwick.TARNWICK_LOGGING = True
    yield
    tarnwick.TARNWICK_LOGGING = saved


@pytest.fixture(autouse=True)
def trace_off_by_default():
    saved = tarnwick.TARNWICK_LOGGING
    tarnwick.TARNWICK_LOGGING = False
    yield
    tarnwick.TARNWICK_LOGGING = saved
