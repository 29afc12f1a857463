"""Flash memories: layout, read and program."""

import array
import copy
import gc
import pickle

import numpy as np
import pytest

import kelosdk.kelo as kelo
from kelosdk.errors import KeloSdkInternalException, KeloSdkInvalidArgumentError, KeloSdkInvalidOperationError
from kelosdk.persist import NonVolatileMemory, Region, Sector

KIB = 1024


def flash_calls(sim):
    return [(c.name[len("kelo_flash_"):],) + c.args for c in sim.calls() if c.name.startswith("kelo_flash_")]


def select(dev, sim, persist_id):
    memory = dev.persist.selectMemory(persist_id)
    sim.clear_calls()
    return memory


@pytest.fixture
def config(opened, sim):
    return select(opened, sim, "config")


@pytest.fixture
def boot(opened, sim):
    return select(opened, sim, "boot")


def layout(memory):
    return [(r.sectorSize, [(s.startingAddress, s.endingAddress) for s in r.sectors]) for r in memory.regions]


# ------------------------------------------------------------------ layout


def test_ids(opened, sim):
    assert opened.persist.getIds() == ["config", "boot"]
    sim.script("kelo_flash_count", 0, 0)
    assert opened.persist.getIds() == []


@pytest.mark.parametrize(
    "func, op", [("kelo_flash_id", lambda p: p.getIds()), ("kelo_flash_part_nr", lambda p: p.selectMemory("config"))], ids=["id", "part"]
)
def test_library_texts_decode_as_ascii(opened, sim, func, op):
    sim.script(func, 0, "m\u00e9moire", times=0)  # kept while scripted
    with pytest.raises(UnicodeDecodeError):
        op(opened.persist)


def test_layout_walk_queries_in_order_with_global_sector_indices(opened, sim):
    memory = opened.persist.selectMemory("config")
    assert flash_calls(sim) == [
        ("part_nr", "config"),
        ("regions", "config"),
        ("sector_size", "config", 0),
        ("sector_count", "config", 0),
        *[("sector_address_range", "config", i) for i in range(4)],
        ("sector_count", "config", 0),
        ("sector_size", "config", 1),
        ("sector_count", "config", 1),
        ("sector_address_range", "config", 4),
        ("sector_address_range", "config", 5),
        ("sector_count", "config", 1),
    ]
    assert {c.gil for c in sim.calls()} == {0}
    assert (memory.id, memory.partNumber) == ("config", "KF25Q016")
    assert layout(memory) == [
        (4 * KIB, [(i * 4 * KIB, (i + 1) * 4 * KIB - 1) for i in range(4)]),
        (64 * KIB, [(0x4000, 0x13FFF), (0x14000, 0x23FFF)]),
    ]


def test_layout_at_the_top_of_the_address_space(boot):
    regions = layout(boot)
    assert [(size, len(sectors)) for size, sectors in regions] == [(4 * KIB, 8), (16 * KIB, 2)]
    assert regions[0][1][0] == (0xFFFF0000, 0xFFFF0FFF)
    assert regions[1][1][-1] == (0xFFFFC000, 0xFFFFFFFF)


def test_memory_without_regions(opened, sim):
    sim.script("kelo_flash_regions", 0, 0)
    assert opened.persist.selectMemory("config").regions == []
    assert [c[0] for c in flash_calls(sim)] == ["part_nr", "regions"]


def test_selection_keeps_the_given_id_object(opened):
    persist_id = "".join(["con", "fig"])
    assert opened.persist.selectMemory(persist_id).id is persist_id


@pytest.mark.parametrize(
    "persist_id, exc",
    [("\u00e9", UnicodeEncodeError), (b"config", AttributeError), (None, AttributeError)],
)
def test_select_refuses_ids_before_the_library(opened, sim, persist_id, exc):
    with pytest.raises(exc):
        opened.persist.selectMemory(persist_id)
    assert flash_calls(sim) == []


def test_select_failure_propagates(opened, sim):
    with pytest.raises(KeloSdkInvalidArgumentError, match="no flash memory 'nope'") as info:
        opened.persist.selectMemory("nope")
    assert info.value.status == -3
    sim.fail("kelo_flash_sector_address_range", -1, "bus stalled")
    with pytest.raises(KeloSdkInternalException, match="bus stalled"):
        opened.persist.selectMemory("config")


