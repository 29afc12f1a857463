import gc
import pickle
import struct
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import kelosdk.acquisition as acquisition
import kelosdk.chip as chip_module
import kelosdk.kelo as kelo
from kelosdk import errors
from kelosdk.chip import BinningParams
from kelosdk.context import _Context
from kelosdk.standin import Null, Ptr

DD = "0:tpx3-dd-toa-tot"
WHERE = "kelosdk.acquisition."


def ptr(a):
    return Ptr(a.ctypes.data)


def packed(fmt, rows):
    """The library's bytes of packed records, in a buffer the test owns."""
    return np.frombuffer(b"".join(struct.pack(fmt, *r) for r in rows), dtype=np.uint8).copy()


def register(dev, mode, channel="ch0", raw=False):
    """Select `mode` and register a recorder; returns the list of calls."""
    dev.chip.selectMode(mode)
    got = []
    (dev.acq.setRawDataCallback if raw else dev.acq.setDataCallback)(channel, lambda *a: got.append(a))
    return got


def handler_of(sim, dev, mode, register_fn=None):
    """The handler address that a registration in `mode` hands the library."""
    dev.chip.selectMode(mode)
    sim.clear_calls()
    (register_fn or (lambda: dev.acq.setDataCallback("ch0", print)))()
    (call,) = sim.calls("kelo_acq_set_data_callback")
    return call.args[1]


def is_view_of(a, buf):
    return a.ctypes.data == buf.ctypes.data and a.flags.writeable and a.flags.c_contiguous and not a.flags.owndata


def is_empty(a):
    return a.dtype == np.float64 and a.shape == (0,)


@pytest.fixture
def reports(monkeypatch):
    """Exceptions reported through sys.unraisablehook: (type, value, object),
    without tracebacks, which would keep the test's device alive."""
    seen = []

    def hook(u):
        u.exc_value.__traceback__ = None
        seen.append((u.exc_type, u.exc_value, u.object))

    monkeypatch.setattr(sys, "unraisablehook", hook)
    return seen


@pytest.fixture
def forever(opened):
    """Acquisitions run until aborted."""
    opened.trigger.setShutterDuration(0)
    return opened


# ------------------------------------------------------------ channels, control


def test_channel_ids(opened, sim):
    assert opened.acq.getChannelIds() == ["ch0", "ch1"]
    assert [c.args for c in sim.calls("kelo_acq_ch_id")] == [(0,), (1,)]
    sim.set_channels()
    assert opened.acq.getChannelIds() == []


@pytest.mark.parametrize("method", ["begin", "abort", "end"])
@pytest.mark.parametrize("status, exc", [(-2, errors.KeloSdkInvalidOperationError), (-7, errors.KeloSdkError)])
def test_control_failure_pauses_before_the_last_error(opened, sim, monkeypatch, method, status, exc):
    order = []

    class Time:
        def sleep(self, s):
            order.append(("sleep", s, len(sim.calls("kelo_ctx_get_last_error"))))

    monkeypatch.setattr(acquisition, "time", Time())
    sim.fail("kelo_acq_" + method, status, "channel busy")
    with pytest.raises(exc) as e:
        getattr(opened.acq, method)("ch0")
    assert (str(e.value), e.value.status) == ("channel busy", status)
    assert order == [("sleep", 0.1, 0)]
    assert len(sim.calls("kelo_ctx_get_last_error")) == 1


def test_control_success_does_not_pause(opened, sim, monkeypatch):
    monkeypatch.delattr(acquisition, "time")
    sim.script("kelo_acq_begin", 0)
    assert opened.acq.begin("ch0") is None


@pytest.mark.parametrize("time, exc", [(None, NameError), (object(), AttributeError)])
def test_control_pause_through_the_module_time(opened, sim, monkeypatch, time, exc):
    if time is None:
        monkeypatch.delattr(acquisition, "time")
    else:
        monkeypatch.setattr(acquisition, "time", time)
    sim.fail("kelo_acq_end", -2, "nope")
    with pytest.raises(exc):
        opened.acq.end("ch0")


