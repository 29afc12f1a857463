// kelosdk.configuration: configuration.
#include "core.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Configuration documents and the pixel mask.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.configuration.__Configuration", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "configuration") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(configuration, exec, nullptr, "Configuration.")
