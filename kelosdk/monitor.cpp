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

// --------------------------------------------------------------- values

KELO_METHOD(get_data_type) {
    PyObject* a[1];
    Text id;
    const char* type = "";
    if (!KELO_ARGS.parse("_Monitor__getDataType", {"monId"}, a) || !id.set(a[0], Text::Utf8) || !call(self, kelo_mon_datatype, id.c_str(), &type))
        return nullptr;
    return str(type);
}

KELO_METHOD(fetch_value) {
    PyObject* a[1];
    Text id;
    if (!KELO_ARGS.parse("fetchValue", {"monId"}, a) || !id.set(a[0], Text::Utf8)) return nullptr;
    Ref type(PyObject_CallMethod(self, "_Monitor__getDataType", "O", a[0]));
    if (!type) return nullptr;
    for (const char* name : {"float", "int"}) {
        Ref want(PyUnicode_FromString(name));
        int same = want ? PyObject_RichCompareBool(type.get(), want.get(), Py_EQ) : -1;
        if (same < 0) return nullptr;
        if (same)
            return *name == 'f' ? query(self, kelo_mon_fetch_value_float, value<float>, id.c_str())
                                : query(self, kelo_mon_fetch_value_int, value<int>, id.c_str());
    }
    Py_RETURN_NONE;
}

// --------------------------------------------------------------- events

// One event as the getters report it, read without the lock. The first
// failing getter ends the reading, so nothing it left unset is used.
struct Event {
    kelo_mon_t* mon;
    int status = 0;
    const char* id = "";
    const char* type = "";
    int available = 0, ivalue = 0, warning = 0, error = 0;
    float fvalue = 0.0f;

    template <class T>
    bool get(int (*fn)(kelo_mon_t*, T*), T* out) {
        if ((status = fn(mon, out)) < 0) return false;
        if constexpr (std::is_same_v<T, const char*>)
            if (!*out) *out = "";
        return true;
    }
    bool is(const char* name) const { return std::strcmp(type, name) == 0; }
    bool type_and_value() {
        return get(kelo_mon_event_datatype, &type) &&
               (is("float") ? get(kelo_mon_event_get_value_as_float, &fvalue) : get(kelo_mon_event_get_value_as_int, &ivalue));
    }
    // The value as Python sees it; null without an exception for another type.
    PyObject* value() const { return is("float") ? PyFloat_FromDouble(fvalue) : is("int") ? PyLong_FromLong(ivalue) : nullptr; }
};

// Delivers an event read into `e` to the record `userdata`, with the lock.
// `build` makes the argument of the callable; null without an exception
// means there is nothing to deliver. Any exception is reported and cleared.
template <class Build>
void deliver(const Event& e, void* userdata, const char* where, Build build) {
    CallbackLock lock;
    if (!lock.ok()) return;
    auto* rec = (PyRef*)userdata;
    if (!rec || !rec->obj) return;  // released by finalize() or a newer registration
    Ref func = Ref::borrow(rec->obj);  // the callable may drop the record's reference
    if (e.status < 0) {
        const char* msg = "";
        kelo_mon_get_last_error(e.mon, &msg);
        raise_status(e.status, msg);
    } else if (Ref arg{build()}) {
        Ref(PyObject_CallOneArg(func.get(), arg.get()));
    }
    if (PyErr_Occurred()) unraisable(where);
}

void on_monitor_changed_cb(kelo_mon_t* mon, void* userdata) {
    Event e{mon};
    e.get(kelo_mon_event_id, &e.id) && e.type_and_value() && e.get(kelo_mon_event_is_warning_condition_met, &e.warning) &&
        e.get(kelo_mon_event_is_error_condition_met, &e.error);
    deliver(e, userdata, "kelosdk.monitor.on_monitor_changed_cb", [&]() -> PyObject* {
        PyObject* v = e.value();
        return v ? record("MonitorDataOnValueChanged", str(e.id), v, PyLong_FromLong(e.warning), PyLong_FromLong(e.error)) : nullptr;
    });
}

void on_monitor_available_cb(kelo_mon_t* mon, void* userdata) {
    Event e{mon};
    e.get(kelo_mon_event_id, &e.id) && e.get(kelo_mon_event_is_available, &e.available) && (!e.available || e.type_and_value());
    deliver(e, userdata, "kelosdk.monitor.on_monitor_available_cb", [&]() -> PyObject* {
        PyObject* v = e.available ? e.value() : Ref::borrow(Py_None).release();
        return v ? record("MonitorDataOnAvailabilityChanged", str(e.id), v) : nullptr;
    });
}

