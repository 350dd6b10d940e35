import pytest
from crc_reference import frame_crc_word
from hypothesis import given, settings
from hypothesis import strategies as st
from slave_helpers import (  # noqa: F401
    RX_MAPS,
    TX_MAPS,
    C,
    Master,
    State,
    configure_map,
    fresh_slave,
    reset_error,
    start_slave,
)

import tarnwick
from virtual_slave import brisel

pytestmark = pytest.mark.usefixtures("fresh_slave")

CONN_ID = 0x55
UNKNOWN = 0x00  # no FSoE command


def cycle(request):
    brisel.set_request(request)
    brisel.process()
    return brisel.get_reply()


def in_data_state(words=3, wd_ms=100, **kwargs):
    start_slave(words)
    m = Master(words)
    m.connect(CONN_ID, wd_ms=wd_ms, **kwargs)
    reply = m.send(C.PROCESS_DATA, b"", CONN_ID)
    assert reply.control.command == C.PROCESS_DATA
    assert brisel.get_state() == State.FSOE_STATE_DATA
    return m


@pytest.mark.parametrize(
    ("words", "command", "expected"),
    [
        (3, 0x36, "2a 01 ce 8e 00 00"),
        (4, 0x36, "2a 01 00 47 b7 00 00 00"),
        (3, 0x2A, "2a 00 86 f8 00 00"),
        (4, 0x2A, "2a 00 00 c4 2d 00 00 00"),
    ],
)
def test_reset_reply_bytes(words, command, expected):
    start_slave(words)
    assert cycle(bytes([command]) + bytes(2 * words - 1)).hex(" ") == expected


# --- state tables: command -> error code of the Reset reply -------------------------

RESET_STATE_CASES = [
    (C.CONNECTION, 1), (C.PARAMETER, 1), (C.PROCESS_DATA, 1), (C.FAILSAFE_DATA, 1),
    (UNKNOWN, 2), (0xFF, 2),
]  # fmt: skip


@pytest.mark.parametrize(("command", "error"), RESET_STATE_CASES)
def test_reset_state_table(command, error):
    start_slave(3)
    m = Master(3)
    reply = m.send(command, b"\x01")
    assert reset_error(reply) == error
    assert brisel.get_state() == State.FSOE_STATE_RESET


def test_session_with_wrong_crc_in_reset_state():
    start_slave(3)
    reply = Master(3).send(C.SESSION, b"\x01", first=True, crc_ok=False)
    assert reset_error(reply) == 4
    assert brisel.get_state() == State.FSOE_STATE_RESET


def test_first_session_replies_carry_own_session_id():
    start_slave(3)
    m = Master(3)
    assert m.connect(CONN_ID) == bytes([0xC7, 0x98])  # 39111, the first random value
    assert brisel.dict_read16(0x194) == CONN_ID


def walk_to(m, state):
    """Brings a fresh slave into `state` (with one Session byte still pending for Session)."""
    if state == State.FSOE_STATE_SESSION:
        m.send(C.SESSION, b"\x01", first=True)
    elif state == State.FSOE_STATE_CONNECTION:
        m.transfer(C.SESSION, b"\x01\x02", first=True)
        m.send(C.CONNECTION, bytes([CONN_ID]), CONN_ID)
    elif state == State.FSOE_STATE_PARAMETER:
        m.transfer(C.SESSION, b"\x01\x02", first=True)
        m.transfer(C.CONNECTION, bytes([CONN_ID, 0, 0x34, 0x12]), CONN_ID)
        m.send(C.PARAMETER, b"\x02", CONN_ID)
    assert brisel.get_state() == state


@pytest.mark.parametrize(
    ("state", "command", "conn_id", "error"),
    [
        (State.FSOE_STATE_SESSION, C.PARAMETER, CONN_ID, 1),
        (State.FSOE_STATE_SESSION, C.PROCESS_DATA, CONN_ID, 1),
        (State.FSOE_STATE_SESSION, C.CONNECTION, CONN_ID, 1),  # session id still pending
        (State.FSOE_STATE_SESSION, UNKNOWN, CONN_ID, 2),
        (State.FSOE_STATE_CONNECTION, C.PROCESS_DATA, CONN_ID, 1),
        (State.FSOE_STATE_CONNECTION, C.FAILSAFE_DATA, CONN_ID, 1),
        (State.FSOE_STATE_CONNECTION, C.PARAMETER, CONN_ID, 1),  # address still pending
        (State.FSOE_STATE_CONNECTION, C.CONNECTION, CONN_ID + 1, 3),
        (State.FSOE_STATE_CONNECTION, 0x77, CONN_ID, 2),
        (State.FSOE_STATE_PARAMETER, C.CONNECTION, CONN_ID, 1),
        (State.FSOE_STATE_PARAMETER, C.PROCESS_DATA, CONN_ID, 1),  # parameters pending
        (State.FSOE_STATE_PARAMETER, C.PARAMETER, CONN_ID + 1, 3),
        (State.FSOE_STATE_PARAMETER, UNKNOWN, CONN_ID, 2),
    ],
)
def test_state_tables(state, command, conn_id, error):
    start_slave(3)
    m = Master(3)
    walk_to(m, state)
    reply = m.send(command, b"\x00", conn_id)
    assert reset_error(reply) == error
    assert brisel.get_state() == State.FSOE_STATE_RESET


