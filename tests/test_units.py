"""Bias supplies, cooling units, boards, trigger and external synchronisation."""

import importlib
import math
import struct
import types

import pytest

import kelosdk.trigger as trigger_module
from kelosdk import errors


def f32(x):
    """x rounded to single precision, widened back."""
    return struct.unpack("f", struct.pack("f", x))[0]


class Encodes:
    """An identifier whose encode() returns `result`."""

    def __init__(self, result):
        self.result = result

    def encode(self):
        return self.result


LISTS = [  # unit, list method, library count, library id by index, identifiers
    ("bias", "getBiasIds", "kelo_bias_supply_count", "kelo_bias_supply_id", ["bias-0", "bias-1"]),
    ("cooling", "getIds", "kelo_cooling_count", "kelo_cooling_id", ["cooling-0", "cooling-1"]),
    ("board", "getBoardIds", "kelo_board_count", "kelo_board_id", ["board-0", "board-1"]),
    ("trigger", "getModeIds", "kelo_trigger_mode_count", "kelo_trigger_mode_id",
     ["internal", "software", "external-rising", "external-falling"]),
    ("tandem", "getOptionIds", "kelo_tandem_option_count", "kelo_tandem_option_id", ["standalone", "primary", "secondary"]),
]


@pytest.mark.parametrize("unit, method, count_fn, id_fn, ids", LISTS, ids=[row[0] for row in LISTS])
def test_identifier_lists(opened, sim, unit, method, count_fn, id_fn, ids):
    listing = getattr(getattr(opened, unit), method)
    assert listing() == ids
    assert sim.names() == [count_fn] + [id_fn] * len(ids)
    assert [c.args[0] for c in sim.calls(id_fn)] == list(range(len(ids)))
    assert all(c.gil == 0 for c in sim.calls())
    sim.script(count_fn, 0, 0)
    assert listing() == []


SETTERS = [  # library function, setter
    ("kelo_bias_set", lambda d, v: d.bias.setBias("bias-0", v)),
    ("kelo_cooling_set_desired", lambda d, v: d.cooling.setDesiredTemperature("cooling-0", v)),
    ("kelo_trigger_set_shutter_duration", lambda d, v: d.trigger.setShutterDuration(v)),
]


@pytest.mark.parametrize("fn, set_", SETTERS, ids=[row[0] for row in SETTERS])
@pytest.mark.parametrize("value, passed", [(0.1, 0.10000000149011612), (0.001, f32(0.001)), (25, 25.0), (1e39, math.inf), (-1e39, -math.inf)])
def test_setters_pass_a_32_bit_float(opened, sim, fn, set_, value, passed):
    sim.script(fn, 0)  # the binding does no range check of its own
    assert set_(opened, value) is None
    assert sim.calls(fn)[-1].args[-1] == passed


@pytest.mark.parametrize("unit, setter, getter, ident", [
    ("bias", "setBias", "getBias", "bias-0"),
    ("cooling", "setDesiredTemperature", "getDesiredTemperature", "cooling-0"),
])
def test_values_read_back_as_set_in_single_precision(opened, unit, setter, getter, ident):
    obj = getattr(opened, unit)
    getattr(obj, setter)(ident, 5.1)
    assert getattr(obj, getter)(ident) == 5.099999904632568
    getattr(obj, setter)(ident, 7)
    value = getattr(obj, getter)(ident)
    assert value == 7.0 and type(value) is float


@pytest.mark.parametrize("fn, get", [
    ("kelo_bias_get", lambda d: d.bias.getBias("bias-0")),
    ("kelo_cooling_get_actual", lambda d: d.cooling.getActualTemperature("cooling-0")),
    ("kelo_cooling_get_desired", lambda d: d.cooling.getDesiredTemperature("cooling-0")),
])
def test_float_getters_widen_the_library_value(opened, sim, fn, get):
    sim.script(fn, 0, 5.1)
    assert get(opened) == 5.099999904632568
    sim.script(fn, -6, 3.0, error="odd failure")  # every negative status raises
    with pytest.raises(errors.KeloSdkError, match="odd failure") as e:
        get(opened)
    assert e.value.status == -6


