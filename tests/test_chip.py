import ctypes
import math
import struct
import typing

import pytest

import kelosdk.chip as chipmod
from kelosdk.chip import BinningParams, ChipPolarity, DacLimits, RawThresholdRange, ThresholdRange
from kelosdk.errors import KeloSdkInvalidArgumentError, KeloSdkInvalidOperationError

MODES = ["0:tpx3-seq-toa-tot", "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event", "0:tpx3-seq-itot-event-vec",
         "0:tpx3-dd-toa-tot-vec", "0:tpx3-dd-toa-tot", "0:tpx-medipix", "0:raw-data", "0:tpx3-sorted-dd-toa-tot",
         "0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"]
F32_MAX = struct.unpack("f", b"\xff\xff\x7f\x7f")[0]


def mode_field(chip):
    """The 30 bytes of the chip's selected-mode field."""
    return ctypes.string_at(id(chip) + object.__basicsize__ + ctypes.sizeof(ctypes.c_void_p), 30)


def mode_of(chip):
    return mode_field(chip).split(b"\0")[0].decode()


def lib_calls(sim):
    return sim.names("kelo_chip")


# ------------------------------------------------------------------ module

def test_records_defined_in_order():
    names = [n for n in vars(chipmod) if n in ("DacLimits", "ThresholdRange", "RawThresholdRange", "ChipPolarity", "BinningParams")]
    assert names == ["DacLimits", "ThresholdRange", "RawThresholdRange", "ChipPolarity", "BinningParams"]
    assert [(r._fields, typing.get_type_hints(r)) for r in (DacLimits, ThresholdRange, RawThresholdRange, BinningParams)] == [
        (("min", "max"), {"min": int, "max": int}),
        (("min", "max", "noise"), {"min": float, "max": float, "noise": float}),
        (("min", "max"), {"min": int, "max": int}),
        (("width", "height", "dwellTime"), {"width": int, "height": int, "dwellTime": int}),
    ]
    assert [(m.name, m.value) for m in ChipPolarity] == [("positive", 0), ("negative", 1)]
    assert ChipPolarity.__doc__ == "Contains polarity of a chip."
    assert BinningParams.__doc__ == "Contains binning parameters."
    assert chipmod.errors.__name__ == "kelosdk.errors"


def test_fresh_object_has_empty_mode_and_no_context_refuses():
    chip = getattr(chipmod, "__Chip")(None)
    assert mode_field(chip) == bytes(30)
    with pytest.raises(KeloSdkInvalidOperationError):
        chip.getChipIds()
    with pytest.raises(KeloSdkInvalidOperationError):
        chip.selectMode("0:tpx-medipix")
    assert mode_field(chip) == bytes(30)


# ---------------------------------------------------------- identifier lists

LISTS = [
    ("getChipIds", "kelo_chip_count", ["W0042_E05", "W0042_F05", "W0042_E06", "W0042_F06"]),
    ("getSenseDacIds", "kelo_chip_sense_dac_count", None),
    ("getDacIds", "kelo_chip_dac_count", None),
    ("getThresholdIds", "kelo_chip_threshold_count", ["THL"]),
    ("getModeIds", "kelo_chip_mode_count", MODES),
]


@pytest.mark.parametrize("method, count_fn, expected", LISTS)
def test_id_lists(opened, sim, method, count_fn, expected):
    ids = getattr(opened.chip, method)()
    assert all(isinstance(i, str) for i in ids) and len(ids) == len(set(ids)) > 0
    if expected is not None:
        assert ids == expected
    sim.script(count_fn, 0, 0)
    assert getattr(opened.chip, method)() == []
    sim.script(count_fn, 0, -3)
    assert getattr(opened.chip, method)() == []


def test_dacs_and_sense_dacs_are_of_a_timepix3(opened):
    dacs = opened.chip.getDacIds()
    assert {"Vthreshold_fine", "Vthreshold_coarse", "Ibias_Ikrum", "Vfbk"} <= set(dacs)
    assert set(dacs) < set(opened.chip.getSenseDacIds())


