import gc
import sys
import threading
from typing import NamedTuple

import pytest

import kelosdk.monitor as monitor
from kelosdk.errors import KeloSdkError, KeloSdkInvalidArgumentError, KeloSdkInvalidOperationError

FLOAT_ID = "chip0.temperature_degC"
INT_ID = "board-1.fan_rpm"


@pytest.fixture
def mon(opened):
    return opened.monitor


class Recorder:
    """A callable that keeps what it was given and on which thread."""

    def __init__(self):
        self.got = []
        self.threads = []
        self.arrived = threading.Event()

    def __call__(self, record):
        self.got.append(record)
        self.threads.append(threading.get_ident())
        self.arrived.set()


class Reported(NamedTuple):
    exc: BaseException  # without its traceback, which would keep the test's frame alive
    where: str


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(Reported(u.exc_value.with_traceback(None), u.object)))
    return seen


# ------------------------------------------------------------------ values


def test_ids(mon, sim):
    ids = mon.getIds()
    assert FLOAT_ID in ids and INT_ID in ids and all(type(i) is str for i in ids)
    sim.script("kelo_mon_count", 0, 0)
    sim.clear_calls()
    assert mon.getIds() == []
    assert sim.calls("kelo_mon_id") == []
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        mon._Monitor__getId(2**31)
    assert sim.calls("kelo_mon_id") == []


def test_fetch_values_of_the_device(mon):
    assert type(mon.fetchValue(FLOAT_ID)) is float
    assert type(mon.fetchValue(INT_ID)) is int
    assert mon._Monitor__getDataType(FLOAT_ID) == "float" and mon._Monitor__getDataType(INT_ID) == "int"


@pytest.mark.parametrize(
    "datatype, fetch, scripted, expected",
    [
        ("float", "kelo_mon_fetch_value_float", 0.1, 0.10000000149011612),
        ("int", "kelo_mon_fetch_value_int", -7, -7),
        ("double", None, None, None),
    ],
)
def test_fetch_value_by_data_type(mon, sim, datatype, fetch, scripted, expected):
    sim.script("kelo_mon_datatype", 0, datatype, times=0)  # a text out stays valid only while its script is armed
    if fetch:
        sim.script(fetch, 0, scripted)
    value = mon.fetchValue(FLOAT_ID)
    assert value == expected and type(value) is type(expected)
    assert [c.name for c in sim.calls() if c.name.startswith("kelo_mon_fetch")] == ([fetch] if fetch else [])


def test_fetch_value_of_a_rejected_id(mon, sim):
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown monitor 'nope'"):
        mon.fetchValue("nope")
    assert sim.names("kelo_mon_fetch") == []


class Utf8Bytearray(str):
    def encode(self, *args):
        return bytearray(str(self), *args)


def test_identifier_encoded_to_a_bytearray_is_accepted(mon):
    assert type(mon.fetchValue(Utf8Bytearray(FLOAT_ID))) is float


@pytest.mark.parametrize("bad", [FLOAT_ID.encode(), None, 5])
@pytest.mark.parametrize(
    "use",
    [
        lambda m, i: m.fetchValue(i),
        lambda m, i: m._Monitor__getDataType(i),
        lambda m, i: m.setOnValueChangedCallback(i, print),
        lambda m, i: m.setOnAvailabilityChangedCallback(i, print),
    ],
)
def test_non_str_identifiers_fail_before_the_library(mon, sim, bad, use):
    with pytest.raises(AttributeError):
        use(mon, bad)
    assert sim.names("kelo_mon") == []


def names(annotations):
    return {k: getattr(v, "__forward_arg__", v) for k, v in annotations.items()}  # the typing forward references


def test_records():
    assert names(monitor.MonitorDataOnValueChanged.__annotations__) == {
        "id": "str",
        "value": "int | float",
        "isWarningConditionMet": "bool",
        "isErrorConditionMet": "bool",
    }
    assert names(monitor.MonitorDataOnAvailabilityChanged.__annotations__) == {"id": "str", "value": "int | float | None"}
    assert monitor.MonitorDataOnValueChanged.__module__ == monitor.MonitorDataOnAvailabilityChanged.__module__ == "kelosdk.monitor"


# ------------------------------------------------------------------ events


