"""Per-call cost of the safe-data packing and unpacking (median of many runs).

The C++ share is estimated as the difference to `_lock(True)`, a method with one
argument that does almost nothing, so what remains is the packing itself.
"""

import statistics
import timeit

import tarnwick
from tarnwick import DataType as D

RUNS, NUMBER = 15, 200_000


def per_call_ns(stmt, **names):
    times = timeit.repeat(stmt, repeat=RUNS, number=NUMBER, globals=names)
    return statistics.median(times) / NUMBER * 1e9


def main():
    flag_out, byte_out = (
        tarnwick.DictionaryItemOutput(1, "flag_out", D.BOOL),
        tarnwick.DictionaryItemOutput(2, "byte_out", D.UINT8),
    )
    flag_in, byte_in = (
        tarnwick.DictionaryItemInput(3, "flag_in", D.BOOL, False),
        tarnwick.DictionaryItemInput(4, "byte_in", D.UINT8, 0),
    )
    dictionary = tarnwick.Dictionary([flag_out, byte_out, flag_in, byte_in])
    outputs = tarnwick.DictionaryMap(dictionary, {tarnwick.DictionaryItemOutput})
    inputs = tarnwick.DictionaryMap(dictionary, {tarnwick.DictionaryItemInput})
    for m, (flag, byte) in ((outputs, (flag_out, byte_out)), (inputs, (flag_in, byte_in))):
        m.add(flag, 1)
        m.add(byte, 8)
        m.add_padding(7)
    flag_out.set(True)
    byte_out.set(0xA5)
    frame = tarnwick.FSOEFrame(7)
    outputs._set_data_to_frame(frame)

    session = tarnwick.DynamicMappableItem(0x1234, D.UINT16)
    dyn = tarnwick.FSOEDynamicMap()

    base = per_call_ns("m._lock(True)", m=outputs)
    rows = [
        ("call overhead (_lock)", base),
        (
            "_set_data_to_frame, BOOL + UINT8",
            per_call_ns("m._set_data_to_frame(f)", m=outputs, f=frame),
        ),
        (
            "_get_data_from_frame, BOOL + UINT8",
            per_call_ns("m._get_data_from_frame(f)", m=inputs, f=frame),
        ),
        (
            "Dictionary._set_inputs_to_failsafe",
            per_call_ns("d._set_inputs_to_failsafe()", d=dictionary),
        ),
        (
            "dynamic set_data_to_frame (nothing pending)",
            per_call_ns("m.set_data_to_frame(f, 2)", m=dyn, f=frame),
        ),
        (
            "dynamic clear + add + set_data_to_frame",
            per_call_ns(
                "m.clear(); m.add(s); m.set_data_to_frame(f, 2)", m=dyn, f=frame, s=session
            ),
        ),
    ]
    for name, ns in rows:
        extra = "" if name.startswith("call") else f"   ({ns - base:+.0f} ns against the call)"
        print(f"{name:45s} {ns:7.1f} ns{extra}")


if __name__ == "__main__":
    main()