class Encodes:
    def __init__(self, result):
        self.result = result

    def encode(self, encoding):
        assert encoding == "utf-8"
        return self.result


@pytest.mark.parametrize("channel, sent", [("ch0\0junk", "ch0"), (Encodes(bytearray(b"ch1")), "ch1"), ("ch\u00e9", "ch\u00e9")])
def test_channel_identifier_encoding(opened, sim, channel, sent):
    sim.script("kelo_acq_abort", 0)
    opened.acq.abort(channel)
    assert sim.calls("kelo_acq_abort")[0].args == (sent,)


@pytest.mark.parametrize("channel, exc", [(b"ch0", AttributeError), ("\ud800", UnicodeEncodeError), (Encodes("ch0"), TypeError)])
def test_channel_identifier_refused_before_the_library(opened, sim, channel, exc):
    for method in (opened.acq.begin, lambda c: opened.acq.setDataCallback(c, print)):
        opened.chip.selectMode(DD)
        with pytest.raises(exc):
            method(channel)
    assert sim.names("kelo_acq_") == []


def test_acquisition_runs_begin_to_end(opened, sim):
    got = register(opened, DD)
    opened.acq.begin("ch0")
    with pytest.raises(errors.KeloSdkInvalidOperationError, match="running"):
        opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert len(got) == sim.deliveries() > 0
    with pytest.raises(errors.KeloSdkInvalidOperationError, match="no acquisition was begun"):
        opened.acq.end("ch0")


def test_abort_stops_an_acquisition_until_aborted(forever, sim):
    got = register(forever, DD)
    forever.acq.begin("ch0")
    forever.acq.abort("ch0")
    n = len(got)
    forever.acq.end("ch0")
    assert len(got) == n


def test_software_trigger_starts_the_waiting_acquisition(opened, sim):
    got = register(opened, DD)
    opened.trigger.selectMode("software")
    opened.acq.begin("ch0")
    assert got == []
    opened.trigger.trigger()
    opened.acq.end("ch0")
    assert got
    with pytest.raises(errors.KeloSdkInvalidOperationError):
        opened.trigger.trigger()


# ---------------------------------------------------------------- registration


def test_no_mode_selected_is_not_supported(opened, sim):
    for register_fn in (opened.acq.setDataCallback, opened.acq.setRawDataCallback):
        with pytest.raises(errors.KeloSdkInvalidOperationError) as e:
            register_fn("ch0", print)
        assert (str(e.value), e.value.status) == (" is not supported!", -2)
    assert sim.calls("kelo_acq_set_data_callback") == []


def test_a_listed_mode_without_a_handler_is_not_supported(opened, sim):
    sim.add_mode("0:tpx3-future")
    opened.chip.selectMode("0:tpx3-future")
    with pytest.raises(errors.KeloSdkInvalidOperationError, match="^0:tpx3-future is not supported!$"):
        opened.acq.setDataCallback("ch0", print)
    assert sim.calls("kelo_acq_set_data_callback") == []


def test_the_mode_must_be_listed_by_the_chip(opened, sim):
    opened.chip.selectMode(DD)
    sim.script("kelo_chip_mode_count", 0, 0)
    with pytest.raises(errors.KeloSdkInvalidOperationError, match=f"^{DD} is not supported!$"):
        opened.acq.setRawDataCallback("ch0", print)
    sim.fail("kelo_chip_mode_count", -1, "chip gone")
    with pytest.raises(errors.KeloSdkInternalException, match="chip gone"):
        opened.acq.setDataCallback("ch0", print)
    assert sim.calls("kelo_acq_set_data_callback") == []


