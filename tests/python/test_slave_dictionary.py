import pytest
from slave_helpers import RX_MAPS, TX_MAPS, configure_map, fresh_slave, start_slave  # noqa: F401

from virtual_slave import brisel

pytestmark = pytest.mark.usefixtures("fresh_slave")

# Readable values after init(): plain values keep their initial value, engine-backed
# objects read the engine's freshly reset records.
INITIAL_VALUES = [
    (0x040, 0), (0x160, 2), (0x161, 0), (0x162, 0), (0x163, 0), (0x170, 2), (0x171, 0),
    (0x172, 0), (0x173, 0), (0x191, 9), (0x193, 0x1234), (0x194, 0), (0x195, 0), (0x197, 1),
    (0x198, 2), (0x199, 4), (0x19A, 0), (0x300, 1), (0x301, 0x1E00), (0x310, 1),
    (0x311, 0x1D00), (0x3B0, 1), (0x3B1, 0x67910210), (0x4B0, 1), (0x4B1, 0x67910710),
    (0x4B2, 0x67910410), (0x4B3, 0x67910810), (0x4B4, 0x67910920), (0x650, 0), (0x65F, 0),
    (0x660, 0), (0x66F, 0), (0x6DB, 1), (0x6DD, 1),
]  # fmt: skip


@pytest.mark.parametrize(("key", "value"), INITIAL_VALUES)
def test_initial_values(key, value):
    assert brisel.dict_read32(key) == value
    assert brisel.dict_read16(key) == value & 0xFFFF  # a narrower read keeps the low bits


@pytest.mark.parametrize("key", [0, 0x041, 0x196, 0x6DC, 0x6DE, 1000, 1758, 0xFFFF])
def test_missing_objects_read_zero(key):
    assert (brisel.dict_read16(key), brisel.dict_read32(key)) == (0, 0)


def test_string_object_delivers_its_first_bytes():
    assert brisel.dict_read16(0x192) == 0x3130  # "01"
    assert brisel.dict_read32(0x192) == 0x3130  # the string ends after its first word


@pytest.mark.parametrize(
    ("key", "value"),
    [(0x040, 1), (0x160, 7), (0x161, 0x36), (0x171, 0x36), (0x172, 9), (0x194, 9),
     (0x19A, 5), (0x3B1, 5), (0x192, 0x4141)],
)  # fmt: skip
def test_read_only_objects_refuse_writes(key, value, capsys):
    before = brisel.dict_read32(key)
    brisel.dict_write16(key, value)
    brisel.dict_write32(key, value)
    assert brisel.dict_read32(key) == before
    assert capsys.readouterr().out == f"data {value}\n"


def test_write_sizes():
    brisel.dict_write32(0x193, 0xABCD4321)  # a 4-byte write to a 16-bit object: its low word
    assert brisel.dict_read16(0x193) == 0x4321
    brisel.dict_write16(0x651, 0x1234)  # a 2-byte write to a 32-bit object is too small
    assert brisel.dict_read32(0x651) == 0
    brisel.dict_write32(0x651, 0x80010040)
    assert brisel.dict_read32(0x651) == 0x80010040


@pytest.mark.parametrize(("count_key", "get_count"), [(0x650, "rx"), (0x660, "tx")])
def test_count_mirrors(count_key, get_count):
    read_count = getattr(brisel, f"static_map_get_{get_count}_count")
    brisel.dict_write16(count_key, 15)
    assert read_count() == 15
    brisel.dict_write16(count_key, 16)  # above 15: refused
    assert read_count() == 15
    assert brisel.dict_read16(count_key) == 15


def test_item_mirrors_store_raw_items():
    brisel.dict_write32(0x65F, 0xFFFFFFFF)
    brisel.dict_write32(0x661, 0x00020162)
    assert brisel.dict_read32(0x65F) == 0xFFFFFFFF
    assert brisel.dict_read32(0x661) == 0x00020162


