// kelosdk.regbus: register bus.
#include "core.hpp"

namespace {
using namespace kelo;

// The call frame with the bus statuses 102 and 103 counted as failures.
template <class... A>
bool bus_call(PyObject* self, int (*fn)(kelo_ctx_t*, A...), A... a) {
    kelo_ctx_t* h;
    return handle(self, &h) && check(h, invoke(fn, h, a...), /*regbus=*/true);
}

KELO_METHOD(read) {
    PyObject* a[1];
    uint32_t address, data = 0;
    if (!KELO_ARGS.parse("read", {"address"}, a) || !to_u32(a[0], &address) || !bus_call(self, kelo_regbus_read, address, &data)) return nullptr;
    return PyLong_FromUnsignedLong(data);
}

KELO_METHOD(write) {
    PyObject* a[2];
    uint32_t address, data;
    if (!KELO_ARGS.parse("write", {"address", "data"}, a) || !to_u32(a[0], &address) || !to_u32(a[1], &data) ||
        !bus_call(self, kelo_regbus_write, address, data))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    KELO_DEF("read", read, "read(address)\n\nReads the 32-bit word at the address; returns it as a non-negative int."),
    KELO_DEF("write", write, "write(address, data)\n\nWrites the 32-bit word data at the address."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "AXI4 register bus access.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.regbus.__Regbus", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "regbus") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(regbus, exec, nullptr, "Register bus.")