@pytest.mark.parametrize("unit, method, fn, ident, record, bounds", [
    ("bias", "getBiasRange", "kelo_bias_range", "bias-1", "BiasRange", (-300.0, 0.0)),
    ("cooling", "getLimits", "kelo_cooling_limits", "cooling-0", "CoolingLimits", (-30.0, 40.0)),
])
def test_ranges_are_records_of_floats(opened, sim, unit, method, fn, ident, record, bounds):
    get = getattr(getattr(opened, unit), method)
    r = get(ident)
    cls = getattr(importlib.import_module(f"kelosdk.{unit}"), record)
    assert type(r) is cls and cls.__module__ == f"kelosdk.{unit}" and cls._fields == ("min", "max")
    assert r == bounds and all(type(v) is float for v in r)
    sim.script(fn, 0, 5.1, 7)
    assert get(ident) == (5.099999904632568, 7.0)


@pytest.mark.parametrize("action, message", [
    (lambda d: d.bias.setBias("bias-0", 300.5), "bias 300.5 V is outside the range [0, 300] V of supply 'bias-0'"),
    (lambda d: d.bias.setBias("bias-1", 1), "bias 1 V is outside the range [-300, 0] V of supply 'bias-1'"),
    (lambda d: d.bias.setBias("bias-0", math.nan), "bias nan V is outside the range [0, 300] V of supply 'bias-0'"),
    (lambda d: d.cooling.setDesiredTemperature("cooling-0", -30.5),
     "temperature -30.5 is outside the limits [-30, 40] DegreeCelsius of cooling unit 'cooling-0'"),
    (lambda d: d.trigger.setShutterDuration(-1),
     "shutter duration -1 s refused: give 0 (until aborted) or a finite positive number of seconds"),
    (lambda d: d.trigger.setShutterDuration(math.inf),
     "shutter duration inf s refused: give 0 (until aborted) or a finite positive number of seconds"),
    (lambda d: d.bias.getBias("bias-2"), "unknown bias supply 'bias-2' (known: bias-0, bias-1)"),
    (lambda d: d.board.isPowered("é"), "unknown board 'é' (known: board-0, board-1)"),
    (lambda d: d.trigger.selectMode("burst"),
     "unknown trigger mode 'burst' (known: internal, software, external-rising, external-falling)"),
    (lambda d: d.tandem.selectOption("Primary"), "unknown synchronisation option 'Primary' (known: standalone, primary, secondary)"),
    (lambda d: d.cooling._Cooling__getId(2), "no cooling unit has index 2 (there are 2)"),
])
def test_refusals(opened, action, message):
    with pytest.raises(errors.KeloSdkInvalidArgumentError) as e:
        action(opened)
    assert e.value.args == (message,) and e.value.status == -3


def test_refused_values_change_nothing(opened):
    for refused in (lambda: opened.bias.setBias("bias-0", -1), lambda: opened.cooling.setDesiredTemperature("cooling-0", 41)):
        with pytest.raises(errors.KeloSdkInvalidArgumentError):
            refused()
    assert opened.bias.getBias("bias-0") == 50.0
    assert opened.cooling.getDesiredTemperature("cooling-0") == 20.0


def test_cooling_moves_toward_the_set_point(opened, sim):
    c = opened.cooling
    assert c.getValueUnit("cooling-0") == "DegreeCelsius"
    assert c.getActualTemperature("cooling-0") == 20.0
    c.setDesiredTemperature("cooling-0", -10)
    sim.advance_cooling(20)
    first = c.getActualTemperature("cooling-0")
    assert -10 < first < 20
    sim.advance_cooling(20)
    assert -10 < c.getActualTemperature("cooling-0") < first
    sim.advance_cooling(60)
    assert c.getActualTemperature("cooling-0") == -10.0
    c.setDesiredTemperature("cooling-0", 30)
    sim.advance_cooling(10)
    assert -10 < c.getActualTemperature("cooling-0") < 30
    assert c.getActualTemperature("cooling-1") == 35.0  # the other unit stays


