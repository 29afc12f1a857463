// kelosdk.bias: bias supplies.
#include "core.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_DEF("getBiasIds", (ids_method<"getBiasIds", "_Bias__getSupplyCount", "_Bias__getSupplyId">),
             "getBiasIds()\n\nReturns the identifiers of the bias supplies."),
    KELO_DEF("_Bias__getSupplyCount", (count_method<"_Bias__getSupplyCount", kelo_bias_supply_count>), nullptr),
    KELO_DEF("_Bias__getSupplyId", (id_method<"_Bias__getSupplyId", "biasIdx", kelo_bias_supply_id>), nullptr),
    KELO_DEF("getBias", (query_method<"getBias", "biasId", kelo_bias_get, value<float>>), "getBias(biasId)\n\nReturns the present bias of a supply, in volts."),
    KELO_DEF("setBias", (assign_method<"setBias", "biasId", "volts", kelo_bias_set, to_float>),
             "setBias(biasId, volts)\n\nSets the bias of a supply, in volts (passed as a 32-bit float)."),
    KELO_DEF("getBiasRange", (query_method<"getBiasRange", "biasId", kelo_bias_range, as_record<"BiasRange", float, float>>),
             "getBiasRange(biasId)\n\nReturns the settable voltages of a supply as a BiasRange."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Bias supplies of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.bias.__Bias", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

const char statements[] = R"(
from typing import NamedTuple

class BiasRange(NamedTuple):
    """The settable voltages of a bias supply, in volts."""
    min: "float"
    max: "float"
)";

int exec(PyObject* module) {
    if (!first_init(module, "bias") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(bias, exec, nullptr, "Bias supplies.")