@pytest.mark.parametrize("native", [False, True])
def test_value_events(mon, sim, native):
    f = Recorder()
    mon.setOnValueChangedCallback(FLOAT_ID, f)
    mon.setOnValueChangedCallback(INT_ID, f)
    assert sim.set_monitor(FLOAT_ID, 0.1, native=native) == 1
    assert sim.set_monitor(INT_ID, 900, native=native) == 1  # below both fan limits
    assert f.got == [
        monitor.MonitorDataOnValueChanged(FLOAT_ID, 0.10000000149011612, 0, 0),
        monitor.MonitorDataOnValueChanged(INT_ID, 900, 1, 1),
    ]
    assert type(f.got[1].value) is int and type(f.got[1].isWarningConditionMet) is int
    assert all((t != threading.get_ident()) == native for t in f.threads)
    assert {c.gil for c in sim.calls() if c.name.startswith("kelo_mon_event_")} == {0}  # getters without the lock


@pytest.mark.parametrize("native", [False, True])
def test_availability_events(mon, sim, native):
    f = Recorder()
    mon.setOnAvailabilityChangedCallback(INT_ID, f)
    sim.set_monitor(INT_ID, 3100)
    sim.clear_calls()
    sim.set_monitor_available(INT_ID, False, native=native)
    assert sim.names("kelo_mon_event") == ["kelo_mon_event_id", "kelo_mon_event_is_available"]
    sim.set_monitor_available(INT_ID, True, native=native)
    assert f.got == [monitor.MonitorDataOnAvailabilityChanged(INT_ID, None), monitor.MonitorDataOnAvailabilityChanged(INT_ID, 3100)]


def test_an_event_of_another_data_type_calls_nothing(mon, sim, unraisable):
    f = Recorder()
    mon.setOnValueChangedCallback(FLOAT_ID, f)
    sim.script("kelo_mon_event_datatype", 0, "double", times=0)
    sim.clear_calls()
    sim.set_monitor(FLOAT_ID, 1.0)
    assert f.got == [] and unraisable == []
    assert sim.names("kelo_mon_event") == [
        "kelo_mon_event_id",
        "kelo_mon_event_datatype",
        "kelo_mon_event_get_value_as_int",
        "kelo_mon_event_is_warning_condition_met",
        "kelo_mon_event_is_error_condition_met",
    ]


@pytest.mark.parametrize(
    "register, fire, getter",
    [
        ("setOnValueChangedCallback", "value", "kelo_mon_event_id"),
        ("setOnValueChangedCallback", "value", "kelo_mon_event_datatype"),
        ("setOnValueChangedCallback", "value", "kelo_mon_event_get_value_as_float"),
        ("setOnValueChangedCallback", "value", "kelo_mon_event_is_warning_condition_met"),
        ("setOnValueChangedCallback", "value", "kelo_mon_event_is_error_condition_met"),
        ("setOnAvailabilityChangedCallback", "avail", "kelo_mon_event_is_available"),
        ("setOnAvailabilityChangedCallback", "avail", "kelo_mon_event_get_value_as_float"),
    ],
)
@pytest.mark.parametrize("status, exc", [(-3, KeloSdkInvalidArgumentError), (-7, KeloSdkError)])
def test_a_failing_getter_ends_the_event(mon, sim, unraisable, register, fire, getter, status, exc):
    f = Recorder()
    getattr(mon, register)(FLOAT_ID, f)
    sim.fail(getter, status, "getter broke")
    sim.clear_calls()
    sim.set_monitor(FLOAT_ID, 2.0) if fire == "value" else sim.set_monitor_available(FLOAT_ID, True)
    assert f.got == []
    names = sim.names("kelo_mon_")
    assert names[names.index(getter) + 1 :] == ["kelo_mon_get_last_error"]  # nothing read after the failure
    trampoline = "on_monitor_changed_cb" if fire == "value" else "on_monitor_available_cb"
    (u,) = unraisable
    assert type(u.exc) is exc and str(u.exc) == "getter broke" and u.exc.status == status
    assert u.where == "kelosdk.monitor." + trampoline
    sim.set_monitor(FLOAT_ID, 2.0) if fire == "value" else sim.set_monitor_available(FLOAT_ID, True)
    assert len(f.got) == 1  # the registration stays