def test_board_power(opened, sim):
    b = opened.board
    assert b.isPowered("board-0") is True
    b.powerOff("board-0")
    assert b.isPowered("board-0") is False and b.isPowered("board-1") is True
    with pytest.raises(errors.KeloSdkInvalidOperationError) as e:
        b.powerOff("board-0")
    assert e.value.args == ("board 'board-0' is not powered",) and e.value.status == -2
    b.powerOn("board-0")
    b.powerOn("board-0")  # already powered: no error
    assert b.isPowered("board-0") is True


@pytest.mark.parametrize("flag, powered", [(7, True), (-1, True), (0, False)])
def test_is_powered_is_a_bool(opened, sim, flag, powered):
    sim.script("kelo_board_is_powered", 0, flag)
    assert opened.board.isPowered("board-0") is powered


@pytest.mark.parametrize("status, exc", [(-2, errors.KeloSdkInvalidOperationError), (-6, errors.KeloSdkError)])
def test_failed_board_count_raises_through_the_errors_module(opened, sim, status, exc):
    sim.fail("kelo_board_count", status, "not this text")
    with pytest.raises(exc) as e:
        opened.board.getBoardIds()
    assert type(e.value) is exc and e.value.args == (f"getBoardCount failed with status {status}",)
    assert sim.names() == ["kelo_board_count"]


def test_failed_board_count_honours_a_rebound_throwKeloError(opened, sim, monkeypatch):
    seen = []

    def throw(*args):
        seen.append(args)
        raise RuntimeError("rebound")

    monkeypatch.setattr(errors, "_throwKeloError", throw)
    sim.fail("kelo_board_count", -2, "not this text")
    with pytest.raises(RuntimeError, match="rebound"):
        opened.board.getBoardIds()
    assert seen == [(-2, "getBoardCount")]
    assert "kelo_ctx_get_last_error" not in sim.names()

    # When it returns, the count is what the library left (preset 0).
    monkeypatch.setattr(errors, "_throwKeloError", lambda *args: seen.append(args))
    sim.script("kelo_board_count", -6, 1)
    assert opened.board.getBoardIds() == ["board-0"]
    sim.script("kelo_board_count", -2)
    assert opened.board._Board__getCount() == 0
    assert seen[1:] == [(-6, "getBoardCount"), (-2, "getBoardCount")]


@pytest.fixture
def pauses(monkeypatch, sim):
    """The pauses trigger() takes through its module's `time`, each with the
    library calls made before it."""
    seen = []
    monkeypatch.setattr(trigger_module, "time", types.SimpleNamespace(sleep=lambda s: seen.append((s, sim.names()))))
    return seen


@pytest.mark.parametrize("status, exc, message", [
    (None, errors.KeloSdkInvalidOperationError, "no acquisition waits for a software trigger (trigger mode 'software')"),
    (-6, errors.KeloSdkError, "late failure"),
])
def test_failed_trigger_reads_the_error_after_a_pause(opened, sim, pauses, status, exc, message):
    opened.trigger.selectMode("software")
    sim.clear_calls()
    if status is not None:
        sim.fail("kelo_trigger", status, message)
    with pytest.raises(exc) as e:
        opened.trigger.trigger()
    assert type(e.value) is exc and e.value.args == (message,)
    assert pauses == [(0.01, ["kelo_trigger"])]
    assert [(c.name, c.gil) for c in sim.calls()] == [("kelo_trigger", 0), ("kelo_ctx_get_last_error", 1)]


def test_successful_trigger_does_not_pause(opened, sim, pauses):
    sim.script("kelo_trigger", 0)
    assert opened.trigger.trigger() is None
    assert pauses == []