@pytest.mark.parametrize(
    "state", [State.FSOE_STATE_SESSION, State.FSOE_STATE_CONNECTION, State.FSOE_STATE_PARAMETER]
)
@pytest.mark.parametrize(("crc_ok", "error"), [(True, 0), (False, 4)])
def test_reset_frame_from_master(state, crc_ok, error):
    start_slave(3)
    m = Master(3)
    walk_to(m, state)
    reply = m.send(C.RESET, b"\x06", first=True, crc_ok=crc_ok)
    assert reset_error(reply) == error


@pytest.mark.parametrize("state", [State.FSOE_STATE_CONNECTION, State.FSOE_STATE_PARAMETER])
def test_session_frame_restarts_the_session(state):
    start_slave(3)
    m = Master(3)
    walk_to(m, state)
    reply = m.send(C.SESSION, b"\x09", first=True)
    assert reply.control.command == C.SESSION
    assert brisel.get_state() == State.FSOE_STATE_SESSION


def test_connection_id_zero_in_session_state():
    start_slave(3)
    m = Master(3)
    m.transfer(C.SESSION, b"\x01\x02", first=True)
    assert reset_error(m.send(C.CONNECTION, b"\x00", 0)) == 3


@pytest.mark.parametrize(
    ("address", "written", "error"),
    [(0x1234, None, None), (0x4321, None, 6), (0x4321, 0x4321, None), (0x1234, 0x4321, 6)],
)
def test_slave_address_check(address, written, error):
    brisel.dict_write16(0x193, 0x7777)  # replaced at start
    start_slave(3)
    if written is not None:
        brisel.dict_write16(0x193, written)
    m = Master(3)
    m.transfer(C.SESSION, b"\x01\x02", first=True)
    m.transfer(C.CONNECTION, bytes([CONN_ID, 0]) + address.to_bytes(2, "little"), CONN_ID)
    reply = m.send(C.PARAMETER, b"\x02", CONN_ID)
    if error is None:
        assert reply.control.command == C.PARAMETER
    else:
        assert reset_error(reply) == error


@pytest.mark.parametrize(
    ("params", "error"),
    [
        (dict(wd_ms=49), 9),
        (dict(wd_ms=10001), 9),
        (dict(wd_ms=50), None),
        (dict(wd_ms=10000), None),
        (dict(comm_len=3), 8),
        (dict(app_len=2), 10),
        (dict(app_param=0x1234), 11),
    ],
)
def test_parameters_judged_on_first_data_frame(params, error):
    start_slave(3)
    m = Master(3)
    m.connect(CONN_ID, **params)
    reply = m.send(C.PROCESS_DATA, b"", CONN_ID)
    if error is None:
        assert reply.control.command == C.PROCESS_DATA
        assert brisel.dict_read16(0x195) == params["wd_ms"]
    else:
        assert reset_error(reply) == error


def test_application_parameter_is_the_sra_crc():
    brisel.set_sra_crc(0xD0CBA2C6)
    in_data_state(app_param=0xD0CBA2C6)
    assert brisel.dict_read32(0x19A) == 0xD0CBA2C6


@pytest.mark.parametrize("words", [3, 4, 6])
def test_connection_walk_for_every_frame_size(words):
    m = in_data_state(words)
    for value in (1, 0, 1):
        reply = m.send(C.PROCESS_DATA, bytes([value]), CONN_ID)
        assert m.data_bytes(reply)[0] == value  # the STO bit comes back through the tx map
    assert reply.control.connection_id == CONN_ID


@pytest.mark.parametrize(
    ("command", "conn_id", "crc_ok", "error"),
    [
        (C.CONNECTION, CONN_ID, True, 1),
        (C.PARAMETER, CONN_ID, True, 1),
        (UNKNOWN, CONN_ID, True, 2),
        (C.PROCESS_DATA, CONN_ID + 1, True, 3),
        (C.PROCESS_DATA, CONN_ID, False, 4),
        (C.FAILSAFE_DATA, CONN_ID, False, 4),
    ],
)
def test_data_state_table(command, conn_id, crc_ok, error):
    m = in_data_state()
    assert reset_error(m.send(command, b"\x01", conn_id, crc_ok=crc_ok)) == error
    assert brisel.get_state() == State.FSOE_STATE_RESET


