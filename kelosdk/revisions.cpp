// kelosdk.revisions: hardware revisions.
#include "core.hpp"

namespace {
using namespace kelo;

// {identifier: version} in the library's index order.
KELO_METHOD(get) {
    if (!KELO_ARGS.none("get")) return nullptr;
    long n;
    Ref count(PyObject_CallMethod(self, "_Revisions__getCount", nullptr));
    if (!count || ((n = PyLong_AsLong(count.get())) == -1 && PyErr_Occurred())) return nullptr;
    Ref dict(PyDict_New());
    Ref get_id(PyObject_GetAttrString(self, "_Revisions__getId"));
    if (!dict || !get_id) return nullptr;
    for (long i = 0; i < n; ++i) {
        Ref idx(PyLong_FromLong(i));
        Ref identifier(idx ? PyObject_CallOneArg(get_id.get(), idx.get()) : nullptr);
        Text id;
        const char* version = "";
        if (!identifier || !id.set(identifier.get()) || !call(self, kelo_revisions_string, id.c_str(), &version)) return nullptr;
        Ref value(str(version));
        Ref key(value ? str(id) : nullptr);
        if (!key || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
}

PyMethodDef methods[] = {
    KELO_DEF("_Revisions__getCount", (count_method<"_Revisions__getCount", kelo_revisions_count>), nullptr),
    KELO_DEF("_Revisions__getId", (id_method<"_Revisions__getId", "revisionIdx", kelo_revisions_id>), nullptr),
    KELO_DEF("get", get, "Returns the hardware versions as a dict from component identifier to version text, in the library's order."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Hardware revisions of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.revisions.__Revisions", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "revisions") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(revisions, exec, nullptr, "Hardware revisions.")
