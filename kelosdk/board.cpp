// kelosdk.board: board power.
#include "core.hpp"

namespace {
using namespace kelo;

// A failed count is reported by errors._throwKeloError, looked up when it
// fails so that a rebinding is honoured; if that returns, so does the count.
KELO_METHOD(board_count) {
    kelo_ctx_t* h;
    int n = 0;
    if (!KELO_ARGS.none("_Board__getCount") || !handle(self, &h)) return nullptr;
    if (int status = invoke(kelo_board_count, h, &n); status < 0) {
        Ref errors(global("errors"));
        if (!errors || !Ref(PyObject_CallMethod(errors.get(), "_throwKeloError", "is", status, "getBoardCount"))) return nullptr;
    }
    return PyLong_FromLong(n);
}

PyMethodDef methods[] = {
    KELO_DEF("getBoardIds", (ids_method<"getBoardIds", "_Board__getCount", "_Board__getId">), "getBoardIds()\n\nReturns the identifiers of the boards."),
    KELO_DEF("_Board__getCount", board_count, nullptr),
    KELO_DEF("_Board__getId", (id_method<"_Board__getId", "boardIdx", kelo_board_id>), nullptr),
    KELO_DEF("powerOn", (query_method<"powerOn", "boardId", kelo_board_power_on>), "powerOn(boardId)\n\nPowers a board."),
    KELO_DEF("powerOff", (query_method<"powerOff", "boardId", kelo_board_power_off>),
             "powerOff(boardId)\n\nRemoves the power of a board. Not to be called before the corresponding powerOn()."),
    KELO_DEF("isPowered", (query_method<"isPowered", "boardId", kelo_board_is_powered, truth>), "isPowered(boardId)\n\nReturns True when the board is powered."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Boards of the device and their power.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.board.__Board", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

int exec(PyObject* module) {
    if (!first_init(module, "board") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return 0;
}
}  // namespace

KELO_MODULE(board, exec, nullptr, "Board power.")
