// kelosdk.tandem: external synchronisation.
#include "core.hpp"

namespace {
using namespace kelo;

PyMethodDef methods[] = {
    KELO_DEF("getOptionIds", (ids_method<"getOptionIds", "_Tandem__getOptionCount", "_Tandem__getOptionId">),
             "getOptionIds()\n\nReturns the identifiers of the external synchronisation options."),
    KELO_DEF("_Tandem__getOptionCount", (count_method<"_Tandem__getOptionCount", kelo_tandem_option_count>), nullptr),
    KELO_DEF("_Tandem__getOptionId", (id_method<"_Tandem__getOptionId", "optionIdx", kelo_tandem_option_id>), nullptr),
    KELO_DEF("selectOption", (query_method<"selectOption", "optionId", kelo_tandem_option_select>),
             "selectOption(optionId)\n\nSelects an external synchronisation option."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "External synchronisation options.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.tandem.__Tandem", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "tandem") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(tandem, exec, nullptr, "External synchronisation.")
