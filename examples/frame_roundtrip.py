"""Build an FSoE frame, serialise it, parse it back and check its CRCs, with the trace on."""

import tarnwick


def main() -> None:
    tarnwick.TARNWICK_LOGGING = True

    request = tarnwick.FSOEFrame(7)  # 2 safe-data bytes on the wire
    request.control.command = tarnwick.FSOECommand.PROCESS_DATA
    request.control.connection_id = 0x1234
    request.control.sequence_number = 1
    request.safe_data[0] = 0x0201
    request.generate_crcs_cyclic(last_sent_crc_0=0)
    wire = request.frame_to_array()
    print("wire bytes:", wire.hex(" "))

    received = tarnwick.FSOEFrame.frame_from_array(wire)
    # The sequence number and the CRC_0 seed never travel: the receiver keeps its own.
    received.control.sequence_number = 1
    print("received CRCs valid:", received.check_crcs_cyclic(last_sent_crc_0=0))

    wire_corrupted = bytes([wire[0], wire[1] ^ 0x01]) + wire[2:]
    corrupted = tarnwick.FSOEFrame.frame_from_array(wire_corrupted)
    corrupted.control.sequence_number = 1
    print("corrupted CRCs valid:", corrupted.check_crcs())


if __name__ == "__main__":
    main()
