"""Bit-by-bit reference CRCs, independent of the modules' table-driven ones."""


def crc_msb_first(data: bytes, poly: int, width: int) -> int:
    top = 1 << (width - 1)
    mask = (1 << width) - 1
    c = 0
    for b in data:
        c ^= b << (width - 8)
        for _ in range(8):
            c = ((c << 1) ^ poly) & mask if c & top else (c << 1) & mask
    return c


def fsoe_crc16(data: bytes) -> int:
    return crc_msb_first(data, 0x39B7, 16)


def sra_crc32(data: bytes) -> int:
    return crc_msb_first(data, 0x814141AB, 32)


def frame_crc_word(command, seq, conn_id, crc0, data: bytes, n: int, i: int) -> int:
    """CRC_i of a frame, built from the documented byte order."""
    head = crc0.to_bytes(2, "little") + conn_id.to_bytes(2, "little")
    head += seq.to_bytes(2, "little") + bytes([command & 0xFF])
    data = data.ljust(16, b"\0")
    if i == 0:
        body = data[0:1] if n == 1 else data[0:2]
    else:
        body = i.to_bytes(2, "little") + data[2 * i : 2 * i + 2]
    return fsoe_crc16(head + body + b"\0\0\0")