@pytest.mark.parametrize(
    "pair, exc, message",
    [
        ([8, 9], None, None),
        ((1,), ValueError, "not enough values to unpack"),
        ((1, 2, 3), ValueError, "too many values to unpack"),
        (7, TypeError, "unpack"),
        ((0, 2**32), OverflowError, "value too large to convert to uint32_t"),
    ],
)
def test_layout_walk_unpacks_what_an_override_returns(opened, pair, exc, message):
    class Persist(type(opened.persist)):
        __slots__ = ()

        def _Persist__getSectorAddressRange(self, persistId, sectorIdx):
            return pair

    opened.persist.__class__ = Persist
    if exc is None:
        assert {sector for _, sectors in layout(opened.persist.selectMemory("config")) for sector in sectors} == {(8, 9)}
    else:
        with pytest.raises(exc, match=message):
            opened.persist.selectMemory("config")


# ------------------------------------------------------------ layout records


def test_records_hold_unsigned_32_bit_values():
    sector = Sector(endingAddress=2**32 - 1, startingAddress=2.9)
    assert (sector.startingAddress, sector.endingAddress) == (2, 2**32 - 1)
    assert Region(2**32 - 1, None).sectors is None
    sectors = [sector]
    assert Region(4096, sectors).sectors is sectors
    memory = NonVolatileMemory(None, None, None, None)
    assert (memory.id, memory.partNumber, memory.regions) == (None, None, None)


@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda: Sector(-1, 0), OverflowError, "can't convert negative value to uint32_t"),
        (lambda: Sector(0, 2**32), OverflowError, "value too large to convert to uint32_t"),
        (lambda: Sector("0", 1), TypeError, "an integer is required"),
        (lambda: Sector(0), TypeError, None),
        (lambda: Region(-1, []), OverflowError, "can't convert negative value to uint32_t"),
        (lambda: Region(2**32, []), OverflowError, "value too large to convert to uint32_t"),
        (lambda: Region(4096, (Sector(0, 4095),)), TypeError, "Expected list, got tuple"),
        (lambda: NonVolatileMemory(1, "a", "b", []), TypeError, "Cannot convert int to kelosdk.context._Context"),
        (lambda: NonVolatileMemory(None, b"a", "b", []), TypeError, "Expected str, got bytes"),
        (lambda: NonVolatileMemory(None, "a", 5, []), TypeError, "Expected str, got int"),
        (lambda: NonVolatileMemory(None, "a", "b", ()), TypeError, "Expected list, got tuple"),
    ],
)
def test_record_constructors_check_their_fields(make, exc, message):
    with pytest.raises(exc, match=message):
        make()


@pytest.mark.parametrize(
    "obj, attr",
    [
        (Sector(0, 1), "startingAddress"),
        (Region(1, []), "sectorSize"),
        (Region(1, []), "sectors"),
        (NonVolatileMemory(None, "a", "b", []), "regions"),
    ],
)
def test_record_attributes_are_read_only(obj, attr):
    with pytest.raises(AttributeError):
        setattr(obj, attr, 5)


@pytest.mark.parametrize("obj", [Sector(0, 1), Region(1, []), NonVolatileMemory(None, "a", "b", [])])
def test_records_refuse_pickling(obj):
    for dump in (pickle.dumps, copy.copy):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            dump(obj)


@pytest.mark.parametrize(
    "make", [lambda items: Region(1, items), lambda items: NonVolatileMemory(None, "a", "b", items)], ids=["Region", "NonVolatileMemory"]
)
def test_record_cycles_are_collected(make):
    freed = []

    class Probe:
        def __del__(self):
            freed.append(True)

    items = [Probe()]
    record = make(items)
    items.append(record)  # record -> list -> record
    del items, record
    gc.collect()
    assert freed == [True]


# ---------------------------------------------------------- read and program


@pytest.mark.parametrize(
    "make",
    [bytearray, lambda b: np.frombuffer(bytearray(b), np.uint8), lambda b: memoryview(bytearray(b)), lambda b: array.array("B", b)],
    ids=["bytearray", "ndarray", "memoryview", "array"],
)
def test_program_then_read(config, sim, make):
    payload = bytes(range(1, 7))
    config.program(0x3FFE, make(payload))  # across the sector boundary at 0x4000
    assert sim.flash_peek("config", 0x3FFE, 6) == payload
    assert config.read(0x3FFC, 10) == b"\xff\xff" + payload + b"\xff\xff"
    calls = sim.calls()
    assert [(c.name, c.args) for c in calls] == [
        ("kelo_flash_program", ("config", 0x3FFE, 6)),
        ("kelo_flash_read", ("config", 0x3FFC, 10)),
    ]
    assert {c.gil for c in calls} == {0}


def test_read_returns_what_the_memory_holds(boot, sim):
    sim.flash_poke("boot", 0xFFFFFFFC, b"\xde\xad\xbe\xef")
    assert boot.read(0xFFFFFFFC, 4) == b"\xde\xad\xbe\xef"
    assert boot.read(0xFFFF0000, 3) == b"\xff\xff\xff"