@pytest.mark.parametrize("index, sent", [(2.9, 2), (True, 1)])
def test_id_by_index_converts_through_int(opened, sim, index, sent):
    assert opened.chip._Chip__getChipId(index) == opened.chip.getChipIds()[sent]
    assert sim.calls("kelo_chip_id")[0].args == (sent,)


@pytest.mark.parametrize("index, exc, msg", [
    (2**40, OverflowError, "value too large to convert to int"),
    ("1", TypeError, "an integer is required"),
])
def test_id_by_index_bad_index(opened, sim, index, exc, msg):
    with pytest.raises(exc, match=msg):
        opened.chip._Chip__getModeId(index)
    assert lib_calls(sim) == []


def test_chip_count_control(opened, sim):
    sim.set_chip_count(6)
    assert opened.chip.getChipIds()[4:] == ["W0042_E07", "W0042_F07"]
    assert opened.chip.getPolarity(5) == ChipPolarity.positive
    sim.set_chip_count(0)
    assert opened.chip.getChipIds() == []
    with pytest.raises(KeloSdkInvalidOperationError, match="the device has no chips"):
        opened.chip.getDacValue("Vfbk")


def test_index_out_of_range_refused(opened):
    with pytest.raises(KeloSdkInvalidArgumentError, match="out of range") as e:
        opened.chip._Chip__getDacName(99)
    assert e.value.status == -3


# ----------------------------------------------------------------- failures

@pytest.mark.parametrize("call, fn", [
    (lambda c: c.refresh(), "kelo_chip_refresh"),
    (lambda c: c.getDacLimits("Vfbk"), "kelo_chip_dac_limits"),
    (lambda c: c.setThreshold("THL", 3), "kelo_chip_threshold_set"),
    (lambda c: c.selectSenseDac("Vfbk"), "kelo_chip_sense_dac_sel"),
])
def test_library_failure_raises_with_its_text(opened, sim, call, fn):
    sim.fail(fn, -5, "bus lost")
    with pytest.raises(chipmod.errors.KeloSdkPointerException) as e:
        call(opened.chip)
    assert e.value.args == ("bus lost",) and e.value.status == -5


def test_any_negative_status_fails_and_positive_succeeds(opened, sim):
    sim.fail("kelo_chip_dac_value_get", -6, "odd")
    with pytest.raises(chipmod.errors.KeloSdkError, match="odd") as e:
        opened.chip.getDacValue("Vfbk")
    assert e.value.status == -6
    sim.script("kelo_chip_threshold_range", 7)
    assert opened.chip.getThresholdRange("THL") == ThresholdRange(0.0, 0.0, 0.0)  # preset


def test_closed_device_refused(dev):
    with pytest.raises(KeloSdkInvalidOperationError, match="no device is open"):
        dev.chip.getModeIds()


def test_calls_release_the_lock(opened, sim):
    opened.chip.getDacValue("Vfbk")
    opened.chip.selectMode("0:tpx-medipix", BinningParams(1, 1, 1))
    assert [c.gil for c in sim.calls()] == [0, 0]


# ----------------------------------------------------------------- polarity

class EqualsPositive:
    def __eq__(self, other):
        return other is ChipPolarity.positive

    __hash__ = None


@pytest.mark.parametrize("value, sent", [
    (ChipPolarity.positive, 0),
    (EqualsPositive(), 0),
    (ChipPolarity.negative, 1),
    (0, 1),
    (1, 1),
    ("positive", 1),
    (None, 1),
])
def test_set_polarity_rule(opened, sim, value, sent):
    opened.chip.setPolarity(1, value)
    assert sim.calls("kelo_chip_set_polarity")[0].args == (1, sent)
    assert opened.chip.getPolarity(1) is ChipPolarity(sent)
    assert opened.chip.getPolarity(0) is ChipPolarity.positive


def test_set_polarity_errors_call_nothing(opened, sim):
    class Bad:
        def __eq__(self, other):
            raise ZeroDivisionError

    with pytest.raises(ZeroDivisionError):
        opened.chip.setPolarity(0, Bad())
    with pytest.raises(TypeError, match="an integer is required"):
        opened.chip.setPolarity("x", Bad())  # the index first
    assert lib_calls(sim) == []


