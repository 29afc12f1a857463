"""Device properties, hardware revisions and the register bus."""

import pytest

from kelosdk.errors import KeloSdkInvalidArgumentError, KeloSdkInvalidOperationError, KeloSdkRegbusException

# ---------------------------------------------------------------- identity

PROPS = [
    ("getConnectionString", "connectionString"),
    ("getProduct", "product"),
    ("getManufacturer", "manufacturer"),
    ("getSerialNumber", "serialNumber"),
    ("getUsbInstancePath", "usbInstancePath"),
]


def test_properties_are_those_of_the_open_device(dev, sim):
    sim.set_devices(
        ("sim://a", "A", "Maker A", "S-A", 0x1234, 0x0001, "usb-1", 0, 0),
        ("sim://b", "B", "Maker B", "", 0xFFFF, 0xABCD, "usb-2", 2, 1),
    )
    record = dev.enumerate()[1]
    dev.open(record.connectionString)
    assert [getattr(dev.props, method)() for method, _ in PROPS] == [getattr(record, field) for _, field in PROPS]
    assert dev.props.getSerialNumber() == ""
    ids = dev.props.getUsbVidPid()
    assert type(ids).__name__ == "VidPid" and ids._fields == ("vendorId", "productId")
    assert ids == (0xFFFF, 0xABCD) and type(ids.vendorId) is int
    assert (dev.props.isUsbHighSpeed(), dev.props.isUsbSuperSpeed()) == (True, True)
    assert {c.gil for c in sim.calls() if c.name.startswith("kelo_dev_prop_")} == {0}


@pytest.mark.parametrize(
    "method, func", [("isUsbHighSpeed", "kelo_dev_prop_usb_is_high_speed"), ("isUsbSuperSpeed", "kelo_dev_prop_usb_is_super_speed")]
)
@pytest.mark.parametrize("flag, expected", [(0, False), (2, True), (-1, True)])
def test_speed_flags_are_bool(opened, sim, method, func, flag, expected):
    sim.script(func, 0, flag)
    assert getattr(opened.props, method)() is expected


@pytest.mark.parametrize("method", [m for m, _ in PROPS] + ["getUsbVidPid", "isUsbHighSpeed", "isUsbSuperSpeed"])
def test_properties_need_an_open_device(dev, method):
    with pytest.raises(KeloSdkInvalidOperationError, match="no device is open"):
        getattr(dev.props, method)()


@pytest.mark.parametrize("text, expected", [("Détecteur", "Détecteur"), (b"\xff", UnicodeDecodeError)])
def test_property_text_is_strict_utf8(opened, sim, text, expected):
    sim.script("kelo_dev_prop_get_product", 0, text, times=0)  # kept while scripted
    if expected is UnicodeDecodeError:
        with pytest.raises(UnicodeDecodeError):
            opened.props.getProduct()
    else:
        assert opened.props.getProduct() == expected


# --------------------------------------------------------------- revisions


def test_revisions_in_index_order(opened, sim):
    revisions = opened.revisions.get()
    assert list(revisions.items()) == [("firmware", "4.2.0"), ("fpga", "2.10.0-7a3e"), ("board", "C"), ("readout", "1.3")]
    calls = sim.calls()
    assert [(c.name, c.args) for c in calls] == [("kelo_revisions_count", ())] + [
        call for i, name in enumerate(revisions) for call in (("kelo_revisions_id", (i,)), ("kelo_revisions_string", (name,)))
    ]
    assert {c.gil for c in calls} == {0}


def test_no_revisions(opened, sim):
    sim.script("kelo_revisions_count", 0, 0)
    assert opened.revisions.get() == {}
    assert sim.names() == ["kelo_revisions_count"]


def test_revision_edge_texts(opened, sim):
    sim.set_revisions(("x", "1"), ("é", ""), ("x", "2"))
    assert opened.revisions.get() == {"x": "1", "é": ""}
    sim.set_revisions(("fpga", b"\xff"))
    with pytest.raises(UnicodeDecodeError):
        opened.revisions.get()


def test_revision_failure_propagates(opened, sim):
    sim.fail("kelo_revisions_string", -3, "revision unreadable")
    with pytest.raises(KeloSdkInvalidArgumentError, match="revision unreadable"):
        opened.revisions.get()
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        opened.revisions._Revisions__getId(2**40)


