// kelosdk.acquisition: channels, acquisition control and data delivery.
#include "units.hpp"

namespace {
using namespace kelo;

PyTypeObject* chip_type;

PyObject* acq_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"ctx", "chip", nullptr};
    PyObject *ctx, *chip;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:__cinit__", (char**)kwlist, &ctx, &chip) || !typed_or_none(ctx, g.context_type) ||
        !typed_or_none(chip, chip_type))
        return nullptr;
    auto* self = (AcquisitionObject*)type->tp_alloc(type, 0);
    if (!self) return nullptr;
    self->context = Ref::borrow(ctx).release();
    self->chip = Ref::borrow(chip).release();
    self->channels = new (std::nothrow) RecordMap();
    if (!self->channels) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return (PyObject*)self;
}

int acq_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((AcquisitionObject*)self)->chip);
    return unit_traverse(self, visit, arg);
}

int acq_clear(PyObject* self) {
    Py_INCREF(Py_None);
    Py_XSETREF(((AcquisitionObject*)self)->chip, Py_None);
    return unit_clear(self);
}

void acq_dealloc(PyObject* self) {
    auto* acq = (AcquisitionObject*)self;
    PyObject_GC_UnTrack(self);
    delete std::exchange(acq->channels, nullptr);  // the records stay with the context
    Py_CLEAR(acq->chip);
    unit_dealloc(self);
}

PyMethodDef methods[] = {
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {
    {Py_tp_new, (void*)acq_new},
    {Py_tp_dealloc, (void*)acq_dealloc},
    {Py_tp_traverse, (void*)acq_traverse},
    {Py_tp_clear, (void*)acq_clear},
    {Py_tp_methods, (void*)methods},
    {Py_tp_doc, (void*)PyDoc_STR("Acquisitions of the device.\n\nReach it through a Device; not meant to be created directly.")},
    {0, nullptr},
};
PyType_Spec spec = {"kelosdk.acquisition.__Acquisition", sizeof(AcquisitionObject), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    // __Acquisition is published before chip is imported, which imports it back.
    if (!first_init(module, "acquisition") || !add_type(module, &spec) || !bind_context() ||
        !(chip_type = import_type("kelosdk.chip", "__Chip", sizeof(ChipObject))) || !bind_errors(module))
        return -1;
    return run_statements(module, "import time\nimport numpy as np\n") ? 0 : -1;
}
}  // namespace

KELO_MODULE(acquisition, exec, nullptr, "Acquisitions and data delivery.")