@pytest.mark.parametrize("func", [None, lambda r: 1 / 0])
def test_a_raising_callable_is_reported_and_stays(mon, sim, unraisable, func):
    mon.setOnValueChangedCallback(FLOAT_ID, func)
    sim.set_monitor(FLOAT_ID, 1.0)
    sim.set_monitor(FLOAT_ID, 1.0, native=True)
    assert [type(u.exc) for u in unraisable] == [TypeError if func is None else ZeroDivisionError] * 2
    assert {u.where for u in unraisable} == {"kelosdk.monitor.on_monitor_changed_cb"}


def test_a_replaced_callable_is_released(mon, sim):
    first, second = Recorder(), Recorder()
    base = sys.getrefcount(first)
    mon.setOnValueChangedCallback(FLOAT_ID, first)
    assert sys.getrefcount(first) == base + 1
    mon.setOnValueChangedCallback(FLOAT_ID, second)
    assert sys.getrefcount(first) == base
    sim.set_monitor(FLOAT_ID, 5.0)
    assert first.got == [] and len(second.got) == 1


def test_a_refused_registration_leaves_the_previous_one(mon, sim):
    kept, refused = Recorder(), Recorder()
    mon.setOnValueChangedCallback(FLOAT_ID, kept)
    base = sys.getrefcount(refused)
    sim.fail("kelo_mon_event_set_onvaluechanged", -3, "not now")
    with pytest.raises(KeloSdkInvalidArgumentError, match="^not now$"):
        mon.setOnValueChangedCallback(FLOAT_ID, refused)
    assert sys.getrefcount(refused) == base
    sim.set_monitor(FLOAT_ID, 5.0)
    assert len(kept.got) == 1 and refused.got == []


def test_unknown_monitor_is_refused(mon):
    f = Recorder()
    base = sys.getrefcount(f)
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown monitor 'nope'"):
        mon.setOnAvailabilityChangedCallback("nope", f)
    assert sys.getrefcount(f) == base


def test_identifier_is_cut_at_nul(mon, sim):
    first, second = Recorder(), Recorder()
    base = sys.getrefcount(first)
    mon.setOnValueChangedCallback(FLOAT_ID + "\0junk", first)
    assert sim.calls("kelo_mon_event_set_onvaluechanged")[0].args[0] == FLOAT_ID
    sim.set_monitor(FLOAT_ID, 3.0)
    mon.setOnValueChangedCallback(FLOAT_ID, second)  # the same key: replaces
    assert sys.getrefcount(first) == base and len(first.got) == 1


def test_finalize_releases_each_callable_once(opened, sim):
    f = Recorder()
    base = sys.getrefcount(f)
    opened.monitor.setOnValueChangedCallback(FLOAT_ID, f)
    opened.monitor.setOnAvailabilityChangedCallback(FLOAT_ID, f)
    assert sys.getrefcount(f) == base + 2
    opened.finalize()
    opened.finalize()
    assert sys.getrefcount(f) == base
    assert sim.set_monitor(FLOAT_ID, 1.0, native=True) == 1  # the library still delivers; dropped
    assert sim.set_monitor_available(FLOAT_ID, False) == 1
    assert f.got == []


def test_board_power_takes_its_monitors_away_and_back(opened, mon):
    if not hasattr(opened.board, "powerOff"):
        pytest.skip("needs the board part")
    f = Recorder()
    for i in mon.getIds():
        mon.setOnAvailabilityChangedCallback(i, f)
    board = opened.board.getBoardIds()[0]
    opened.board.powerOff(board)
    gone = {r.id for r in f.got}
    assert gone and all(r.value is None for r in f.got)
    with pytest.raises(KeloSdkInvalidOperationError, match="is not available"):
        mon.fetchValue(min(gone))
    f.got.clear()
    opened.board.powerOn(board)
    assert {r.id for r in f.got} == gone and None not in {r.value for r in f.got}


def test_drift_fires_on_a_native_thread_until_the_context_goes(sim):
    import kelosdk.kelo as kelo

    live = sim.live_contexts()
    dev = kelo.Device()
    dev.open(dev.enumerate()[0].connectionString)
    f = Recorder()
    for i in dev.monitor.getIds():
        dev.monitor.setOnValueChangedCallback(i, f)
    sim.monitor_drift(0.002)
    assert f.arrived.wait(10)
    assert f.threads[0] != threading.get_ident() and f.got[0].id in dev.monitor.getIds()
    dev.close()
    del dev
    gc.collect()  # deleting the context stops its drift thread
    assert sim.live_contexts() == live
    count = len(f.got)
    sim.monitor_drift(0)
    assert len(f.got) == count