def test_mode_table(opened, sim):
    handlers = {m: handler_of(sim, opened, m) for m in opened.chip.getModeIds()}
    assert len(handlers) == 12 and len(set(handlers.values())) == 11
    assert handlers["0:tpx3-sorted-dd-toa-tot"] == handlers[DD]
    raw = handlers["0:raw-data"]
    assert handler_of(sim, opened, "0:tpx3-binned-packets", lambda: opened.acq.setRawDataCallback("ch0", print)) == raw
    assert handler_of(sim, opened, DD, lambda: opened.acq._Acquisition__setDataCallback("ch0", print, raw=True)) == raw
    assert handler_of(sim, opened, DD, lambda: opened.acq._Acquisition__setDataCallback("ch0", print, 1)) == handlers[DD]


def test_library_refusal_raises_and_keeps_the_previous_registration(opened, sim):
    got = register(opened, DD)
    sim.fail("kelo_acq_set_data_callback", -3, "bad channel")
    with pytest.raises(errors.KeloSdkInvalidArgumentError, match="bad channel"):
        opened.acq.setDataCallback("ch0", lambda *a: pytest.fail("rejected callable called"))
    assert sim.fire("ch0") == 1 and len(got) == 1


def test_registration_needs_a_chip_with_a_context():
    acq_type = getattr(acquisition, "__Acquisition")
    for chip in (None, getattr(chip_module, "__Chip")(None)):
        with pytest.raises(errors.KeloSdkInvalidOperationError):
            acq_type(_Context(), chip).setDataCallback("ch0", print)
    with pytest.raises(errors.KeloSdkInvalidOperationError):
        acq_type(None, None).begin("ch0")


def test_constructor_and_pickling(opened):
    with pytest.raises(TypeError, match="Cannot convert int to kelosdk.chip.__Chip"):
        type(opened.acq)(_Context(), 5)
    with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
        pickle.dumps(opened.acq)


# ------------------------------------------------------------------- lifetimes


class Callable:
    def __init__(self):
        self.calls = 0

    def __call__(self, *args):
        self.calls += 1


def test_accepted_registration_releases_the_replaced_callable(opened, sim):
    f, g, h = Callable(), Callable(), Callable()
    base = sys.getrefcount(f)
    opened.chip.selectMode(DD)
    opened.acq.setDataCallback("ch0", f)
    opened.acq.setDataCallback("ch1", h)
    assert sys.getrefcount(f) == base + 1
    opened.acq.setDataCallback("ch0", g)
    assert sys.getrefcount(f) == base
    sim.fire("ch0"), sim.fire("ch1")
    assert (f.calls, g.calls, h.calls) == (0, 1, 1)
    opened.finalize()
    opened.finalize()
    assert sys.getrefcount(g) == sys.getrefcount(h) == base


@pytest.mark.parametrize("rejection", ["library", "mode"])
def test_rejected_registration_is_held_until_finalize(opened, sim, rejection):
    f, g = Callable(), Callable()
    base = sys.getrefcount(f)
    opened.chip.selectMode(DD)
    opened.acq.setDataCallback("ch0", f)
    if rejection == "library":
        sim.fail("kelo_acq_set_data_callback", -1, "refused")
    else:
        sim.add_mode("0:tpx3-future")
        opened.chip.selectMode("0:tpx3-future")
    with pytest.raises(errors.KeloSdkError):
        opened.acq.setDataCallback("ch0", g)
    assert sys.getrefcount(f) == sys.getrefcount(g) == base + 1
    sim.fire("ch0")
    assert (f.calls, g.calls) == (1, 0)
    opened.finalize()
    assert sys.getrefcount(f) == sys.getrefcount(g) == base


def test_rejected_registration_goes_with_the_next_attempt(opened, sim):
    f, g = Callable(), Callable()
    base = sys.getrefcount(f)
    opened.chip.selectMode(DD)
    sim.fail("kelo_acq_set_data_callback", -3, "refused")
    with pytest.raises(errors.KeloSdkInvalidArgumentError):
        opened.acq.setDataCallback("ch0", f)
    assert sys.getrefcount(f) == base + 1
    opened.acq.setDataCallback("ch0", g)
    assert sys.getrefcount(f) == base and sys.getrefcount(g) == base + 1