def test_session_frame_in_data_state_starts_new_session():
    m = in_data_state()
    assert m.send(C.SESSION, b"\x05", first=True).control.command == C.SESSION
    assert brisel.get_state() == State.FSOE_STATE_SESSION
    # The watchdog is disarmed: time passing does not reset the new session.
    brisel.set_mock_time(brisel.get_time() + 10**7)
    brisel.process()
    assert brisel.get_state() == State.FSOE_STATE_SESSION


def test_sto_round_trip():
    m = in_data_state()
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID)
    assert brisel.get_status_sto() is True
    assert brisel.dict_read16(0x040) == 1
    assert (brisel.dict_read16(0x171), brisel.dict_read16(0x172)) == (0x36, CONN_ID)
    reply = m.send(C.FAILSAFE_DATA, b"\x01", CONN_ID)  # fail-safe data never reaches outputs
    assert reply.control.command == C.PROCESS_DATA
    assert brisel.get_status_sto() is False
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID)
    assert brisel.get_status_sto() is True


def expire_watchdog(m):
    brisel.set_mock_time(brisel.get_time() + 100_000)
    brisel.process()


def send_bad_crc(m):
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID, crc_ok=False)


def send_wrong_conn_id(m):
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID + 1)


def send_master_reset(m):
    m.send(C.RESET, b"\x03", first=True)


@pytest.mark.parametrize(
    "drop", [expire_watchdog, send_bad_crc, send_wrong_conn_id, send_master_reset,
             lambda m: brisel.stop()],
)  # fmt: skip
def test_sto_falls_when_connection_is_lost(drop):
    m = in_data_state()
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID)
    assert brisel.get_status_sto() is True
    drop(m)
    assert brisel.get_state() == State.FSOE_STATE_RESET
    assert brisel.get_status_sto() is False


def test_watchdog_expiry_in_data_state():
    m = in_data_state(wd_ms=100)
    last = m.build(C.PROCESS_DATA, b"\x01", CONN_ID)
    data_reply = cycle(last)
    t = brisel.get_time()
    brisel.set_mock_time(t + 99_999)
    brisel.set_request(last)
    brisel.process()  # repeated request: ignored, no restart of the watchdog
    assert brisel.get_state() == State.FSOE_STATE_DATA
    brisel.set_mock_time(t + 100_000)
    brisel.set_request(m.build(C.PROCESS_DATA, b"\x01", CONN_ID))
    brisel.process()  # expiry: the pending request is dropped, the reply not rebuilt
    assert brisel.get_state() == State.FSOE_STATE_RESET
    assert brisel.get_reply() == data_reply
    # The same request as the last processed one puts the prepared Reset frame out.
    crc = frame_crc_word(0x2A, 1, 0, 0, b"\x05", 1, 0)
    assert cycle(last) == bytes([0x2A, 5]) + crc.to_bytes(2, "little") + bytes(2)
    # A new ProcessData request is answered by the Reset state.
    assert reset_error(m.exchange(m.build(C.PROCESS_DATA, b"\x01", CONN_ID))) == 1


def test_watchdog_measures_across_clock_wrap():
    brisel.set_mock_time(2**32 - 50_000)
    m = in_data_state(wd_ms=100)
    brisel.set_mock_time(49_999)  # 99_999 us later
    brisel.process()
    assert brisel.get_state() == State.FSOE_STATE_DATA
    m.send(C.PROCESS_DATA, b"\x01", CONN_ID)  # restarts the watchdog at 49_999
    brisel.set_mock_time(149_998)
    brisel.process()
    assert brisel.get_state() == State.FSOE_STATE_DATA
    brisel.set_mock_time(149_999)
    brisel.process()
    assert brisel.get_state() == State.FSOE_STATE_RESET


def test_repeated_request_is_ignored_but_answered():
    m = in_data_state()
    request = m.build(C.PROCESS_DATA, b"\x01", CONN_ID)
    first = cycle(request)
    assert cycle(request) == first  # same reply: no sequence number advanced
    reply = m.exchange(request)  # the helper's own check agrees
    assert reply.control.command == C.PROCESS_DATA
    assert m.send(C.PROCESS_DATA, b"\x00", CONN_ID).control.command == C.PROCESS_DATA


def probe_crc0(command, conn_id, seed, seq, value):
    f = tarnwick.FSOEFrame(8)
    f.control.command = command
    f.control.connection_id = conn_id
    f.control.crc0 = seed
    f.control.sequence_number = seq
    f.safe_data[0] = value
    return f.calc_crc0()


def find_data(accept):
    for value in range(1 << 16):
        if accept(value):
            return value
    pytest.fail("no colliding request found")


