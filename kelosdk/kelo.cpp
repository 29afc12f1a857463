// kelosdk.kelo: Device, enumeration, log forwarding and library versions.
#include "units.hpp"

namespace {
using namespace kelo;

// The thirteen functional classes, in the order their modules are imported.
enum Cls { Trigger, Configuration, Board, Bias, Acquisition, Chip, Monitor, Tandem, Cooling, Revisions, Identity, Regbus, Persist, ClsCount };
const char* const cls_module[ClsCount] = {"trigger", "configuration", "board", "bias", "acquisition", "chip", "monitor",
                                          "tandem", "cooling", "revisions", "identity", "regbus", "persist"};
const char* const cls_name[ClsCount] = {"__Trigger", "__Configuration", "__Board", "__Bias", "__Acquisition", "__Chip", "__Monitor",
                                        "__Tandem", "__Cooling", "__Revisions", "__Identity", "__Regbus", "__Persist"};
const Py_ssize_t cls_size[ClsCount] = {sizeof(Unit), sizeof(Unit), sizeof(Unit), sizeof(Unit), sizeof(AcquisitionObject),
                                       sizeof(ChipObject), sizeof(MonitorObject), sizeof(Unit), sizeof(Unit), sizeof(Unit),
                                       sizeof(Unit), sizeof(Unit), sizeof(Unit)};
PyTypeObject* cls_type[ClsCount];

// Device fields, in construction and release order; field 0 is the context.
struct Field {
    const char* attr;
    Cls cls;
    const char* doc;
};
constexpr int kFields = 14;
const Field fields[kFields] = {
    {nullptr, ClsCount, nullptr},
    {"bias", Bias, "__Bias object: gives access to the bias supplies."},
    {"board", Board, "__Board object: gives access to the boards and their power."},
    {"chip", Chip, "__Chip object: gives access to the chips, DACs, thresholds and acquisition modes."},
    {"config", Configuration, "__Configuration object: gives access to configuration loading and the pixel mask."},
    {"monitor", Monitor, "__Monitor object: gives access to the monitors."},
    {"trigger", Trigger, "__Trigger object: gives access to the trigger and the shutter."},
    {"tandem", Tandem, "__Tandem object: gives access to external synchronisation."},
    {"cooling", Cooling, "__Cooling object: gives access to the cooling units."},
    {"acq", Acquisition, "__Acquisition object: gives access to acquisitions and their data."},
    {"revisions", Revisions, "__Revisions object: gives access to the hardware revisions."},
    {"props", Identity, "__Identity object: gives access to the properties of the opened device."},
    {"regbus", Regbus, "__Regbus object: gives access to the register bus."},
    {"persist", Persist, "__Persist object: gives access to the non-volatile memories."},
};

struct DeviceObject {
    PyObject_HEAD
    PyObject* f[kFields];  // f[0] is __context
};

PyObject* context_of(PyObject* self) { return ((DeviceObject*)self)->f[0]; }

// ------------------------------------------------------------ construction

PyObject* device_new(PyTypeObject* type, PyObject*, PyObject*) {
    auto* self = (DeviceObject*)type->tp_alloc(type, 0);
    if (!self) return nullptr;
    for (auto& f : self->f) f = Ref::borrow(Py_None).release();
    Ref guard((PyObject*)self);  // a failure below destroys the half-built object
    PyObject* ctx = PyObject_CallNoArgs((PyObject*)g.context_type);
    if (!ctx) return nullptr;
    Py_SETREF(self->f[0], ctx);
    if (!Ref(PyObject_CallMethod((PyObject*)self, "_Device__setLogger", nullptr))) return nullptr;
    for (int i = 1; i < kFields; ++i) {
        PyObject* type_obj = (PyObject*)cls_type[fields[i].cls];
        PyObject* obj = fields[i].cls == Acquisition ? PyObject_CallFunctionObjArgs(type_obj, ctx, self->f[3], nullptr)
                                                     : PyObject_CallOneArg(type_obj, ctx);
        if (!obj) return nullptr;
        Py_SETREF(self->f[i], obj);
    }
    return guard.release();
}

// Finalizer: closes a device that is still open. Looks the methods up on the
// object, so subclasses' overrides are used.
void device_finalize(PyObject* self) {
    SavedError saved;
    if (context_of(self) == Py_None) return;  // construction failed before the context
    Ref opened(PyObject_CallMethod(self, "isOpened", nullptr));
    int truth = opened ? PyObject_IsTrue(opened.get()) : -1;
    if (truth > 0) opened = Ref(PyObject_CallMethod(self, "close", nullptr));
    if (truth < 0 || !opened) unraisable("kelosdk.kelo.Device.__del__");
}

int device_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    for (PyObject* f : ((DeviceObject*)self)->f) Py_VISIT(f);
    return 0;
}