def test_get_polarity_maps_library_value(opened, sim):
    sim.script("kelo_chip_get_polarity", 0, 1)
    assert opened.chip.getPolarity(chipIdx=0) is ChipPolarity.negative
    sim.script("kelo_chip_get_polarity", 0, 2)
    with pytest.raises(ValueError):
        opened.chip.getPolarity(0)
    with pytest.raises(KeloSdkInvalidArgumentError):
        opened.chip.getPolarity(4)


# -------------------------------------------------------------- sense DACs

def test_select_sense_dac(opened, sim):
    opened.chip.selectSenseDac(senseDacId="Bandgap_Temp")
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown sense DAC 'nope'"):
        opened.chip.selectSenseDac("nope")
    with pytest.raises(AttributeError):
        opened.chip.selectSenseDac(b"Vfbk")
    assert [c.args for c in sim.calls("kelo_chip_sense_dac_sel")] == [("Bandgap_Temp",), ("nope",)]


# -------------------------------------------------------------------- DACs

def test_dac_value_and_limits(opened, sim):
    chip = opened.chip
    assert chip.getDacLimits("Vthreshold_fine") == DacLimits(0, 511)
    chip.setDacValue("Vthreshold_fine", 300.7)
    assert chip.getDacValue(dacId="Vthreshold_fine") == 300
    with pytest.raises(KeloSdkInvalidArgumentError, match="outside 0 to 511"):
        chip.setDacValue("Vthreshold_fine", 512)
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown DAC 'nope'"):
        chip.getDacValue("nope")
    assert chip.getDacValue("Vthreshold_fine") == 300
    sim.script("kelo_chip_dac_limits", 0, 0, 511)
    limits = chip.getDacLimits("x")
    assert limits == DacLimits(min=0, max=511) and type(limits) is DacLimits and type(limits.max) is int


def test_setter_encodes_identifier_before_value(opened, sim):
    class Id:
        def encode(self):
            raise LookupError("encoded first")

    with pytest.raises(LookupError):
        opened.chip.setDacValue(Id(), "3")
    with pytest.raises(TypeError, match="an integer is required"):
        opened.chip.setDacValue("Vfbk", "3")
    with pytest.raises(AttributeError):
        opened.chip.setDacValue(None, 3)
    with pytest.raises(OverflowError, match="value too large to convert to int"):
        opened.chip.setRawThreshold("THL", 2**31)
    assert lib_calls(sim) == []


# -------------------------------------------------------------- thresholds

def test_threshold_in_kev_and_raw(opened):
    chip = opened.chip
    assert chip.isThresholdCalibrated("THL") is True
    chip.setThreshold("THL", 5.1)
    assert chip.getThreshold("THL") == 5.099999904632568
    assert chip.getRawThreshold("THL") == 204
    chip.setRawThreshold(threshId="THL", threshValue=400)
    assert chip.getThreshold("THL") == 10.0
    assert chip.getRawThresholdRange("THL") == RawThresholdRange(0, 4095)
    rng = chip.getThresholdRange("THL")
    assert rng == ThresholdRange(0.0, 102.375, struct.unpack("f", struct.pack("f", 0.8))[0]) and type(rng) is ThresholdRange
    with pytest.raises(KeloSdkInvalidArgumentError, match="outside 0 to 102.375 keV"):
        chip.setThreshold("THL", 200)
    with pytest.raises(KeloSdkInvalidArgumentError, match="outside 0 to 4095"):
        chip.setRawThreshold("THL", -1)
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown threshold 'THX'"):
        chip.getThreshold("THX")


