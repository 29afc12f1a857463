// kelosdk.bias: bias supplies.
#include "core.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Bias supplies of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.bias.__Bias", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "bias") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(bias, exec, nullptr, "Bias supplies.")
