// kelosdk.trigger: trigger modes, software trigger and shutter duration.
#include "core.hpp"

namespace {
using namespace kelo;

// A failed trigger's report needs a moment to reach the last error: read it
// after 10 ms, slept through the module's `time` like any Python call (the
// sleep releases the lock while it waits).
KELO_METHOD(fire) {
    kelo_ctx_t* h;
    if (!KELO_ARGS.none("trigger") || !handle(self, &h)) return nullptr;
    int status = invoke(kelo_trigger, h);
    if (status >= 0) Py_RETURN_NONE;
    Ref time(global("time"));
    if (!time || !Ref(PyObject_CallMethod(time.get(), "sleep", "d", 0.01))) return nullptr;
    check(h, status);
    return nullptr;
}

// Seconds, unchanged, as a C float.
KELO_METHOD(set_shutter_duration) {
    PyObject* a[1];
    float seconds;
    if (!KELO_ARGS.parse("setShutterDuration", {"duration"}, a) || !to_float(a[0], &seconds) ||
        !call(self, kelo_trigger_set_shutter_duration, seconds))
        return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    KELO_DEF("getModeIds", (ids_method<"getModeIds", "_Trigger__getModeCount", "_Trigger__getModeId">),
             "getModeIds()\n\nReturns the identifiers of the trigger modes."),
    KELO_DEF("_Trigger__getModeCount", (count_method<"_Trigger__getModeCount", kelo_trigger_mode_count>), nullptr),
    KELO_DEF("_Trigger__getModeId", (id_method<"_Trigger__getModeId", "modeIdx", kelo_trigger_mode_id>), nullptr),
    KELO_DEF("selectMode", (query_method<"selectMode", "modeId", kelo_trigger_mode_select>), "selectMode(modeId)\n\nSelects a trigger mode."),
    KELO_DEF("trigger", fire, "trigger()\n\nFires one trigger from software."),
    KELO_DEF("setShutterDuration", set_shutter_duration,
             "setShutterDuration(duration)\n\nSets the shutter duration in seconds (passed as a 32-bit float)."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Trigger modes, software trigger and shutter duration.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.trigger.__Trigger", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "trigger") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return run_statements(module, "import time\n") ? 0 : -1;
}
}  // namespace

KELO_MODULE(trigger, exec, nullptr, "Trigger.")