int device_clear(PyObject* self) {
    for (PyObject*& f : ((DeviceObject*)self)->f) {
        Py_INCREF(Py_None);
        Py_XSETREF(f, Py_None);
    }
    return 0;
}

void device_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    for (PyObject*& f : ((DeviceObject*)self)->f) Py_CLEAR(f);
    type->tp_free(self);
    Py_DECREF(type);
}

// -------------------------------------------------------------- attributes

PyObject* field_get(PyObject* self, void* closure) { return Ref::borrow(((DeviceObject*)self)->f[(intptr_t)closure]).release(); }

int field_set(PyObject* self, PyObject* value, void* closure) {
    int i = (int)(intptr_t)closure;
    if (!value) value = Py_None;  // del sets None
    if (!typed_or_none(value, cls_type[fields[i].cls])) return -1;
    Py_INCREF(value);
    Py_SETREF(((DeviceObject*)self)->f[i], value);
    return 0;
}

PyGetSetDef getset[kFields] = {};  // filled at import from `fields`

// ------------------------------------------------------------- log forward

void log_callback(const char* message, Severity severity, void*) {
    CallbackLock lock;
    if (!lock.ok()) return;
    const char* level = severity == Debug ? "debug" : severity == Info ? "info" : severity == Warning ? "warning" : severity == Error ? "error" : "critical";
    Ref text(str(message));
    Ref stripped(text ? PyObject_CallMethod(text.get(), "strip", nullptr) : nullptr);
    Ref logging(stripped ? global("logging") : nullptr);
    Ref logger(logging ? PyObject_CallMethod(logging.get(), "getLogger", "s", "kelosdk") : nullptr);
    Ref r(logger ? PyObject_CallMethod(logger.get(), level, "O", stripped.get()) : nullptr);
    if (!r) unraisable("kelosdk.kelo.__log_func_callback");
}

KELO_METHOD(set_logger) {
    kelo_ctx_t* h;
    if (!KELO_ARGS.none("_Device__setLogger") || !handle(self, &h)) return nullptr;
    // Only the message part of each line; the library copies the format.
    kelo_log_frmt frmt = {false, false, false, true};
    kelo_log_set_func(h, log_callback, nullptr, &frmt);
    Py_RETURN_NONE;
}

// ------------------------------------------------------------- enumeration

// User data of one enumeration: the list being filled and the first failure.
struct Enumeration {
    PyObject* list;
    PyObject* error = nullptr;  // owned
};

void keep_first_error(Enumeration* e) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
#else
    PyObject *t, *exc, *tb;
    PyErr_Fetch(&t, &exc, &tb);
    PyErr_NormalizeException(&t, &exc, &tb);
    if (exc && tb) PyException_SetTraceback(exc, tb);
    Py_XDECREF(t);
    Py_XDECREF(tb);
#endif
    if (!e->error)
        e->error = exc;
    else
        Py_XDECREF(exc);
}

