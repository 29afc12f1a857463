"""Enumeration of attached devices and log forwarding."""

import logging
import sys

import pytest

import kelosdk.kelo as kelo
from kelosdk import errors

TWO = [
    ("sim://a", "Alpha", "Maker", "S1", 0x1234, 0xABCD, "usb-1", 1, 0),
    ("sim://b", "", "Maker", "S2", 65535, 0, "usb-2", 0, 1),
]


@pytest.mark.parametrize("native", [False, True])
def test_enumerate_two_devices(dev, sim, native):
    sim.set_devices(*TWO)
    sim.enum_native(native)
    found = dev.enumerate()
    assert [tuple(d) for d in found] == TWO
    assert type(found[0]) is kelo.DeviceDescriptor and found[1].product == ""
    assert type(found[0].isHighSpeed) is int  # the library's flag, not a bool
    threads = {c.thread for c in sim.calls("kelo_enum_get_product")}
    caller = sim.calls("kelo_dev_enumerate")[0].thread
    assert (caller not in threads) == native
    assert {c.gil for c in sim.calls() if c.name.startswith("kelo_enum_")} == {0}
    assert sim.calls("kelo_dev_enumerate")[0].gil == 0


def test_enumerate_nothing_attached(dev, sim):
    sim.set_devices()
    assert dev.enumerate() == []


def test_descriptor_record():
    assert kelo.DeviceDescriptor._fields == ("connectionString", "product", "manufacturer", "serialNumber", "usbVid", "usbPid",
                                            "usbInstancePath", "isHighSpeed", "isSuperSpeed")
    names = {k: getattr(v, "__forward_arg__", v) for k, v in kelo.DeviceDescriptor.__annotations__.items()}
    assert names == {"connectionString": "str", "product": "str", "manufacturer": "str", "serialNumber": "str", "usbVid": "int",
                     "usbPid": "int", "usbInstancePath": "str", "isHighSpeed": "bool", "isSuperSpeed": "bool"}
    assert kelo.DeviceDescriptor.__module__ == "kelosdk.kelo"


@pytest.mark.parametrize(
    "getter, status, exc",
    [
        ("kelo_enum_get_product", -3, errors.KeloSdkInvalidArgumentError),
        ("kelo_enum_usb_get_vid_pid", -1, errors.KeloSdkInternalException),
        ("kelo_enum_usb_is_super_speed", -9, errors.KeloSdkError),
    ],
)
@pytest.mark.parametrize("native", [False, True])
def test_enumerate_getter_failure_raises_first(dev, sim, getter, status, exc, native):
    sim.set_devices(*TWO)
    sim.enum_native(native)
    sim.fail(getter, status, "first", times=1)
    sim.fail(getter, -2, "second", times=1)
    with pytest.raises(exc) as e:
        dev.enumerate()
    assert e.value.args == ("first",) and e.value.status == status
    assert dev.enumerate() == [kelo.DeviceDescriptor(*d) for d in TWO]  # nothing left pending


def test_enumerate_getter_presets(dev, sim):
    sim.set_devices(TWO[0])
    sim.script("kelo_enum_get_serial_number", 0)  # leaves the text untouched
    sim.script("kelo_enum_usb_get_vid_pid", 0)
    (d,) = dev.enumerate()
    assert (d.serialNumber, d.usbVid, d.usbPid) == ("", 0, 0)
    sim.script("kelo_enum_get_product", 0, None)  # a null text reads as ''
    assert dev.enumerate()[0].product == ""


def test_enumerate_decode_failure_and_library_failure(dev, sim):
    sim.set_devices(TWO[0])
    sim.script("kelo_enum_get_serial_number", 0, b"\xff")
    with pytest.raises(UnicodeDecodeError):
        dev.enumerate()
    sim.fail("kelo_dev_enumerate", -2, "busy")
    with pytest.raises(errors.KeloSdkInvalidOperationError, match="busy"):
        dev.enumerate()


def test_open_enumerated_device(dev):
    (d,) = dev.enumerate()
    dev.open(d.connectionString)
    assert dev.isOpened()


@pytest.fixture
def kelosdk_log(caplog):
    caplog.set_level(logging.DEBUG, logger="kelosdk")
    return caplog


@pytest.mark.parametrize(
    "severity, level",
    [(9, logging.DEBUG), (0, logging.INFO), (-1, logging.WARNING), (-2, logging.ERROR), (-3, logging.CRITICAL), (5, logging.CRITICAL)],
)
@pytest.mark.parametrize("native", [False, True])
def test_log_severity(dev, sim, kelosdk_log, severity, level, native):
    sim.fire_log("  a line \n", severity, native)
    assert [(r.name, r.levelno, r.getMessage()) for r in kelosdk_log.records] == [("kelosdk", level, "a line")]


@pytest.mark.parametrize("text", ["", None, " \t\n"])
def test_log_empty(dev, sim, kelosdk_log, text):
    sim.fire_log(text)
    assert [r.getMessage() for r in kelosdk_log.records] == [""]


def test_log_lines_of_the_library(sim, kelosdk_log):
    with kelo.Device() as d:
        d.open("sim://kelo-0")
    assert [r.getMessage() for r in kelosdk_log.records] == ["device sim://kelo-0 opened", "device sim://kelo-0 closed"]


def test_logger_fetched_per_line(dev, sim, kelosdk_log):
    sim.fire_log("one", 9)
    logging.getLogger("kelosdk").setLevel(logging.INFO)
    sim.fire_log("two", 9)
    sim.fire_log("three", 0)
    assert [r.getMessage() for r in kelosdk_log.records] == ["one", "three"]


@pytest.mark.parametrize("native", [False, True])
def test_log_failures_are_unraisable(dev, sim, monkeypatch, native):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append((u.object, type(u.exc_value))))
    sim.fire_log(b"\xff bad", 0, native)

    class Boom(logging.Handler):
        def emit(self, record):
            raise KeyError("x")

        def handleError(self, record):
            raise

    logger = logging.getLogger("kelosdk")
    h = Boom()
    logger.addHandler(h)
    try:
        sim.fire_log("good", -2, native)
    finally:
        logger.removeHandler(h)
    assert seen == [("kelosdk.kelo.__log_func_callback", UnicodeDecodeError), ("kelosdk.kelo.__log_func_callback", KeyError)]
    dev.isOpened()  # nothing pending on this thread


def test_default_logging_reaches_stderr(tmp_path):
    import subprocess
    import textwrap

    code = textwrap.dedent(
        """
        import kelosdk.kelo as kelo
        from kelosdk.standin import sim
        d = kelo.Device()
        sim().fire_log("shown", -1)
        sim().fire_log("hidden", 0)
        """
    )
    r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and "shown" in r.stderr and "hidden" not in r.stderr


def test_exit_while_native_thread_logs():
    import subprocess
    import textwrap

    code = textwrap.dedent(
        """
        import logging
        import kelosdk.kelo as kelo
        from kelosdk.standin import sim
        logging.basicConfig(level=logging.DEBUG, handlers=[logging.NullHandler()])
        d = kelo.Device()
        sim().log_storm(True)
        import time
        time.sleep(0.2)
        print("exiting")
        """
    )
    r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert r.returncode == 0 and r.stdout.strip() == "exiting", r.stderr
