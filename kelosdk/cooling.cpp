// kelosdk.cooling: cooling units.
#include "core.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_DEF("getIds", (ids_method<"getIds", "_Cooling__getCount", "_Cooling__getId">), "getIds()\n\nReturns the identifiers of the cooling units."),
    KELO_DEF("_Cooling__getCount", (count_method<"_Cooling__getCount", kelo_cooling_count>), nullptr),
    KELO_DEF("_Cooling__getId", (id_method<"_Cooling__getId", "coolingIdx", kelo_cooling_id>), nullptr),
    KELO_DEF("getValueUnit", (query_method<"getValueUnit", "coolingId", kelo_cooling_value_unit, value<const char*>>),
             "getValueUnit(coolingId)\n\nReturns the unit of the unit's temperatures (\"DegreeCelsius\")."),
    KELO_DEF("getActualTemperature", (query_method<"getActualTemperature", "coolingId", kelo_cooling_get_actual, value<float>>),
             "getActualTemperature(coolingId)\n\nReturns the measured temperature of a cooling unit."),
    KELO_DEF("getDesiredTemperature", (query_method<"getDesiredTemperature", "coolingId", kelo_cooling_get_desired, value<float>>),
             "getDesiredTemperature(coolingId)\n\nReturns the set point of a cooling unit."),
    KELO_DEF("setDesiredTemperature", (assign_method<"setDesiredTemperature", "coolingId", "temperature", kelo_cooling_set_desired, to_float>),
             "setDesiredTemperature(coolingId, temperature)\n\nSets the set point of a cooling unit (passed as a 32-bit float)."),
    KELO_DEF("getLimits", (query_method<"getLimits", "coolingId", kelo_cooling_limits, as_record<"CoolingLimits", float, float>>),
             "getLimits(coolingId)\n\nReturns the lowest and highest temperature of a cooling unit as CoolingLimits."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Cooling units of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.cooling.__Cooling", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

const char statements[] = R"(
from typing import NamedTuple

class CoolingLimits(NamedTuple):
    """The lowest and highest temperature of a cooling unit."""
    min: "float"
    max: "float"
)";

int exec(PyObject* module) {
    if (!first_init(module, "cooling") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(cooling, exec, nullptr, "Cooling units.")