// Registers `func` for one event kind of a monitor. The library is handed a
// record owned by the context, so that its user data stays valid for as
// long as the library may deliver; the record it replaces is released only
// once the library has accepted the new one, and a refused registration
// leaves the previous one in force.
template <Name fname, RecordMap* MonitorObject::*map, class F, int (*set)(kelo_ctx_t*, const char*, F, void*), F trampoline>
KELO_METHOD(set_callback) {
    PyObject* a[2];
    Text id;
    kelo_ctx_t* h;
    if (!KELO_ARGS.parse(fname.s, {"monitorId", "func"}, a) || !id.set(a[0], Text::Utf8) || !handle(self, &h)) return nullptr;
    PyRef* rec = new_record(((Unit*)self)->context, a[1]);
    if (!rec) return nullptr;
    if (!check(h, invoke(set, h, id.c_str(), trampoline, (void*)rec))) {
        release_record(rec);
        return nullptr;
    }
    try {
        (((MonitorObject*)self)->*map)->replace(id.c_str(), rec);  // the key is cut at a NUL, as the library's text
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();  // the record stays with the context and keeps the callable
    }
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    KELO_DEF("getIds", (ids_method<"getIds", "_Monitor__getCount", "_Monitor__getId">), "Returns the identifiers of the monitors, in index order."),
    KELO_DEF("_Monitor__getCount", (count_method<"_Monitor__getCount", kelo_mon_count>), nullptr),
    KELO_DEF("_Monitor__getId", (id_method<"_Monitor__getId", "monIdx", kelo_mon_id>), nullptr),
    KELO_DEF("_Monitor__getDataType", get_data_type, nullptr),
    KELO_DEF("fetchValue", fetch_value,
             "fetchValue(monId)\n\nReturns the current value of a monitor: a float for data type \"float\", an int for \"int\",\n"
             "None for any other data type."),
    KELO_DEF("setOnValueChangedCallback",
             (set_callback<"setOnValueChangedCallback", &MonitorObject::onValueChanged, kelo_mon_valuechanged_func,
                           kelo_mon_event_set_onvaluechanged, on_monitor_changed_cb>),
             "setOnValueChangedCallback(monitorId, func)\n\nfunc(MonitorDataOnValueChanged) is called, on a library thread, whenever the\n"
             "monitor's value changes. A later registration for the same monitor replaces this one.\n"
             "An exception raised by func is reported through sys.unraisablehook."),
    KELO_DEF("setOnAvailabilityChangedCallback",
             (set_callback<"setOnAvailabilityChangedCallback", &MonitorObject::onAvailChanged, kelo_mon_availabilitychanged_func,
                           kelo_mon_event_set_onavailabilitychanged, on_monitor_available_cb>),
             "setOnAvailabilityChangedCallback(monitorId, func)\n\nfunc(MonitorDataOnAvailabilityChanged) is called, on a library thread,\n"
             "whenever the monitor becomes available (value set) or unavailable (value None). A later\n"
             "registration for the same monitor replaces this one."),
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

const char statements[] = R"(
from typing import NamedTuple

class MonitorDataOnValueChanged(NamedTuple):
    """Information about a monitor, delivered on a value change.

    Args:
        id: identifier of the monitor
        value: the new value (float or int, after the monitor's data type)
        isWarningConditionMet: the library's warning flag (an int)
        isErrorConditionMet: the library's error flag (an int)
    """
    id: "str"
    value: "int | float"
    isWarningConditionMet: "bool"
    isErrorConditionMet: "bool"

class MonitorDataOnAvailabilityChanged(NamedTuple):
    """Information about a monitor, delivered on an availability change.

    Args:
        id: identifier of the monitor
        value: the current value while the monitor is available; None when it became unavailable
    """
    id: "str"
    value: "int | float | None"
)";

int exec(PyObject* module) {
    if (!first_init(module, "monitor") || !add_type(module, &spec) || !bind_core(module) || !register_exit_guard(module)) return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(monitor, exec, nullptr, "Monitors of the device: values and value and availability events.")
