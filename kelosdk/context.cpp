// kelosdk.context: _Context, the one owner of a library context handle.
#include "core.hpp"

namespace {
using namespace kelo;

PyObject* context_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = (ContextObject*)type->tp_alloc(type, 0);
    if (!self) return nullptr;
    self->c_keloCtx = invoke(kelo_ctx_new);
    self->records = nullptr;
    return (PyObject*)self;
}

void context_dealloc(PyObject* obj) {
    auto* self = (ContextObject*)obj;
    PyTypeObject* type = Py_TYPE(obj);
    {
        SavedError saved;
        if (kelo_ctx_t* h = std::exchange(self->c_keloCtx, nullptr)) {
            // The library delivers no callback once this returns, so the
            // records it was handed may go afterwards, not before.
            if (!check(h, invoke(kelo_ctx_delete, h))) unraisable("kelosdk.context._Context.__dealloc__");
        }
        if (auto* records = std::exchange(self->records, nullptr)) {
            for (PyRef* rec : *records) {
                release_record(rec);
                delete rec;
            }
            delete records;
        }
    }
    type->tp_free(obj);
    Py_DECREF(type);
}

PyMethodDef context_methods[] = {KELO_NO_PICKLE, KELO_END};

PyType_Slot context_slots[] = {
    {Py_tp_new, (void*)context_new},
    {Py_tp_dealloc, (void*)context_dealloc},
    {Py_tp_methods, (void*)context_methods},
    {Py_tp_doc, (void*)PyDoc_STR("Owner of a library context. Created by Device; not meant to be used directly.")},
    {0, nullptr},
};

PyType_Spec context_spec = {"kelosdk.context._Context", sizeof(ContextObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, context_slots};

int exec(PyObject* module) {
    if (!first_init(module, "context")) return -1;
    if (!(g.context_type = add_type(module, &context_spec))) return -1;
    return bind_errors(module) ? 0 : -1;
}
}  // namespace

KELO_MODULE(context, exec, nullptr, "Library context handle.")
