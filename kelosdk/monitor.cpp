// kelosdk.monitor: monitor values and monitor events.
#include "units.hpp"

namespace {
using namespace kelo;

PyObject* monitor_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    auto* self = (MonitorObject*)unit_new(type, args, kwds);
    if (!self) return nullptr;
    self->onValueChanged = new (std::nothrow) RecordMap();
    self->onAvailChanged = new (std::nothrow) RecordMap();
    if (!self->onValueChanged || !self->onAvailChanged) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return (PyObject*)self;
}

void monitor_dealloc(PyObject* self) {
    auto* mon = (MonitorObject*)self;
    PyObject_GC_UnTrack(self);
    // The records stay with the context: the library may still deliver to them.
    delete std::exchange(mon->onValueChanged, nullptr);
    delete std::exchange(mon->onAvailChanged, nullptr);
    unit_dealloc(self);
}

PyMethodDef methods[] = {
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {
    {Py_tp_new, (void*)monitor_new},
    {Py_tp_dealloc, (void*)monitor_dealloc},
    {Py_tp_traverse, (void*)unit_traverse},
    {Py_tp_clear, (void*)unit_clear},
    {Py_tp_methods, (void*)methods},
    {Py_tp_doc, (void*)PyDoc_STR("Monitors of the device.\n\nReach it through a Device; not meant to be created directly.")},
    {0, nullptr},
};
PyType_Spec spec = {"kelosdk.monitor.__Monitor", sizeof(MonitorObject), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "monitor") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(monitor, exec, nullptr, "Monitors of the device.")