@pytest.mark.parametrize("value, sent", [
    (5, 5.0),
    (5.1, 5.099999904632568),
    (1e39, math.inf),
    (-1e39, -math.inf),
    (3.4028235e38, F32_MAX),
    (math.nan, math.nan),
])
def test_set_threshold_narrows_to_single(opened, sim, value, sent):
    sim.script("kelo_chip_threshold_set", 0)
    opened.chip.setThreshold("THL", value)
    got = sim.calls("kelo_chip_threshold_set")[0].args
    assert got[0] == "THL" and (got[1] == sent or math.isnan(sent) and math.isnan(got[1]))


def test_set_threshold_without_float_conversion(opened, sim):
    with pytest.raises(TypeError):
        opened.chip.setThreshold("THL", "5")
    assert lib_calls(sim) == []


def test_calibration_flag(opened, sim):
    sim.script("kelo_chip_threshold_is_calibrated", 0, 2)
    assert opened.chip.isThresholdCalibrated("THL") is True
    sim.set_calibrated(False)
    assert opened.chip.isThresholdCalibrated("THL") is False
    with pytest.raises(KeloSdkInvalidOperationError, match="not calibrated"):
        opened.chip.getThreshold("THL")
    opened.chip.setRawThreshold("THL", 80)
    assert opened.chip.getRawThreshold("THL") == 80


def test_refresh_restores_defaults(opened):
    chip = opened.chip
    before = (chip.getDacValue("Vfbk"), chip.getThreshold("THL"), chip.getPolarity(3))
    chip.setDacValue("Vfbk", 1)
    chip.setThreshold("THL", 20.0)
    chip.setPolarity(3, ChipPolarity.negative)
    chip.refresh()
    assert (chip.getDacValue("Vfbk"), chip.getThreshold("THL"), chip.getPolarity(3)) == before
    assert before[2] is ChipPolarity.positive


# ------------------------------------------------------------------- modes

def test_select_mode_records_identifier(opened, sim):
    chip = opened.chip
    chip.selectMode("0:tpx3-seq-itot-event-vec")
    chip.selectMode("0:tpx3-dd-toa-tot", None)
    assert mode_of(chip) == "0:tpx3-dd-toa-tot"
    chip.selectMode(modeId="0:tpx3-binned-packets", modeParams=BinningParams(256, 256, 1000))
    assert mode_of(chip) == "0:tpx3-binned-packets"
    assert [(c.name, c.args) for c in sim.calls()] == [
        ("kelo_chip_mode_select", ("0:tpx3-seq-itot-event-vec",)),
        ("kelo_chip_mode_select", ("0:tpx3-dd-toa-tot",)),
        ("kelo_chip_mode_select_ex", ("0:tpx3-binned-packets", 256, 256, 1000)),
    ]


@pytest.mark.parametrize("with_params", [False, True])
def test_rejected_mode_leaves_field(opened, sim, with_params):
    chip = opened.chip
    chip.selectMode("0:tpx-medipix")
    params = BinningParams(8, 8, 8) if with_params else None
    with pytest.raises(KeloSdkInvalidArgumentError, match="unknown acquisition mode 'nope'"):
        chip.selectMode("nope", params)
    assert mode_field(chip) == b"0:tpx-medipix" + bytes(17)


def test_mode_recorded_on_success_status_only(opened, sim):
    sim.script("kelo_chip_mode_select", -6)
    with pytest.raises(chipmod.errors.KeloSdkError):
        opened.chip.selectMode("0:raw-data")
    assert mode_field(opened.chip) == bytes(30)
    sim.script("kelo_chip_mode_select", 1)
    opened.chip.selectMode("0:raw-data")
    assert mode_of(opened.chip) == "0:raw-data"


@pytest.mark.parametrize("length, accepted", [(29, True), (30, False), (200, False)])
def test_mode_identifier_fits_the_field(opened, sim, length, accepted):
    chip = opened.chip
    chip.selectMode("0:raw-data")
    sim.clear_calls()
    sim.script("kelo_chip_mode_select", 0)
    mode = "m" * length
    if accepted:
        chip.selectMode(mode)
        assert mode_field(chip) == mode.encode() + b"\0"
    else:
        with pytest.raises(KeloSdkInvalidArgumentError, match=f"{length} bytes is too long"):
            chip.selectMode(mode, BinningParams(1, 1, 1))
        assert mode_of(chip) == "0:raw-data" and lib_calls(sim) == []


