"""A hand-written slave for driving a MasterHandler through its public API.

The slave builds its replies with the module's own FSOEFrame: it seeds each reply
with the CRC_0 of the request it answers, numbers its replies from 1 after every
reset, and never repeats the CRC_0 of its previous reply (as any FSoE sender).
"""

import tarnwick

C = tarnwick.FSOECommand
DT = tarnwick.DataType
WIRE_LENGTH = {0: 3, 1: 6, 2: 7, 4: 11, 6: 15, 8: 19, 10: 23, 12: 27, 14: 31, 16: 35}


def request_crc0(request: bytes) -> int:
    frame = tarnwick.FSOEFrame.frame_from_array(request)
    return frame.crcs[0]


def request_data(request: bytes) -> bytes:
    frame = tarnwick.FSOEFrame.frame_from_array(request)
    n = frame.safe_data_size_bytes
    words = b"".join(w.to_bytes(2, "little") for w in frame.safe_data)
    return words[:n]


class ScriptedSlave:
    def __init__(self, size: int, connection_id: int = 0):
        self.size = size
        self.connection_id = connection_id
        self.sequence_number = 1
        self.last_crc0 = None

    def restart(self):
        """The slave's counters after a reset of the connection."""
        self.sequence_number = 1

    def reply(self, request: bytes, command, data: bytes = b"", connection_id=None, seed=None):
        frame = tarnwick.FSOEFrame(WIRE_LENGTH[self.size])
        frame.control.command = command
        frame.control.connection_id = self.connection_id if connection_id is None else connection_id
        frame.control.crc0 = request_crc0(request) if seed is None else seed
        frame.control.sequence_number = self.sequence_number
        data = data.ljust(16, b"\0")
        for k in range(8):
            frame.safe_data[k] = data[2 * k] | data[2 * k + 1] << 8
        if self.last_crc0 is None:
            frame.generate_crcs()
        else:
            frame.generate_crcs_cyclic(self.last_crc0)
        self.last_crc0 = frame.crcs[0]
        frame.control.increment_sequence_number()
        self.sequence_number = frame.control.sequence_number
        return frame.frame_to_array()


def corrupt(reply: bytes, index: int = 1) -> bytes:
    return reply[:index] + bytes([reply[index] ^ 0x01]) + reply[index + 1 :]


class Recorder:
    """Collects the handler's callbacks."""

    def __init__(self):
        self.errors = []
        self.states = []
        self.on_error = None  # called after recording, to act from inside the callback
        self.on_state = None  # the same for the state-change callback

    def error(self, transition, message):
        self.errors.append((transition, message))
        if self.on_error:
            self.on_error(transition, message)

    def state(self, cls):
        self.states.append(cls)
        if self.on_state:
            self.on_state(cls)


def make_handler(in_bits=8, out_bits=8, parameters=None, timeout=5.0, connection_id=0x1234,
                 sto_type=DT.BOOL, sto_bits=1):  # fmt: skip
    """A handler with one output (`sto`, a BOOL on 1 bit unless told) and one BOOL
    input, padded to whole bytes."""
    sto = tarnwick.DictionaryItemOutput(1, "sto", sto_type)
    status = tarnwick.DictionaryItemInput(2, "sto_status", DT.BOOL, False)
    dictionary = tarnwick.Dictionary([sto, status])
    recorder = Recorder()
    handler = tarnwick.MasterHandler(
        dictionary,
        1,
        connection_id,
        timeout,
        application_parameters=parameters,
        report_error_callback=recorder.error,
        state_change_callback=recorder.state,
    )
    handler.master.dictionary_map.add(sto, sto_bits)
    handler.master.dictionary_map.add_padding(out_bits - sto_bits)
    handler.slave.dictionary_map.add(status, 1)
    handler.slave.dictionary_map.add_padding(in_bits - 1)
    return handler, recorder


STATE_COMMAND = {
    "StateSession": C.SESSION,
    "StateConnection": C.CONNECTION,
    "StateParameter": C.PARAMETER,
    "StateData": C.PROCESS_DATA,
}


def good_reply(handler, slave, data: bytes = b"\x5a"):
    """The reply a correct slave gives to the handler's current request."""
    request = handler.get_request()
    name = next(c.__name__ for c in handler.state.__mro__ if c.__module__ == "tarnwick")
    if name == "StateReset":
        return slave.reply(request, C.RESET, b"\0")
    command = STATE_COMMAND[name]
    if name in ("StateConnection", "StateParameter"):
        data = request_data(request)  # the slave echoes what it received
    connection_id = 0 if name == "StateSession" else handler.master.session.connection_id.value
    return slave.reply(request, command, data[: slave.size], connection_id=connection_id)


def walk_to(handler, slave, target, max_cycles=64):
    """Answers correctly until the handler is in `target`; returns the cycles used."""
    for cycle in range(max_cycles):
        if handler.state is target:
            return cycle
        was_reset = handler.state is tarnwick.StateReset
        handler.set_reply(good_reply(handler, slave))
        if was_reset:
            slave.restart()
    raise AssertionError(f"{target.__name__} not reached; in {handler.state.__name__}")