def test_deliveries_after_finalize_are_dropped(opened, sim):
    f = Callable()
    base = sys.getrefcount(f)
    opened.chip.selectMode(DD)
    opened.acq.setDataCallback("ch0", f)
    opened.finalize()
    assert sys.getrefcount(f) == base
    assert sim.fire("ch0", 3, threads=2) == 6
    assert f.calls == 0


def test_finalize_and_reregistration_during_an_acquisition(forever, sim):
    f, g = Callable(), Callable()
    base = sys.getrefcount(f)
    forever.chip.selectMode(DD)
    forever.acq.setDataCallback("ch0", f)
    forever.acq.begin("ch0")
    forever.acq.setDataCallback("ch0", g)
    assert sys.getrefcount(f) == base
    forever.finalize()
    seen = g.calls, sim.deliveries()
    while sim.deliveries() < seen[1] + 3:
        time.sleep(0.001)
    forever.acq.abort("ch0")
    forever.acq.end("ch0")
    assert g.calls == seen[0] and sys.getrefcount(g) == base


def test_context_deleted_while_acquiring(sim):
    live = sim.live_contexts()
    dev = kelo.Device()
    dev.open(dev.enumerate()[0].connectionString)
    dev.trigger.setShutterDuration(0)
    got = register(dev, DD)
    dev.acq.begin("ch0")
    while not got:
        time.sleep(0.001)
    dev.finalize()
    del dev
    gc.collect()
    assert sim.live_contexts() == live


def test_device_dropped_inside_its_own_delivery(sim):
    live = sim.live_contexts()
    holder = [kelo.Device()]
    holder[0].open(holder[0].enumerate()[0].connectionString)
    holder[0].trigger.setShutterDuration(0)
    holder[0].chip.selectMode(DD)
    gone = threading.Event()

    def f(data, meta):
        if holder:
            holder.clear()  # the last reference: the context goes on this thread
            gone.set()

    holder[0].acq.setDataCallback("ch0", f)
    holder[0].acq.begin("ch0")
    assert gone.wait(10)
    assert sim.live_contexts() == live