def test_mode_stops_at_embedded_nul(opened, sim):
    opened.chip.selectMode("0:raw-data\0junk")
    assert mode_field(opened.chip)[:11] == b"0:raw-data\0"
    assert sim.calls("kelo_chip_mode_select")[0].args == ("0:raw-data",)


class Params:
    """Binning parameters that log the order of attribute reads."""

    def __init__(self, **values):
        self.values, self.read = values, []

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        self.read.append(name)
        if name not in self.values:
            raise AttributeError(name)
        return self.values[name]


@pytest.mark.parametrize("params, exc, msg, read", [
    (BinningParams(-1, 256, 10), OverflowError, "can't convert negative value to uint32_t", None),
    (BinningParams(256, 2**32, 10), OverflowError, "value too large to convert to uint32_t", None),
    (BinningParams(256, 256, -1), OverflowError, "can't convert negative value to uint64_t", None),
    (BinningParams(256, 256, 2**64), OverflowError, None, None),
    (BinningParams(256, "1", 10), TypeError, "an integer is required", None),
    ((256, 256, 1000), AttributeError, "width", None),
    (Params(width=1, height=2), AttributeError, "dwellTime", ["width", "height", "dwellTime"]),
    (Params(width=-1, height=2, dwellTime=3), OverflowError, "negative", ["width"]),
])
def test_bad_binning_params_call_nothing(opened, sim, params, exc, msg, read):
    opened.chip.selectMode("0:tpx-medipix")
    sim.clear_calls()
    with pytest.raises(exc, match=msg):
        opened.chip.selectMode("0:tpx3-binned-packets", params)
    assert lib_calls(sim) == [] and mode_of(opened.chip) == "0:tpx-medipix"
    if read is not None:
        assert params.read == read


def test_binning_params_through_int(opened, sim):
    sim.script("kelo_chip_mode_select_ex", 0)
    opened.chip.selectMode("0:tpx3-binned-count-sums", Params(width=2.9, height=True, dwellTime=2**40))
    assert sim.calls("kelo_chip_mode_select_ex")[0].args == ("0:tpx3-binned-count-sums", 2, 1, 2**40)


@pytest.mark.parametrize("params, msg", [
    (BinningParams(0, 256, 10), "binning 0 x 256 is outside 1 to 1024"),
    (BinningParams(256, 1025, 10), "binning 256 x 1025 is outside 1 to 1024"),
    (BinningParams(256, 256, 0), "dwell time 0 ns is outside 1 to 1000000000 ns"),
])
def test_invalid_binning_refused_by_library(opened, params, msg):
    with pytest.raises(KeloSdkInvalidArgumentError, match=msg):
        opened.chip.selectMode("0:tpx3-binned-packets", params)
    assert mode_field(opened.chip) == bytes(30)


def test_select_mode_dispatches_through_self(sim):
    seen = []

    class Chip(getattr(chipmod, "__Chip")):
        def _Chip__selectModeWithoutParams(self, modeId):
            seen.append(("without", modeId))
            return "dropped"

        def _Chip__selectModeWithParams(self, modeId, modeParams):
            seen.append(("with", modeId, modeParams))

    chip = Chip(None)
    assert chip.selectMode("a") is None
    chip.selectMode("b", None)
    chip.selectMode("c", 0)
    assert seen == [("without", "a"), ("without", "b"), ("with", "c", 0)]
    with pytest.raises(TypeError):
        chip.selectMode()
    with pytest.raises(TypeError):
        chip.selectMode("a", None, None)


def test_extra_mode_is_listed_and_selectable(opened, sim):
    sim.add_mode("0:tpx3-future-mode")
    assert opened.chip.getModeIds() == MODES + ["0:tpx3-future-mode"]
    opened.chip.selectMode("0:tpx3-future-mode")
    assert mode_of(opened.chip) == "0:tpx3-future-mode"
    sim.reset()
    assert opened.chip.getModeIds() == MODES