def test_map_mirrors_refused_while_locked():
    start_slave(3)
    before = [brisel.dict_read32(k) for k in range(0x650, 0x670)]
    assert before[0] == len(RX_MAPS[3])
    for key in range(0x650, 0x670):
        brisel.dict_write32(key, 1)
    assert [brisel.dict_read32(k) for k in range(0x650, 0x670)] == before
    brisel.stop()
    brisel.dict_write32(0x650, 1)
    assert brisel.static_map_get_rx_count() == 1


@pytest.mark.parametrize("key", [0x6DB, 0x6DD])
@pytest.mark.parametrize("value", [0x65766173, 0x64616F6C, 0])
def test_store_and_restore_commands_change_nothing(key, value):
    brisel.dict_write16(0x193, 0x4444)
    brisel.dict_write32(key, value)
    assert brisel.dict_read32(key) == 1
    assert brisel.dict_read16(0x193) == 0x4444


@pytest.mark.parametrize("key", [0x040, 0x172, 0x651, 0x19A, 0x6DB])
def test_fast_write_needs_a_32_bit_rx_object(key):
    # No object is both rx-mappable and 32 bits wide, so the fast write never stores.
    before = brisel.dict_read32(key)
    brisel.dict_fast_write32(key, 0xFFFFFFFF)
    assert brisel.dict_read32(key) == before
    assert brisel.get_status_sto() is False


def test_init_restores_initial_values():
    brisel.dict_write16(0x193, 0x4444)
    brisel.dict_write16(0x650, 3)
    start_slave(3)
    brisel.init()
    assert (brisel.dict_read16(0x193), brisel.dict_read16(0x650)) == (0x1234, 0)
    assert brisel.get_frame_size_words() == 0


# --- validation ------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("rx", "tx", "valid"),
    [
        ([(0x193, 8, False)], [], False),  # 0x193 is not mappable
        ([(0x171, 16, False)], [], False),  # 0x171 is 8 bits wide
        ([(0x040, 1, False)], [], True),
        ([(0x040, 8, False)], [], False),
        ([(0, 16, True)], [(0, 5, True)], True),  # padding needs no object
        ([(0, 16, False)], [], False),  # key 0 without padding
        ([], [(0x171, 8, False)], False),  # rx-only object in the tx map
        ([(0x161, 8, False)], [], False),  # tx-only object in the rx map
        ([], [(0x163, 16, False), (0x040, 1, False)], True),
        ([(0x192, 0, False)], [], False),  # the string object cannot be mapped
        ([(0x1040, 1, False)], [], True),  # the address keeps its low 12 bits
        ([], [], True),
    ],
)
def test_validation(rx, tx, valid):
    configure_map(rx, tx)
    if valid:
        brisel.static_map_validate()
    else:
        with pytest.raises(ValueError, match="^Invalid Map$"):
            brisel.static_map_validate()
    brisel.static_map_set_rx_count(0)  # validation does not lock the map


def test_items_beyond_count_are_not_validated():
    configure_map([(0, 16, True), (0x193, 8, False)], [])
    brisel.static_map_set_rx_count(1)
    brisel.static_map_validate()


@pytest.mark.parametrize(
    ("size_field", "words"),
    [(0x130, 3), (0x1FF, 0), (0x030, 3)],  # only the low 8 bits of the size count
)
def test_size_field_uses_low_byte(size_field, words):
    brisel.dict_write16(0x650, 1)
    brisel.dict_write32(0x651, 0x80008000 | size_field << 16)  # padding, size in bits
    brisel.start()
    assert brisel.get_frame_size_words() == words  # 0xFF bits need 16 words: too large


def test_frame_size_from_larger_map():
    configure_map(RX_MAPS[3], TX_MAPS[4])
    brisel.start()
    assert brisel.get_frame_size_words() == 4


def test_start_resets_slave_address_and_map_lock():
    brisel.dict_write16(0x193, 0x4321)
    start_slave(3)
    assert brisel.dict_read16(0x193) == 0x1234
    with pytest.raises(ValueError, match="Unavailable"):
        brisel.static_map_set_rx_count(0)


def test_failed_start_unlocks_a_locked_map():
    configure_map([(0x193, 8, False)], [])
    brisel.static_map_set_lock(True)
    brisel.start()
    brisel.static_map_set_rx_count(0)
    assert brisel.get_frame_size_words() == 0
