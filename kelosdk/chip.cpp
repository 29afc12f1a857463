// kelosdk.chip: chips, polarity, sense DACs, DACs, thresholds and modes.
#include "units.hpp"

namespace {
using namespace kelo;

// ------------------------------------------------------------ chips, refresh

KELO_METHOD(refresh) {
    if (!KELO_ARGS.none("refresh") || !call(self, kelo_chip_refresh)) return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(get_polarity) {
    PyObject* a[1];
    int chip;
    kelo_chip_polarity_t polarity = positive_polarity;
    if (!KELO_ARGS.parse("getPolarity", {"chipIdx"}, a) || !to_int(a[0], &chip) || !call(self, kelo_chip_get_polarity, chip, &polarity))
        return nullptr;
    Ref cls(global("ChipPolarity"));
    Ref v(PyLong_FromUnsignedLong((unsigned)polarity));
    return cls && v ? PyObject_CallOneArg(cls.get(), v.get()) : nullptr;
}

// Only an object equal to ChipPolarity.positive selects positive polarity.
KELO_METHOD(set_polarity) {
    PyObject* a[2];
    int chip;
    if (!KELO_ARGS.parse("setPolarity", {"chipIdx", "chipPolarity"}, a) || !to_int(a[0], &chip)) return nullptr;
    Ref cls(global("ChipPolarity"));
    Ref positive(cls ? PyObject_GetAttrString(cls.get(), "positive") : nullptr);
    Ref eq(positive ? PyObject_RichCompare(a[1], positive.get(), Py_EQ) : nullptr);
    int is_positive = eq ? PyObject_IsTrue(eq.get()) : -1;
    if (is_positive < 0 || !call(self, kelo_chip_set_polarity, chip, is_positive ? positive_polarity : negative_polarity)) return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(select_sense_dac) {
    PyObject* a[1];
    Text id;
    if (!KELO_ARGS.parse("selectSenseDac", {"senseDacId"}, a) || !id.set(a[0]) || !call(self, kelo_chip_sense_dac_sel, id.c_str()))
        return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------- modes


// Reads one attribute of the parameters object and converts it.
template <class T>
bool param(PyObject* params, const char* name, bool (*convert)(PyObject*, T*), T* out) {
    Ref v(PyObject_GetAttrString(params, name));
    return v && convert(v.get(), out);
}

// Selects a mode, with parameters when `params` is given, and records the
// identifier in __mode once the library has taken it.
PyObject* select(PyObject* self, PyObject* mode_id, PyObject* params) {
    Text id;
    if (!id.set(mode_id)) return nullptr;
    size_t len = std::strlen(id);
    if (len >= kModeSize)
        return PyErr_Format(g.exc[InvalidArgument], "mode identifier of %zu bytes is too long: at most %zu bytes", len, kModeSize - 1);
    scan_params sp{};
    if (params && !(param(params, "width", to_u32, &sp.width_) && param(params, "height", to_u32, &sp.height_) &&
                    param(params, "dwellTime", to_u64, &sp.dwell_time_)))
        return nullptr;
    if (params ? !call(self, kelo_chip_mode_select_ex, id.c_str(), (const void*)&sp) : !call(self, kelo_chip_mode_select, id.c_str()))
        return nullptr;
    std::memcpy(((ChipObject*)self)->mode, id.c_str(), len + 1);
    Py_RETURN_NONE;
}

KELO_METHOD(select_mode_without_params) {
    PyObject* a[1];
    if (!KELO_ARGS.parse("_Chip__selectModeWithoutParams", {"modeId"}, a)) return nullptr;
    return select(self, a[0], nullptr);
}

KELO_METHOD(select_mode_with_params) {
    PyObject* a[2];
    if (!KELO_ARGS.parse("_Chip__selectModeWithParams", {"modeId", "modeParams"}, a)) return nullptr;
    return select(self, a[0], a[1]);
}

KELO_METHOD(select_mode) {
    PyObject* a[2];
    if (!KELO_ARGS.parse("selectMode", {"modeId", "modeParams"}, a, 1)) return nullptr;
    Ref r(!a[1] || a[1] == Py_None ? call_method(self, "_Chip__selectModeWithoutParams", a[0])
                                   : call_method(self, "_Chip__selectModeWithParams", a[0], a[1]));
    if (!r) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------------- table

#define IDS(name, count, id) KELO_DEF(name, (ids_method<name, count, id>), name "()\n\nReturns the identifiers as a list of str.")

PyMethodDef methods[] = {
    KELO_DEF("refresh", refresh, "refresh()\n\nBrings the chips into their default state, DACs and configuration matrix included."),
    IDS("getChipIds", "_Chip__getChipCount", "_Chip__getChipId"),
    KELO_DEF("_Chip__getChipCount", (count_method<"_Chip__getChipCount", kelo_chip_count>), "Number of chips."),
    KELO_DEF("_Chip__getChipId", (id_method<"_Chip__getChipId", "chipIdx", kelo_chip_id>), "Identifier of a chip by index."),
    KELO_DEF("getPolarity", get_polarity, "getPolarity(chipIdx)\n\nReturns the polarity of a chip as a ChipPolarity."),
    KELO_DEF("setPolarity", set_polarity,
             "setPolarity(chipIdx, chipPolarity)\n\nSets the polarity of a chip: positive for ChipPolarity.positive, negative for anything "
             "else."),
    IDS("getSenseDacIds", "_Chip__getSenseDacCount", "_Chip__getSenseDacName"),
    KELO_DEF("_Chip__getSenseDacCount", (count_method<"_Chip__getSenseDacCount", kelo_chip_sense_dac_count>), "Number of sense DACs."),
    KELO_DEF("_Chip__getSenseDacName", (id_method<"_Chip__getSenseDacName", "senseDacIdx", kelo_chip_sense_dac_name>),
             "Name of a sense DAC by index."),
    KELO_DEF("selectSenseDac", select_sense_dac, "selectSenseDac(senseDacId)\n\nSelects the sense DAC."),
    IDS("getDacIds", "_Chip__getDacCount", "_Chip__getDacName"),
    KELO_DEF("_Chip__getDacCount", (count_method<"_Chip__getDacCount", kelo_chip_dac_count>), "Number of DACs."),
    KELO_DEF("_Chip__getDacName", (id_method<"_Chip__getDacName", "dacIdx", kelo_chip_dac_name>), "Name of a DAC by index."),
    KELO_DEF("getDacValue", (query_method<"getDacValue", "dacId", kelo_chip_dac_value_get, value<int>>),
             "getDacValue(dacId)\n\nReturns the value of a DAC."),
    KELO_DEF("setDacValue", (assign_method<"setDacValue", "dacId", "dacValue", kelo_chip_dac_value_set, to_int>),
             "setDacValue(dacId, dacValue)\n\nSets the value of a DAC."),
    KELO_DEF("getDacLimits", (query_method<"getDacLimits", "dacId", kelo_chip_dac_limits, as_record<"DacLimits", int, int>>),
             "getDacLimits(dacId)\n\nReturns the bounds of a DAC as DacLimits."),
    IDS("getThresholdIds", "_Chip__getThresholdCount", "_Chip__getThresholdId"),
    KELO_DEF("_Chip__getThresholdCount", (count_method<"_Chip__getThresholdCount", kelo_chip_threshold_count>), "Number of thresholds."),
    KELO_DEF("_Chip__getThresholdId", (id_method<"_Chip__getThresholdId", "threshIdx", kelo_chip_threshold_id>),
             "Identifier of a threshold by index."),
    KELO_DEF("isThresholdCalibrated", (query_method<"isThresholdCalibrated", "threshId", kelo_chip_threshold_is_calibrated, truth>),
             "isThresholdCalibrated(threshId)\n\nReturns True when the threshold is calibrated in keV."),
    KELO_DEF("getThreshold", (query_method<"getThreshold", "threshId", kelo_chip_threshold_get, value<float>>),
             "getThreshold(threshId)\n\nReturns the threshold in keV."),
    KELO_DEF("setThreshold", (assign_method<"setThreshold", "threshId", "threshValue", kelo_chip_threshold_set, to_float>),
             "setThreshold(threshId, threshValue)\n\nSets the threshold in keV (rounded to single precision)."),
    KELO_DEF("getThresholdRange",
             (query_method<"getThresholdRange", "threshId", kelo_chip_threshold_range, as_record<"ThresholdRange", float, float, float>>),
             "getThresholdRange(threshId)\n\nReturns the range and noise of the threshold in keV as ThresholdRange."),
    KELO_DEF("getRawThreshold", (query_method<"getRawThreshold", "threshId", kelo_chip_threshold_raw_get, value<int>>),
             "getRawThreshold(threshId)\n\nReturns the raw setting of the threshold."),
    KELO_DEF("setRawThreshold", (assign_method<"setRawThreshold", "threshId", "threshValue", kelo_chip_threshold_raw_set, to_int>),
             "setRawThreshold(threshId, threshValue)\n\nSets the raw setting of the threshold."),
    KELO_DEF("getRawThresholdRange",
             (query_method<"getRawThresholdRange", "threshId", kelo_chip_threshold_raw_range, as_record<"RawThresholdRange", int, int>>),
             "getRawThresholdRange(threshId)\n\nReturns the raw bounds of the threshold as RawThresholdRange."),
    IDS("getModeIds", "_Chip__getModeCount", "_Chip__getModeId"),
    KELO_DEF("_Chip__getModeCount", (count_method<"_Chip__getModeCount", kelo_chip_mode_count>), "Number of acquisition modes."),
    KELO_DEF("_Chip__getModeId", (id_method<"_Chip__getModeId", "modeIdx", kelo_chip_mode_id>), "Identifier of an acquisition mode by index."),
    KELO_DEF("selectMode", select_mode,
             "selectMode(modeId, modeParams=None)\n\nSelects the acquisition mode, with the library's default parameters or with "
             "modeParams (a BinningParams or any object with width, height and dwellTime)."),
    KELO_DEF("_Chip__selectModeWithoutParams", select_mode_without_params, "Selects a mode with the library's default parameters."),
    KELO_DEF("_Chip__selectModeWithParams", select_mode_with_params, "Selects a mode with the given binning parameters."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Chips of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.chip.__Chip", sizeof(ChipObject), 0, KELO_TYPE_FLAGS, slots};

const char statements[] = R"(
from typing import NamedTuple
from enum import Enum

class DacLimits(NamedTuple):
    """Minimum and maximum value of a DAC."""
    min: int
    max: int

class ThresholdRange(NamedTuple):
    """Minimum, maximum and noise of a threshold, in keV."""
    min: float
    max: float
    noise: float

class RawThresholdRange(NamedTuple):
    """Minimum and maximum raw setting of a threshold."""
    min: int
    max: int

class ChipPolarity(Enum):
    """Contains polarity of a chip."""
    positive = 0
    negative = 1

class BinningParams(NamedTuple):
    """Contains binning parameters."""
    width: int
    height: int
    dwellTime: int
)";

int exec(PyObject* module) {
    // __Chip is published before acquisition is imported, which imports it back.
    if (!first_init(module, "chip") || !add_type(module, &spec) || !bind_context() ||
        !import_type("kelosdk.acquisition", "__Acquisition", sizeof(AcquisitionObject)) || !bind_errors(module))
        return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(chip, exec, nullptr, "Chips of the device.")
