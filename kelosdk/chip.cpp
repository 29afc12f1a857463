// kelosdk.chip: chips, polarity, sense DACs, DACs, thresholds and modes.
#include "units.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Chips of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.chip.__Chip", sizeof(ChipObject), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    // __Chip is published before acquisition is imported, which imports it back.
    if (!first_init(module, "chip") || !add_type(module, &spec) || !bind_context() ||
        !import_type("kelosdk.acquisition", "__Acquisition", sizeof(AcquisitionObject)) || !bind_errors(module))
        return -1;
    return 0;
}
}  // namespace

KELO_MODULE(chip, exec, nullptr, "Chips of the device.")