def test_program_above_2_gib(boot, sim):
    boot.program(startingAddress=0xFFFFFFFE, data=bytearray(b"\x12\x34"))
    assert sim.flash_peek("boot", 0xFFFFFFFE, 2) == b"\x12\x34"


def test_read_never_returns_stale_memory(boot, sim):
    # The library reads only up to the end of the memory; the rest is zero.
    assert boot.read(0xFFFFFFFE, 4) == b"\xff\xff\x00\x00"
    assert boot.read(0xFFFF0000, 64 * KIB) == b"\xff" * 64 * KIB  # leaves its buffer behind
    sim.script("kelo_flash_read", 0, 1)  # reports one byte, writes none
    assert boot.read(0xFFFF0000, 64 * KIB) == bytes(64 * KIB)


@pytest.mark.parametrize(
    "memory, address, size, exc, message",
    [
        ("boot", 0xFFFFFFFF, 2, KeloSdkInvalidArgumentError, "programming 2 bytes at 0xffffffff leaves flash memory 'boot'"),
        ("config", 0x23FF0, 32, KeloSdkInvalidArgumentError, "leaves flash memory 'config' \\(0x00000000-0x00023fff\\)"),
        ("boot", 0x7FFFFFFF, 1, KeloSdkInvalidArgumentError, "leaves flash memory 'boot'"),
        ("boot", 0xFFFF7FFF, 2, KeloSdkInvalidOperationError, "sector 7 of flash memory 'boot' .* is write-protected"),
    ],
)
def test_program_refusals_write_nothing(opened, sim, memory, address, size, exc, message):
    flash = opened.persist.selectMemory(memory)
    before = sim.flash_peek("boot", 0xFFFF7000, 0x9000)
    with pytest.raises(exc, match=message):
        flash.program(address, bytearray(b"\x00" * size))
    assert sim.flash_peek("boot", 0xFFFF7000, 0x9000) == before
    assert sim.flash_peek("config", 0x23FF0, 16) == b"\xff" * 16


def test_read_outside_the_memory(config):
    with pytest.raises(KeloSdkInvalidArgumentError, match="address 0x00024000 is outside flash memory 'config'") as info:
        config.read(0x24000, 1)
    assert info.value.status == -3


@pytest.mark.parametrize(
    "op, exc, message",
    [
        (lambda m: m.read(0, 0), IndexError, "Out of bounds on buffer access \\(axis 0\\)"),
        (lambda m: m.read(0, -1), ValueError, None),
        (lambda m: m.read(2**32, 4), OverflowError, "value too large to convert to uint32_t"),
        (lambda m: m.read(-1, 4), OverflowError, "can't convert negative value to uint32_t"),
        (lambda m: m.program(0, b"\x01\x02"), BufferError, None),
        (lambda m: m.program(0, np.arange(8, dtype=np.uint8)[::2]), BufferError, None),
        (lambda m: m.program(0, np.zeros((2, 2), np.uint8)), ValueError, "Buffer has wrong number of dimensions \\(expected 1, got 2\\)"),
        (lambda m: m.program(0, np.zeros(4, np.int16)), ValueError, "Buffer dtype mismatch, expected 'unsigned char' but got 'short'"),
        (lambda m: m.program(0, bytearray()), IndexError, "Out of bounds on buffer access \\(axis 0\\)"),
        (lambda m: m.program(-1, bytearray(1)), OverflowError, "can't convert negative value to uint32_t"),
        (lambda m: m.program(0, 5), TypeError, None),
        (lambda m: m.program(0), TypeError, None),
    ],
)
def test_bad_input_never_reaches_the_library(config, sim, op, exc, message):
    with pytest.raises(exc, match=message):
        op(config)
    assert flash_calls(sim) == []


@pytest.mark.parametrize("op", [lambda m: m.read(0, 4), lambda m: m.program(0, bytearray(4))], ids=["read", "program"])
def test_memory_without_a_context_or_id(sim, op):
    with pytest.raises(KeloSdkInvalidOperationError):
        op(NonVolatileMemory(None, "config", "KF25Q016", []))
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'encode'"):
        op(NonVolatileMemory(None, None, None, None))
    assert flash_calls(sim) == []


def test_memory_keeps_the_library_context_alive(sim):
    gc.collect()
    contexts = sim.live_contexts()
    dev = kelo.Device()
    dev.open("sim://kelo-0")
    memory = dev.persist.selectMemory("config")
    dev.close()
    dev.finalize()
    del dev
    gc.collect()
    assert sim.live_contexts() == contexts + 1
    with pytest.raises(KeloSdkInvalidOperationError, match="no device is open"):
        memory.read(0, 4)
    del memory
    gc.collect()
    assert sim.live_contexts() == contexts