def test_exception_in_the_pause_propagates(opened, sim, monkeypatch):
    def sleep(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(trigger_module, "time", types.SimpleNamespace(sleep=sleep))
    with pytest.raises(KeyboardInterrupt):
        opened.trigger.trigger()
    assert sim.names() == ["kelo_trigger"]


@pytest.mark.parametrize("call, fn, arg", [
    (lambda d: d.trigger.selectMode(modeId="external-rising"), "kelo_trigger_mode_select", "external-rising"),
    (lambda d: d.tandem.selectOption(optionId="secondary"), "kelo_tandem_option_select", "secondary"),
    (lambda d: d.board.powerOn(boardId="board-1"), "kelo_board_power_on", "board-1"),
    (lambda d: d.bias.setBias(biasId="bias-1", volts=-2), "kelo_bias_set", "bias-1"),
    (lambda d: d.cooling.setDesiredTemperature(coolingId="cooling-1", temperature=12), "kelo_cooling_set_desired", "cooling-1"),
    (lambda d: d.trigger.setShutterDuration(duration=0), "kelo_trigger_set_shutter_duration", 0.0),
    (lambda d: d.bias._Bias__getSupplyId(biasIdx=1.9), "kelo_bias_supply_id", 1),
])
def test_keywords_reach_the_library(opened, sim, call, fn, arg):
    call(opened)
    assert sim.names() == [fn] and sim.calls(fn)[0].args[0] == arg


@pytest.mark.parametrize("call", [
    lambda d: d.bias.getBiasIds(),
    lambda d: d.cooling.getActualTemperature("cooling-0"),
    lambda d: d.board.powerOn("board-0"),
    lambda d: d.trigger.setShutterDuration(1),
    lambda d: d.tandem.selectOption("primary"),
])
def test_units_need_an_open_device(dev, call):
    with pytest.raises(errors.KeloSdkInvalidOperationError, match="^no device is open$"):
        call(dev)


@pytest.mark.parametrize("unit, call", [
    ("bias", lambda o: o.getBias("bias-0")),
    ("board", lambda o: o._Board__getCount()),
    ("board", lambda o: o.getBoardIds()),
    ("trigger", lambda o: o.trigger()),
    ("trigger", lambda o: o.setShutterDuration(1)),
    ("cooling", lambda o: o.getLimits("cooling-0")),
])
def test_object_without_context_calls_nothing(dev, sim, unit, call):
    obj = type(getattr(dev, unit))(None)
    sim.clear_calls()
    with pytest.raises(errors.KeloSdkInvalidOperationError):
        call(obj)
    assert sim.calls() == []


@pytest.mark.parametrize("call, exc, message", [
    (lambda d: d.bias.getBias(b"bias-0"), AttributeError, None),
    (lambda d: d.board.powerOn(0), AttributeError, None),
    (lambda d: d.bias.setBias(None, "5"), AttributeError, None),  # the identifier is converted first
    (lambda d: d.cooling.getValueUnit("\udc80"), UnicodeEncodeError, None),
    (lambda d: d.cooling.getLimits(Encodes(bytearray(b"cooling-0"))), TypeError, "Expected bytes, got bytearray"),
    (lambda d: d.tandem.selectOption(Encodes(None)), TypeError, "expected bytes, NoneType found"),
    (lambda d: d.bias.setBias("bias-0", "5"), TypeError, "must be real number, not str"),
    (lambda d: d.trigger.setShutterDuration(None), TypeError, "must be real number, not NoneType"),
    (lambda d: d.cooling._Cooling__getId(2**40), OverflowError, "value too large to convert to int"),
    (lambda d: d.trigger._Trigger__getModeId("1"), TypeError, "an integer is required"),
    (lambda d: d.bias.getBias(), TypeError, "getBias() takes exactly 1 positional argument (0 given)"),
    (lambda d: d.cooling.setDesiredTemperature("cooling-0"), TypeError,
     "setDesiredTemperature() takes exactly 2 positional arguments (1 given)"),
    (lambda d: d.trigger.trigger(1), TypeError, "trigger() takes no arguments (1 given)"),
    (lambda d: d.board._Board__getCount(x=1), TypeError, "_Board__getCount() got an unexpected keyword argument 'x'"),
])
def test_bad_input_fails_before_the_library(opened, sim, call, exc, message):
    with pytest.raises(exc) as e:
        call(opened)
    if message is not None:
        assert str(e.value) == message
    assert sim.calls() == []
