"""tarnwick.enable_logging(): the handlers' transitions, errors and frames in Python's logging."""

import logging

import pytest
from pair_helpers import CONNECTION_ID, SLAVE_ADDRESS, Pair

import tarnwick


@pytest.fixture
def bridge():
    tarnwick.enable_logging()
    yield
    tarnwick.enable_logging(False)


@pytest.fixture
def pair():
    p = Pair(2, 1.0, clock=True)
    yield p
    p.close()


def corrupt(reply: bytes) -> bytes:
    return reply[:1] + bytes([reply[1] ^ 1]) + reply[2:]


def test_records_carry_the_connection_and_frames_come_at_debug(bridge, pair, caplog):
    caplog.set_level(logging.DEBUG, logger="tarnwick")
    pair.connect()
    pair.cycle(reply_fault=corrupt)
    records = [r for r in caplog.records if r.name == "tarnwick"]
    assert {(r.connection_id, r.slave_address) for r in records} == {(CONNECTION_ID, SLAVE_ADDRESS)}
    errors = [r for r in records if r.levelno == logging.WARNING]
    failure = errors[-1]
    assert failure.transition == "DATA_FAIL1"
    assert failure.error_code == tarnwick.FSOEError.INVALID_CRC
    assert failure.getMessage().endswith("Invalid slave CRC")
    requests = [r.frame for r in records if getattr(r, "from_master", None)]
    assert requests[-1] == pair.handler.get_request()
    changes = [r.transition for r in records if r.levelno == logging.INFO]
    assert {"SESSION_OK", "CONN_OK", "PARA_OK"} <= set(changes)


@pytest.mark.parametrize("on", [True, False])
def test_the_bridge_logs_only_when_on_and_at_info_no_frames(pair, caplog, on):
    tarnwick.enable_logging(on)
    try:
        caplog.set_level(logging.INFO, logger="tarnwick")
        pair.connect()
        assert tarnwick.logging_enabled() is on
    finally:
        tarnwick.enable_logging(False)
    records = [r for r in caplog.records if r.name == "tarnwick"]
    assert bool(records) is on
    assert not any(hasattr(r, "frame") for r in records)


def test_a_failing_logging_setup_never_cuts_an_event_short(bridge, pair, monkeypatch):
    def refuse(record):
        raise RuntimeError("filter broke")

    unraisable = []
    monkeypatch.setattr("sys.unraisablehook", unraisable.append)
    logger = logging.getLogger("tarnwick")
    logger.addFilter(refuse)
    try:
        pair.connect()  # reaches Data all the same
    finally:
        logger.removeFilter(refuse)
    assert unraisable and isinstance(unraisable[0].exc_value, RuntimeError)