def test_request_crc0_repeat_is_followed():
    # Master data whose CRC_0 at the next sequence number repeats the master's
    # previous CRC_0: the master steps its sequence number and the slave must
    # step its expected one alike.
    m = in_data_state(words=4)
    value = find_data(
        lambda v: probe_crc0(C.PROCESS_DATA, CONN_ID, m.seed, m.seq % 0xFFFF + 1, v) == m.last_crc0
    )
    seq_before = m.seq
    reply = m.send(C.PROCESS_DATA, value.to_bytes(2, "little"), CONN_ID)
    assert m.seq == seq_before + 2
    assert reply.control.command == C.PROCESS_DATA


def test_reply_crc0_repeat_steps_sequence_twice():
    # Master data that makes the slave's next reply CRC_0 equal its previous one
    # (the reply echoes the STO bit as its only data): the slave steps twice.
    m = in_data_state(words=4)

    def collides(v):
        request = tarnwick.FSOEFrame(8)
        request.control.command = C.PROCESS_DATA
        request.control.connection_id = CONN_ID
        request.control.crc0 = m.seed
        request.control.sequence_number = m.seq % 0xFFFF + 1
        request.safe_data[0] = v
        request.generate_crcs_cyclic(m.last_crc0)
        seq = m.slave_seq % 0xFFFF + 1
        reply_crc0 = probe_crc0(C.PROCESS_DATA, CONN_ID, request.calc_crc0(), seq, v & 1)
        return reply_crc0 == m.slave_last_crc0

    value = find_data(collides)
    seq_before = m.slave_seq
    m.send(C.PROCESS_DATA, value.to_bytes(2, "little"), CONN_ID)
    assert m.slave_seq == seq_before + 2


def test_sequence_numbers_survive_wraparound():
    m = in_data_state()
    for k in range(5):
        m.send(C.PROCESS_DATA, bytes([k & 1]), CONN_ID)
    # The helper checks every reply with the running sequence numbers; run long
    # enough for both sides' counters to pass 0xFFFF.
    for k in range(0x10000):
        brisel.set_request(m.build(C.PROCESS_DATA, bytes([k & 1]), CONN_ID))
        brisel.process()
        m.take_reply()
    assert brisel.get_state() == State.FSOE_STATE_DATA


def test_restart_processes_a_repeated_first_request():
    start_slave(3)
    m = Master(3)
    request = m.build(C.SESSION, b"\x01", first=True)
    cycle(request)
    brisel.stop()
    brisel.start()
    assert brisel.get_frame_size_words() == 3
    assert cycle(request)[0] == C.SESSION.value


def test_stop_deactivates_engine():
    m = in_data_state()
    brisel.stop()
    assert (brisel.get_state(), brisel.get_frame_size_words()) == (State.FSOE_STATE_RESET, 0)
    assert cycle(m.build(C.PROCESS_DATA, b"\x01", CONN_ID)) == b""
    brisel.static_map_set_rx_count(1)  # the map is unlocked again


def test_unlocked_map_takes_no_frames():
    m = in_data_state()
    reply = cycle(m.build(C.PROCESS_DATA, b"\x01", CONN_ID))
    brisel.static_map_set_lock(False)
    assert cycle(m.build(C.PROCESS_DATA, b"\x00", CONN_ID)) == reply
    assert brisel.get_state() == State.FSOE_STATE_DATA
    assert brisel.get_status_sto() is True


@pytest.mark.parametrize("extra_words", [1, 5])
def test_frame_above_engine_areas_is_not_started(extra_words):
    rx = RX_MAPS[6] + [(0, 16, True)] * extra_words
    configure_map(rx, TX_MAPS[6])
    brisel.static_map_validate()  # valid as a map; the engine cannot carry it
    brisel.start()
    assert brisel.get_frame_size_words() == 0
    assert cycle(bytes(24)) == b""
    brisel.static_map_set_rx_count(1)  # left unlocked


def test_invalid_map_leaves_engine_inactive():
    configure_map([(0x193, 8, False)], [])
    brisel.start()
    assert brisel.get_frame_size_words() == 0
    brisel.static_map_set_rx_count(0)


@settings(max_examples=300, deadline=None)
@given(
    words=st.sampled_from([1, 2, 3, 4, 5, 6]),
    requests=st.lists(st.binary(max_size=24), max_size=12),
    connect=st.booleans(),
)
def test_any_request_gives_whole_reply(words, requests, connect):
    brisel.init()
    if words in RX_MAPS and connect:
        in_data_state(words)
    else:
        configure_map([(0, 16, True)] * words, [(0x161, 8, False), (0x040, 1, False)])
        brisel.start()
    assert brisel.get_frame_size_words() == words
    for request in requests:
        reply = cycle(request)
        assert len(reply) == 2 * words
        assert brisel.get_state() in set(State)