void enum_callback(kelo_enum_t* en, void* userdata) {
    auto* e = (Enumeration*)userdata;
    const char *conn = "", *product = "", *manufacturer = "", *serial = "", *path = "";
    unsigned short vid = 0, pid = 0;
    int high = 0, super = 0;
    int status = 0;
    // Getters without the lock; the first failure ends this device.
    if ((status = kelo_enum_get_connection_string(en, &conn)) >= 0 && (status = kelo_enum_get_product(en, &product)) >= 0 &&
        (status = kelo_enum_get_manufacturer(en, &manufacturer)) >= 0 && (status = kelo_enum_get_serial_number(en, &serial)) >= 0 &&
        (status = kelo_enum_usb_get_vid_pid(en, &vid, &pid)) >= 0 && (status = kelo_enum_usb_get_instance_path(en, &path)) >= 0 &&
        (status = kelo_enum_usb_is_high_speed(en, &high)) >= 0)
        status = kelo_enum_usb_is_super_speed(en, &super);
    CallbackLock lock;
    if (!lock.ok()) return;
    if (status < 0) {
        const char* msg = "";
        kelo_enum_get_last_error(en, &msg);
        raise_status(status, msg);
        keep_first_error(e);
        return;
    }
    Ref rec(record("DeviceDescriptor", str(conn), str(product), str(manufacturer), str(serial), PyLong_FromLong(vid),
                   PyLong_FromLong(pid), str(path), PyLong_FromLong(high), PyLong_FromLong(super)));
    bool ok = rec && (PyList_CheckExact(e->list) ? PyList_Append(e->list, rec.get()) == 0
                                                 : (bool)Ref(PyObject_CallMethod(e->list, "append", "O", rec.get())));
    if (!ok) keep_first_error(e);
}

KELO_METHOD(enumerate) {
    kelo_ctx_t* h;
    if (!KELO_ARGS.none("enumerate") || !handle(self, &h)) return nullptr;
    Ref list(PyList_New(0));
    if (!list) return nullptr;
    Enumeration e{list.get()};
    int count = 0;
    bool ok = check(h, invoke(kelo_dev_enumerate, h, enum_callback, (void*)&e, &count));
    if (e.error) {
        if (ok) {
#if PY_VERSION_HEX >= 0x030C0000
            PyErr_SetRaisedException(e.error);
#else
            PyErr_SetObject((PyObject*)Py_TYPE(e.error), e.error);
            Py_DECREF(e.error);
#endif
        } else {
            Py_DECREF(e.error);
        }
        return nullptr;
    }
    return ok ? list.release() : nullptr;
}

// ------------------------------------------------------------- open, close