def test_exit_with_an_acquisition_running():
    code = textwrap.dedent(
        """
        import kelosdk.kelo as kelo
        dev = kelo.Device()
        dev.open(dev.enumerate()[0].connectionString)
        dev.trigger.setShutterDuration(0)
        dev.chip.selectMode("0:tpx3-dd-toa-tot")
        seen = []
        dev.acq.setDataCallback("ch0", lambda d, m: seen.append(len(d)))
        dev.acq.begin("ch0")
        while len(seen) < 5:
            pass
        print("ok")
        """
    )
    r = subprocess.run([sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60)
    assert (r.returncode, r.stdout, r.stderr) == (0, "ok\n", "")


# ------------------------------------------------------ handlers, scripted data

RECORDS = [
    ("0:tpx3-seq-toa-tot", ("address", "tot", "toa"), 1),
    ("0:tpx3-seq-itot-event", ("address", "itot", "event"), 1),
    (DD, ("address", "tot", "toa"), 2),
    ("0:tpx3-sorted-dd-toa-tot", ("address", "tot", "toa"), 2),
]


@pytest.mark.parametrize("mode, fields, nargs", RECORDS)
def test_record_fields_at_their_offsets(opened, sim, mode, fields, nargs):
    rows = [(1, 2, 3), (0xFFFFFFFF, 7, 2**64 - 1), (262143, 1023, 2**40 + 5)]
    buf = packed("<IIQ", rows)
    got = register(opened, mode)
    sim.script("kelo_acq_tpx3_get_packet_count", 0, 3)
    sim.script("kelo_acq_tpx3_get_packets", 0, ptr(buf))
    sim.fire("ch0")
    (args,) = got
    data = args[0]
    assert len(args) == nargs and data.dtype.names == fields and data.dtype.itemsize == 16
    assert [data.dtype.fields[f][1] for f in fields] == [0, 4, 8]
    assert [data.dtype.fields[f][0] for f in fields] == [np.dtype("<u4"), np.dtype("<u4"), np.dtype("<u8")]
    assert data.tolist() == rows and is_view_of(data, buf)
    data[fields[1]][1] = 99
    assert struct.unpack_from("<I", buf, 16 + 4) == (99,)


def test_binned_packets(opened, sim):
    packets = packed("<III", [(10, 2, 30), (11, 1, 7)])
    bins = packed("<II", [(0, 1), (1, 1)])
    hits = np.array([2, 1, 0], dtype=np.uint64)
    itots = np.array([37], dtype=np.uint64)
    got = register(opened, "0:tpx3-binned-packets")
    for count, data, n, buf in [
        ("tpx3_get_packet_count", "tpx3_get_packets", 2, packets),
        ("meta_get_bin_descriptor_count", "meta_get_bin_descriptors", 2, bins),
        ("tpx3_get_binned_hitcounters_count", "tpx3_get_binned_hitcounters", 3, hits),
        ("tpx3_get_binned_itots_count", "tpx3_get_binned_itots", 1, itots),
    ]:
        sim.script("kelo_acq_" + count, 0, n)
        sim.script("kelo_acq_" + data, 0, ptr(buf))
    sim.fire("ch0")
    ((p, b, h, i),) = got
    assert p.dtype.names == ("address", "count", "itot") and p.dtype.itemsize == 12 and p.tolist() == [(10, 2, 30), (11, 1, 7)]
    assert b.dtype.names == ("offset", "packet_count") and b.dtype.itemsize == 8 and b.tolist() == [(0, 1), (1, 1)]
    assert h.dtype == np.uint64 and h.tolist() == [2, 1, 0] and i.tolist() == [37]
    assert all(is_view_of(a, buf) for a, buf in [(p, packets), (b, bins), (h, hits), (i, itots)])


@pytest.mark.parametrize(
    "mode, other",
    [("0:tpx3-binned-count-sums", "kelo_acq_tpx3_get_binned_itots"), ("0:tpx3-binned-itot-sums", "kelo_acq_tpx3_get_binned_hitcounters")],
)
def test_binned_sums(opened, sim, mode, other):
    sums = np.array([5, 2**64 - 1], dtype=np.uint64)
    getter = "kelo_acq_tpx3_get_binned_" + ("hitcounters" if "count" in mode else "itots")
    got = register(opened, mode)
    sim.script(getter + "_count", 0, 2)
    sim.script(getter, 0, ptr(sums))
    sim.clear_calls()
    sim.fire("ch0")
    ((data,),) = got
    assert data.dtype == np.uint64 and data.tolist() == [5, 2**64 - 1] and is_view_of(data, sums)
    assert not [n for n in sim.names() if n.startswith(other) or "packet" in n]


VECTORS = [
    ("0:tpx3-seq-toa-tot-vec", [("pixel_address", np.uint32), ("toa", np.uint32), ("tot", np.uint16)], False),
    ("0:tpx3-seq-itot-event-vec", [("pixel_address", np.uint32), ("event", np.uint16), ("itot", np.uint16)], False),
    ("0:tpx3-dd-toa-tot-vec", [("pixel_address", np.uint32), ("toa", np.uint64), ("tot", np.uint16)], True),
]


@pytest.mark.parametrize("mode, vectors, dd", VECTORS)
def test_vector_forms(opened, sim, mode, vectors, dd):
    bufs = [np.array([1, 2, np.iinfo(t).max, 4], dtype=t) for _, t in vectors]
    got = register(opened, mode)
    sim.script("kelo_acq_tpx3_get_vec_length", 0, 4)
    for (name, _), buf in zip(vectors, bufs):
        sim.script(f"kelo_acq_tpx3_get_{name}_vec", 0, ptr(buf))
    sim.fire("ch0")
    (args,) = got
    assert len(args) == 3 + dd and (not dd or isinstance(args[3], dict))
    for a, buf in zip(args, bufs):
        assert a.dtype == buf.dtype and a.tolist() == buf.tolist() and is_view_of(a, buf)


@pytest.mark.parametrize("mode", [DD, "0:tpx3-dd-toa-tot-vec"])
def test_metadata(opened, sim, mode):
    tdc0 = np.array([7, 8], dtype=np.uint64)
    tdc2 = np.array([1, 2**64 - 1, 3], dtype=np.uint64)
    got = register(opened, mode)
    sim.script("kelo_acq_meta_get_shutter_rising_time_ticks", 0, 2**64 - 1)
    for n, p in [(2, ptr(tdc0)), (0, ptr(tdc0)), (3, ptr(tdc2))]:
        sim.script("kelo_acq_meta_get_tdc_toas_count", 0, n)
        sim.script("kelo_acq_meta_get_tdc_toas", 0, p)
    sim.fire("ch0")
    meta = got[0][-1]
    assert list(meta) == ["shutterStart", "tdcs"] and type(meta["shutterStart"]) is int and meta["shutterStart"] == 2**64 - 1
    t0, t1, t2 = meta["tdcs"]
    assert t0.dtype == np.uint64 and t0.tolist() == [7, 8] and is_view_of(t0, tdc0)
    assert is_empty(t1) and t2.tolist() == [1, 2**64 - 1, 3]
    assert [c.args for c in sim.calls("kelo_acq_meta_get_tdc_toas")] == [(0,), (1,), (2,)]


def test_metadata_is_new_for_every_delivery(opened, sim):
    seen = []

    def f(data, meta):
        seen.append((list(meta), len(meta["tdcs"])))
        meta["x"] = 1
        meta["tdcs"].append(None)

    opened.chip.selectMode(DD)
    opened.acq.setDataCallback("ch0", f)
    sim.fire("ch0", 2)
    assert seen == [(["shutterStart", "tdcs"], 3)] * 2


@pytest.mark.parametrize("count, pointer", [(0, "buffer"), (5, Null)])
@pytest.mark.parametrize(
    "mode, getters",
    [
        ("0:tpx3-seq-toa-tot", ["kelo_acq_tpx3_get_packet_count", "kelo_acq_tpx3_get_packets"]),
        ("0:tpx3-seq-toa-tot-vec", ["kelo_acq_tpx3_get_vec_length", "kelo_acq_tpx3_get_pixel_address_vec"]),
        ("0:tpx-medipix", ["kelo_acq_tpx_get_frame_count", "kelo_acq_tpx_get_frames"]),
        ("0:tpx3-binned-packets", ["kelo_acq_tpx3_get_packet_count", "kelo_acq_tpx3_get_packets"]),
    ],
)
def test_nothing_to_show_is_an_empty_float_array(opened, sim, mode, getters, count, pointer):
    buf = np.zeros(64, dtype=np.uint8)
    got = register(opened, mode)
    sim.script(getters[0], 0, count)
    sim.script(getters[1], 0, ptr(buf) if pointer == "buffer" else Null)
    sim.fire("ch0")
    (args,) = got
    assert is_empty(args[0])


def test_raw_data(opened, sim):
    buf = np.arange(10, dtype=np.uint8)
    got = register(opened, "0:tpx3-binned-packets", raw=True)
    sim.script("kelo_acq_raw_get_data", 0, ptr(buf), 10)
    sim.script("kelo_acq_raw_get_data", 0, Null, 10)
    sim.fire("ch0", 2)
    ((data,), (empty,)) = got
    assert data.dtype == np.uint8 and data.tolist() == list(range(10)) and is_view_of(data, buf)
    assert is_empty(empty)


def test_frames(opened, sim):
    frames = np.arange(2 * 65536, dtype=np.uint16)
    got = register(opened, "0:tpx-medipix")
    sim.script("kelo_acq_tpx_get_frame_count", 0, 2)
    sim.script("kelo_acq_tpx_get_frames", 0, ptr(frames))
    sim.fire("ch0")
    ((data,),) = got
    assert data.dtype == np.uint16 and data.shape == (131072,) and is_view_of(data, frames) and data[-1] == 65535


# ------------------------------------------------------------ failing deliveries

DD_GETTERS = [
    "kelo_acq_tpx3_get_packet_count",
    "kelo_acq_tpx3_get_packets",
    "kelo_acq_meta_get_shutter_rising_time_ticks",
    "kelo_acq_meta_get_tdc_toas_count",
    "kelo_acq_meta_get_tdc_toas",
]


@pytest.mark.parametrize(
    "mode, getter, handler",
    [(DD, g, "dd_toatot_data_cb") for g in DD_GETTERS]
    + [("0:tpx3-binned-packets", "kelo_acq_tpx3_get_binned_itots", "binned_packets_cb"), ("0:tpx-medipix", "kelo_acq_tpx_get_frames", "tpx1_medipix_cb")],
)
@pytest.mark.parametrize("status, exc", [(-2, errors.KeloSdkInvalidOperationError), (-9, errors.KeloSdkError)])
def test_failing_getter_drops_the_delivery(opened, sim, reports, mode, getter, handler, status, exc):
    f = Callable()
    opened.chip.selectMode(mode)
    opened.acq.setDataCallback("ch0", f)
    sim.fail(getter, status, "getter broke")
    sim.fire("ch0", 2)
    assert f.calls == 1
    ((t, e, where),) = reports
    assert (t, str(e), e.status, where) == (exc, "getter broke", status, WHERE + handler)
    assert {c.gil for c in sim.calls() if c.name.startswith("kelo_acq_tpx") or c.name.startswith("kelo_acq_meta")} == {0}
    assert [c.gil for c in sim.calls("kelo_acq_get_last_error")] == [1]


def test_array_build_failures_are_reported(opened, sim, reports, monkeypatch):
    got = register(opened, "0:tpx-medipix")
    sim.script("kelo_acq_tpx_get_frame_count", 0, 2**60)
    sim.fire("ch0")
    monkeypatch.delattr(acquisition, "np")
    sim.script("kelo_acq_tpx_get_frame_count", 0, 0)
    sim.fire("ch0")
    assert got == [] and [(t, w) for t, _, w in reports] == [(OverflowError, WHERE + "tpx1_medipix_cb"), (NameError, WHERE + "tpx1_medipix_cb")]


def test_raising_callable_across_an_acquisition(opened, sim, reports):
    calls = []

    def f(data, meta):
        calls.append(len(data))
        raise ValueError("user error")

    opened.chip.selectMode(DD)
    opened.acq.setDataCallback("ch0", f)
    opened.acq.begin("ch0")
    assert opened.acq.end("ch0") is None
    assert len(calls) == len(reports) == sim.deliveries() > 1
    assert {(t, str(e), w) for t, e, w in reports} == {(ValueError, "user error", WHERE + "dd_toatot_data_cb")}
    opened.acq.setDataCallback("ch0", lambda: None)
    sim.fire("ch0")
    assert reports[-1][0] is TypeError


# ---------------------------------------------------------------- threads


def test_deliveries_while_a_python_thread_waits_in_end(forever, sim):
    seen = []

    def f(data, meta):
        in_end = bool(sim.calls("kelo_acq_end"))
        seen.append((threading.get_ident(), in_end))
        if sum(e for _, e in seen) == 3:
            forever.acq.abort("ch0")  # from the delivering thread

    forever.chip.selectMode(DD)
    forever.acq.setDataCallback("ch0", f)
    forever.acq.begin("ch0")
    waiter = threading.Thread(target=forever.acq.end, args=("ch0",))
    waiter.start()
    waiter.join()
    threads = {t for t, _ in seen}
    assert len(threads) == 1 and threads.isdisjoint({threading.main_thread().ident, waiter.ident})
    assert sum(e for _, e in seen) >= 3
    assert [c.gil for c in sim.calls("kelo_acq_end")] == [0]


@pytest.mark.parametrize("keep", [True, False])
def test_several_library_threads_at_once(opened, sim, keep):
    previous = acquisition._keepThreadStates(keep)
    try:
        seen = []
        opened.chip.selectMode(DD)
        opened.acq.setDataCallback("ch0", lambda data, meta: seen.append((threading.get_ident(), len(data), len(meta["tdcs"]))))
        assert sim.fire("ch0", 50, threads=4) == 200
    finally:
        acquisition._keepThreadStates(previous)
    assert len({t for t, _, _ in seen}) == 4 and {(n, k) for _, n, k in seen} == {(4096, 3)}


def test_two_channels_acquire_at_once(opened, sim):
    got = {ch: [] for ch in ("ch0", "ch1")}
    opened.chip.selectMode(DD)
    for ch, seen in got.items():
        opened.acq.setDataCallback(ch, lambda data, meta, seen=seen: seen.append(threading.get_ident()))
        opened.acq.begin(ch)
    for ch in got:
        opened.acq.end(ch)
    assert got["ch0"] and got["ch1"] and not set(got["ch0"]) & set(got["ch1"])


# ---------------------------------------------------------- simulated data


def copied(x):
    """What a callable keeps of the simulation's buffers: copies."""
    if isinstance(x, dict):
        return {"shutterStart": x["shutterStart"], "tdcs": [t.copy() for t in x["tdcs"]]}
    return x.copy()


def one_delivery(dev, sim, mode, params=None, size=None):
    if size:
        sim.set_delivery_size(size)
    dev.chip.selectMode(mode, params)
    got = []
    dev.acq.setDataCallback("ch0", lambda *a: got.append([copied(x) for x in a]))
    sim.fire("ch0")
    return got[0]


@pytest.mark.parametrize("mode", [DD, "0:tpx3-sorted-dd-toa-tot"])
def test_simulated_hits(opened, sim, mode):
    data, meta = one_delivery(opened, sim, mode, size=1000)
    assert len(data) == 1000 and data["address"].max() < 512 * 512
    assert 1 <= data["tot"].min() and data["tot"].max() <= 1023 and data["toa"].min() >= meta["shutterStart"]
    if mode != DD:
        assert (np.diff(data["toa"].astype(np.int64)) >= 0).all()
    assert meta["tdcs"][0].dtype == np.uint64 and len(meta["tdcs"][0]) == 4


def test_simulated_binning_is_consistent(opened, sim):
    packets, bins, hits, itots = one_delivery(opened, sim, "0:tpx3-binned-packets", BinningParams(16, 4, 1000))
    assert len(bins) == len(hits) == len(itots) == 16 and hits.sum() == 4096
    assert bins["offset"].tolist() == np.concatenate([[0], np.cumsum(bins["packet_count"])[:-1]]).tolist()
    for (offset, n), h, i in zip(bins.tolist(), hits, itots):
        assert packets["count"][offset : offset + n].sum() == h and packets["itot"][offset : offset + n].sum() == i


def test_simulated_frames_and_events_count_every_hit(opened, sim):
    (frames,) = one_delivery(opened, sim, "0:tpx-medipix")
    (events,) = one_delivery(opened, sim, "0:tpx3-seq-itot-event")
    assert frames.shape == (4 * 65536,) and frames.sum() == 4096
    assert events["event"].sum() == 4096 and len(set(events["address"])) == len(events)


def test_replay_delivers_one_buffer(opened, sim):
    sim.set_replay(True)
    opened.chip.selectMode(DD)
    seen = set()
    opened.acq.setDataCallback("ch0", lambda data, meta: seen.add(data.ctypes.data))
    opened.acq.begin("ch0")
    opened.acq.end("ch0")
    assert len(seen) == 1