# ------------------------------------------------------------ register bus


def test_register_words(opened):
    bus = opened.regbus
    assert bus.read(0x0) == 0x4B454C4F
    assert bus.read(0x8) == 0x80000001  # top bit set, still non-negative
    bus.write(0x10, 0xFFFFFFFF)
    bus.write(address=0x14, data=2**31)
    assert (bus.read(0x10), bus.read(address=0x14), bus.read(0x18)) == (0xFFFFFFFF, 2**31, 0)
    assert bus.read(4.7) == 0x00020003  # through __int__: address 4


@pytest.mark.parametrize(
    "op, status, message",
    [
        (lambda b: b.write(0x0, 1), 102, "slave error: register 0x00000000 is read-only"),
        (lambda b: b.read(0x11), 102, "unaligned access at 0x00000011"),
        (lambda b: b.read(0xDEAD0040), 102, "slave error at 0xdead0040"),
        (lambda b: b.read(0xFFFFFFFF), 102, "unaligned access at 0xffffffff"),
        (lambda b: b.write(0x1000, 1), 103, "decode error: no slave at 0x00001000"),
    ],
)
def test_bus_errors_raise(opened, op, status, message):
    with pytest.raises(KeloSdkRegbusException, match=message) as info:
        op(opened.regbus)
    assert info.value.status == status


def test_success_statuses_other_than_the_bus_errors(opened, sim):
    bus = opened.regbus
    bus.write(0x20, 7)  # answers 101
    bus.write(0x24, 2**32 - 1)  # answers 104
    assert (bus.read(0x20), bus.read(0x24)) == (7, 2**32 - 1)
    assert sim.names("kelo_ctx_get_last_error") == []


@pytest.mark.parametrize("status, exc", [(102, KeloSdkRegbusException), (103, KeloSdkRegbusException), (-3, KeloSdkInvalidArgumentError)])
@pytest.mark.parametrize("func", ["kelo_regbus_read", "kelo_regbus_write"])
def test_scripted_failures(opened, sim, func, status, exc):
    sim.script(func, status, 5, error="bus says no")
    with pytest.raises(exc, match="bus says no") as info:
        opened.regbus.read(0x10) if func == "kelo_regbus_read" else opened.regbus.write(0x10, 1)
    assert info.value.status == status


@pytest.mark.parametrize("status", [0, 1, 101, 104, 2**31 - 1])
def test_scripted_successes(opened, sim, status):
    sim.script("kelo_regbus_read", status, 2**32 - 1)
    assert opened.regbus.read(0x10) == 2**32 - 1
    sim.script("kelo_regbus_write", status)
    assert opened.regbus.write(0x10, 1) is None


@pytest.mark.parametrize(
    "op, message",
    [
        (lambda b: b.read(-1), "can't convert negative value to uint32_t"),
        (lambda b: b.read(2**32), "value too large to convert to uint32_t"),
        (lambda b: b.write(1, -5), "can't convert negative value to uint32_t"),
        (lambda b: b.write(1, 2**32), "value too large to convert to uint32_t"),
        (lambda b: b.write(-1, 2**32), "can't convert negative value to uint32_t"),  # address first
    ],
)
def test_bad_words_never_reach_the_bus(opened, sim, op, message):
    with pytest.raises(OverflowError, match=message):
        op(opened.regbus)
    assert sim.calls() == []


def test_bus_arguments_at_the_library(opened, sim):
    with pytest.raises(KeloSdkRegbusException):
        opened.regbus.read(2**32 - 1)
    opened.regbus.write(0x1C, 2**32 - 1)
    calls = sim.calls()
    assert [(c.name, c.args) for c in calls if c.name.startswith("kelo_regbus")] == [
        ("kelo_regbus_read", (2**32 - 1,)),
        ("kelo_regbus_write", (0x1C, 2**32 - 1)),
    ]
    assert {c.gil for c in calls if c.name.startswith("kelo_regbus")} == {0}


def test_bus_needs_an_open_device(dev):
    with pytest.raises(KeloSdkInvalidOperationError, match="no device is open"):
        dev.regbus.read(0)