KELO_METHOD(open) {
    PyObject* a[1];
    Text locator;
    if (!KELO_ARGS.parse("open", {"locator"}, a) || !locator.set(a[0]) || !call(self, kelo_dev_open, locator.c_str())) return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(close) {
    if (!KELO_ARGS.none("close") || !call(self, kelo_dev_close)) return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(is_opened) {
    int opened = 0;
    if (!KELO_ARGS.none("isOpened") || !call(self, kelo_dev_is_opened, &opened)) return nullptr;
    return PyBool_FromLong(opened != 0);
}

// Releases the callables that the library still refers to, each once.
KELO_METHOD(finalize) {
    if (!KELO_ARGS.none("finalize")) return nullptr;
    auto* dev = (DeviceObject*)self;
    PyObject* acq = dev->f[9];
    PyObject* mon = dev->f[5];
    if (PyObject_TypeCheck(acq, cls_type[Acquisition])) finalize_acquisition((AcquisitionObject*)acq);
    if (PyObject_TypeCheck(mon, cls_type[Monitor])) finalize_monitor((MonitorObject*)mon);
    Py_RETURN_NONE;
}

KELO_METHOD(enter) {
    if (!KELO_ARGS.none("__enter__")) return nullptr;
    return Ref::borrow(self).release();
}

// Closes the device if it is open, then finalizes; never swallows the
// exception that ended the block.
KELO_METHOD(exit) {
    (void)args, (void)nargs, (void)kwnames;
    Ref opened(PyObject_CallMethod(self, "isOpened", nullptr));
    int truth = opened ? PyObject_IsTrue(opened.get()) : -1;
    if (truth < 0 || (truth && !Ref(PyObject_CallMethod(self, "close", nullptr)))) return nullptr;
    if (!Ref(PyObject_CallMethod(self, "finalize", nullptr))) return nullptr;
    Py_RETURN_FALSE;
}

PyMethodDef device_methods[] = {
    KELO_DEF("_Device__setLogger", set_logger, "Installs the log forwarding for this device's context."),
    KELO_DEF("open", open, "open(locator)\n\nOpens the device with the given connection string."),
    KELO_DEF("close", close, "Closes the device."),
    KELO_DEF("isOpened", is_opened, "Returns True when a device is open."),
    KELO_DEF("enumerate", enumerate, "Lists the attached devices as DeviceDescriptor records."),
    KELO_DEF("finalize", finalize, "Releases the callables registered with the library. Call it once at the end of the work."),
    KELO_DEF("__enter__", enter, nullptr),
    KELO_DEF("__exit__", exit, nullptr),
    KELO_NO_PICKLE,
    KELO_END,
};

const char device_doc[] =
    "A readout device and its library context.\n\n"
    "Workflow: create a Device, call enumerate(), open() the connectionString of one of\n"
    "the returned records, do the work through the attributes (chip, acq, monitor, ...),\n"
    "then close() and finally finalize(). finalize() must be called explicitly at the end\n"
    "of the work; no Device method may be used after it. As a context manager, the\n"
    "device is closed if open and finalized when the block ends.";

PyType_Slot device_slots[] = {
    {Py_tp_new, (void*)device_new},
    {Py_tp_dealloc, (void*)device_dealloc},
    {Py_tp_finalize, (void*)device_finalize},
    {Py_tp_traverse, (void*)device_traverse},
    {Py_tp_clear, (void*)device_clear},
    {Py_tp_methods, (void*)device_methods},
    {Py_tp_getset, (void*)getset},
    {Py_tp_doc, (void*)device_doc},
    {0, nullptr},
};
PyType_Spec device_spec = {"kelosdk.kelo.Device", sizeof(DeviceObject), 0, KELO_TYPE_FLAGS, device_slots};

// ----------------------------------------------------------------- module

KELO_METHOD(get_runtime_version) {
    int major = 0, minor = 0, patch = 0;
    if (!KELO_ARGS.none("getRuntimeVersion")) return nullptr;
    kelo_version(&major, &minor, &patch);  // with the lock held: no context
    return record("SdkVersion", PyLong_FromLong(major), PyLong_FromLong(minor), PyLong_FromLong(patch));
}

KELO_METHOD(get_compile_time_version) {
    if (!KELO_ARGS.none("getCompileTimeVersion")) return nullptr;
    return record("SdkVersion", PyLong_FromLong(KELO_VERSION_MAJOR), PyLong_FromLong(KELO_VERSION_MINOR), PyLong_FromLong(KELO_VERSION_PATCH));
}

PyMethodDef module_methods[] = {
    KELO_DEF("getRuntimeVersion", get_runtime_version, "Returns the version of the loaded device library as an SdkVersion."),
    KELO_DEF("getCompileTimeVersion", get_compile_time_version, "Returns the device library version the package was built for."),
    KELO_END,
};

const char statements[] = R"(
from typing import NamedTuple
import logging

class DeviceDescriptor(NamedTuple):
    """An attached device as enumeration reports it.

    connectionString: unique locator of the device, what Device.open() takes
    product: product name
    manufacturer: manufacturer name
    serialNumber: serial number
    usbVid: USB vendor id
    usbPid: USB product id
    usbInstancePath: USB instance path
    isHighSpeed: the library's high-speed flag (an int)
    isSuperSpeed: the library's super-speed flag (an int)
    """
    connectionString: "str"
    product: "str"
    manufacturer: "str"
    serialNumber: "str"
    usbVid: "int"
    usbPid: "int"
    usbInstancePath: "str"
    isHighSpeed: "bool"
    isSuperSpeed: "bool"

class SdkVersion(NamedTuple):
    """A version of the device library."""
    major: "int"
    minor: "int"
    patch: "int"
)";

int exec(PyObject* module) {
    for (int i = 1; i < kFields; ++i)
        getset[i - 1] = {fields[i].attr, field_get, field_set, fields[i].doc, (void*)(intptr_t)i};
    if (!first_init(module, "kelo") || !add_type(module, &device_spec) || !bind_core(module)) return -1;
    for (int i = 0; i < ClsCount; ++i) {
        std::string mod = std::string("kelosdk.") + cls_module[i];
        if (!(cls_type[i] = import_type(mod.c_str(), cls_name[i], cls_size[i]))) return -1;
    }
    if (!register_exit_guard(module)) return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(kelo, exec, module_methods, "Device entry point: Device, enumeration, log forwarding and library versions.")
