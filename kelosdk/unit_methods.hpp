// Method shapes of the unit modules (bias, cooling, board, trigger, tandem):
// named units with values, ranges and selections. Each shape is one library
// call through the call frame, the identifier encoded with encode() first.
#pragma once
#include "core.hpp"

namespace kelo {

inline bool id_arg(const Args& args, const char* fname, const char* param, Text& id) {
    PyObject* a[1];
    return args.parse(fname, {param}, a) && id.set(a[0]);
}

inline PyObject* py_float(float v) { return PyFloat_FromDouble(v); }
inline PyObject* py_flag(int v) { return PyBool_FromLong(v != 0); }

// get…(id): one value of a unit, preset to zero (a null text reads as '').
template <Name fname, Name param, class T, int (*fn)(kelo_ctx_t*, const char*, T*), PyObject* (*result)(T)>
KELO_METHOD(value_of) {
    Text id;
    T out{};
    if (!id_arg(KELO_ARGS, fname.s, param.s, id) || !call(self, fn, id.c_str(), &out)) return nullptr;
    return result(out);
}

template <Name fname, Name param, int (*fn)(kelo_ctx_t*, const char*, float*)>
constexpr auto float_of = value_of<fname, param, float, fn, py_float>;
template <Name fname, Name param, int (*fn)(kelo_ctx_t*, const char*, const char**)>
constexpr auto text_of = value_of<fname, param, const char*, fn, str>;
template <Name fname, Name param, int (*fn)(kelo_ctx_t*, const char*, int*)>
constexpr auto flag_of = value_of<fname, param, int, fn, py_flag>;

// set…(id, value): a value narrowed to a C float, converted after the id.
template <Name fname, Name param, Name value, int (*fn)(kelo_ctx_t*, const char*, float)>
KELO_METHOD(set_float_of) {
    PyObject* a[2];
    Text id;
    float v;
    if (!KELO_ARGS.parse(fname.s, {param.s, value.s}, a) || !id.set(a[0]) || !to_float(a[1], &v) || !call(self, fn, id.c_str(), v))
        return nullptr;
    Py_RETURN_NONE;
}

// get…Range(id): the bounds of a unit as a (min, max) record of the module.
template <Name fname, Name param, Name record_name, int (*fn)(kelo_ctx_t*, const char*, float*, float*)>
KELO_METHOD(range_of) {
    Text id;
    float lo = 0, hi = 0;
    if (!id_arg(KELO_ARGS, fname.s, param.s, id) || !call(self, fn, id.c_str(), &lo, &hi)) return nullptr;
    return record(record_name.s, py_float(lo), py_float(hi));
}

// select…(id), powerOn(id), …: an action on one identifier.
template <Name fname, Name param, int (*fn)(kelo_ctx_t*, const char*)>
KELO_METHOD(act_on) {
    Text id;
    if (!id_arg(KELO_ARGS, fname.s, param.s, id) || !call(self, fn, id.c_str())) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace kelo
