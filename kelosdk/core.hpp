// Native core shared by every kelosdk extension module.
//
// Each module is one translation unit that includes this header; the module
// state below is therefore per module (the build hides every symbol, so no
// two modules ever share it).
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <kelo/kelo.h>

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <thread>
#include <utility>
#include <vector>

namespace kelo {

// ---------------------------------------------------------------- references

// Owned reference: the one way the core holds a PyObject*.
class Ref {
    PyObject* p_ = nullptr;

public:
    Ref() = default;
    explicit Ref(PyObject* stolen) noexcept : p_(stolen) {}
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(o.release()) {}
    Ref& operator=(Ref&& o) noexcept {
        PyObject* old = p_;
        p_ = o.release();
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
};

// Record that keeps a callable alive while the library holds a pointer to the
// record as callback user data. The record's memory belongs to the _Context
// it was registered with and lives until the library context is deleted;
// releasing it only drops the callable.
struct PyRef {
    PyObject* obj;
};

// Layout of kelosdk.context._Context, shared by every module.
struct ContextObject {
    PyObject_HEAD
    kelo_ctx_t* c_keloCtx;
    std::vector<PyRef*>* records;  // callback records handed to the library
};

// First fields of every functional object.
struct Unit {
    PyObject_HEAD
    PyObject* context;  // _Context or None
};

// ------------------------------------------------------------- module state

enum Exc { Internal, InvalidOperation, InvalidArgument, NoMemory, Pointer, Regbus, Base, ExcCount };

struct ModuleState {
    PyObject* module = nullptr;  // borrowed: the one initialised module object
    PyTypeObject* context_type = nullptr;
    PyObject* exc[ExcCount] = {};
    PyInterpreterState* interp = nullptr;
    // Callback guard: trampolines count themselves in; at exit the guard
    // closes the door and waits for those already in, so no library thread
    // ever tries to take the lock once the interpreter is finalizing.
    std::atomic<int> inflight{0};
    std::atomic<bool> closing{false};
    std::atomic<bool> keep_thread_states{true};
};
inline ModuleState g;

// ------------------------------------------------------------------ errors

inline bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing();
#else
    return _Py_IsFinalizing();
#endif
}

// Text from the library: null and empty give '', else strict UTF-8.
inline PyObject* str(const char* s) {
    if (!s || !*s) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeUTF8(s, (Py_ssize_t)std::strlen(s), "strict");
}
inline PyObject* ascii_str(const char* s) {
    if (!s || !*s) return PyUnicode_FromStringAndSize("", 0);
    return PyUnicode_DecodeASCII(s, (Py_ssize_t)std::strlen(s), "strict");
}

inline bool is_failure(int status, bool regbus = false) {
    return status < 0 || (regbus && (status == 102 || status == 103));
}

// Raises the exception of a failure status with the library's text; the
// exception carries the status as `status`. Returns false for a status that
// is no failure. Needs the lock.
inline bool raise_status(int status, const char* msg, bool regbus = false) {
    if (!is_failure(status, regbus)) return false;
    PyObject* type = status >= -5 && status <= -1 ? g.exc[-status - 1] : status > 0 ? g.exc[Regbus] : g.exc[Base];
    Ref text(str(msg));
    if (!text) return true;  // the decoding error propagates instead
    Ref exc(PyObject_CallOneArg(type, text.get()));
    if (!exc) return true;
    Ref code(PyLong_FromLong(status));
    if (!code || PyObject_SetAttrString(exc.get(), "status", code.get()) < 0) return true;
    PyErr_SetObject((PyObject*)Py_TYPE(exc.get()), exc.get());
    return true;
}

inline const char* ctx_error(kelo_ctx_t* h) {
    const char* msg = "";
    kelo_ctx_get_last_error(h, &msg);
    return msg;
}

// Raises an exception that the binding itself detects.
inline std::nullptr_t raise(Exc which, const char* msg) {
    PyErr_SetString(g.exc[which], msg);
    return nullptr;
}

// Reports the pending exception to sys.unraisablehook and clears it.
inline void unraisable(const char* where) {
    Ref ctx(PyUnicode_FromString(where));
    PyErr_WriteUnraisable(ctx.get());
    PyErr_Clear();
}

// Saves the thread's pending exception for the lifetime of the object.
class SavedError {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc_ = PyErr_GetRaisedException();

public:
    SavedError() = default;
    ~SavedError() { PyErr_SetRaisedException(exc_); }
#else
    PyObject *t_, *v_, *tb_;

public:
    SavedError() { PyErr_Fetch(&t_, &v_, &tb_); }
    ~SavedError() { PyErr_Restore(t_, v_, tb_); }
#endif
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
};

// --------------------------------------------------------------- call frame

// Makes exactly one library call with the lock released.
template <class R, class... P, class... A>
inline R invoke(R (*fn)(P...), A&&... a) {
    R r;
    Py_BEGIN_ALLOW_THREADS
    r = fn(std::forward<A>(a)...);
    Py_END_ALLOW_THREADS
    return r;
}

// Status test and last-error fetch, with the lock held. False: raised.
inline bool check(kelo_ctx_t* h, int status, bool regbus = false) {
    if (!is_failure(status, regbus)) return true;
    raise_status(status, ctx_error(h), regbus);
    return false;
}

// The library handle of a functional object; refuses an object without one.
inline bool handle(PyObject* self, kelo_ctx_t** h) {
    PyObject* c = ((Unit*)self)->context;
    if (c == Py_None || !c) {
        raise(InvalidOperation, "this object has no library context");
        return false;
    }
    *h = ((ContextObject*)c)->c_keloCtx;
    return true;
}

// The call frame: handle, one call with the lock released, status check.
template <class... P, class... A>
inline bool call(PyObject* self, int (*fn)(kelo_ctx_t*, P...), A&&... a) {
    kelo_ctx_t* h;
    return handle(self, &h) && check(h, invoke(fn, h, std::forward<A>(a)...));
}

// ------------------------------------------------------------ conversions

// C int (and uint32_t) through __int__, with the interpreter's messages.
inline PyObject* as_index(PyObject* o) {
    if (PyLong_Check(o)) return Ref::borrow(o).release();
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    PyObject* r = nb->nb_int(o);
    if (r && !PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

inline bool to_int(PyObject* o, int* out) {
    Ref v(as_index(o));
    if (!v) return false;
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (x == -1 && PyErr_Occurred()) return false;
    if (overflow || x < INT_MIN || x > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
        return false;
    }
    *out = (int)x;
    return true;
}

// Unsigned C integers through __int__; `name` is the C type in the messages.
template <class T>
inline bool to_unsigned(PyObject* o, T* out, const char* name) {
    Ref v(as_index(o));
    if (!v) return false;
    int overflow = 0;
    long long s = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
    if (s == -1 && !overflow && PyErr_Occurred()) return false;
    if (overflow < 0 || (!overflow && s < 0)) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", name);
        return false;
    }
    unsigned long long x = overflow ? PyLong_AsUnsignedLongLong(v.get()) : (unsigned long long)s;
    if ((overflow && x == (unsigned long long)-1 && PyErr_Occurred()) || x > (unsigned long long)std::numeric_limits<T>::max()) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", name);
        return false;
    }
    *out = (T)x;
    return true;
}
inline bool to_u32(PyObject* o, uint32_t* out) { return to_unsigned(o, out, "uint32_t"); }
inline bool to_u64(PyObject* o, uint64_t* out) { return to_unsigned(o, out, "uint64_t"); }

// Rounds a double to single precision the way the hardware does, without
// the undefined behaviour of an out-of-range cast.
inline float narrow(double d) {
    if (std::isfinite(d) && std::fabs(d) > (double)FLT_MAX) {
        float big = std::fabs(d) < (double)FLT_MAX + 0x1p103 ? FLT_MAX : INFINITY;
        return d < 0 ? -big : big;
    }
    return (float)d;
}

inline bool to_float(PyObject* o, float* out) {
    double d = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *out = narrow(d);
    return true;
}

// Text argument: the result of the argument's encode method, kept alive for
// the call. Default calls encode() and wants exactly bytes; Utf8 calls
// encode("utf-8") and also takes a bytearray; Ascii calls encode("ascii").
class Text {
    Ref bytes_;
    const char* s_ = "";

public:
    enum Enc { Default, Utf8, Ascii };
    bool set(PyObject* o, Enc enc = Default) {
        if (PyUnicode_CheckExact(o)) {  // what encode() does for a str, without the lookup
            bytes_ = Ref(enc == Ascii ? PyUnicode_AsASCIIString(o) : PyUnicode_AsUTF8String(o));
        } else {
            Ref meth(PyObject_GetAttrString(o, "encode"));
            if (!meth) return false;
            if (enc == Default) {
                bytes_ = Ref(PyObject_CallNoArgs(meth.get()));
            } else {
                Ref codec(PyUnicode_FromString(enc == Ascii ? "ascii" : "utf-8"));
                bytes_ = Ref(codec ? PyObject_CallOneArg(meth.get(), codec.get()) : nullptr);
            }
        }
        PyObject* b = bytes_.get();
        if (!b) return false;
        if (PyBytes_CheckExact(b)) {
            s_ = PyBytes_AS_STRING(b);
            return true;
        }
        if (enc == Utf8 && PyByteArray_CheckExact(b)) {
            s_ = PyByteArray_AS_STRING(b);
            return true;
        }
        if (b == Py_None)
            PyErr_SetString(PyExc_TypeError, "expected bytes, NoneType found");
        else if (enc == Utf8)
            PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(b)->tp_name);
        else
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(b)->tp_name);
        bytes_ = Ref();
        return false;
    }
    const char* c_str() const { return s_; }
    operator const char*() const { return s_; }
};

// ------------------------------------------------------- argument parsing

// Positional-or-keyword parameters of a METH_FASTCALL | METH_KEYWORDS method.
struct Args {
    PyObject* const* args;
    Py_ssize_t nargs;
    PyObject* kwnames;

    template <size_t N>
    bool parse(const char* fname, const char* const (&names)[N], PyObject* (&out)[N], size_t required = N) const {
        return parse_n(fname, names, out, N, required);
    }
    bool none(const char* fname) const {
        if (nargs == 0 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return true;
        if (kwnames && PyTuple_GET_SIZE(kwnames))
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, PyTuple_GET_ITEM(kwnames, 0));
        else
            PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", fname, nargs);
        return false;
    }

private:
    bool count_error(const char* fname, size_t n, size_t required, Py_ssize_t given) const {
        const char* how = n == required ? "exactly" : (size_t)given < required ? "at least" : "at most";
        size_t bound = (size_t)given < required ? required : n;
        PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)", fname, how, bound, bound == 1 ? "" : "s", given);
        return false;
    }
    bool parse_n(const char* fname, const char* const* names, PyObject** out, size_t n, size_t required) const {
        if ((size_t)nargs > n) return count_error(fname, n, required, nargs);
        for (size_t i = 0; i < n; ++i) out[i] = i < (size_t)nargs ? args[i] : nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t i = 0;
            while (i < n && PyUnicode_CompareWithASCIIString(key, names[i]) != 0) ++i;
            if (i == n) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
                return false;
            }
            if (out[i]) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname, key);
                return false;
            }
            out[i] = args[nargs + k];
        }
        for (size_t i = 0; i < required; ++i)
            if (!out[i]) {
                if (nkw) {
                    PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fname, names[i], i + 1);
                    return false;
                }
                return count_error(fname, n, required, nargs);
            }
        return true;
    }
};

#define KELO_METHOD(name) \
    static PyObject* name([[maybe_unused]] PyObject* self, [[maybe_unused]] PyObject* const* args, [[maybe_unused]] Py_ssize_t nargs, [[maybe_unused]] PyObject* kwnames)
#define KELO_ARGS ::kelo::Args{args, nargs, kwnames}
#define KELO_FASTCALL(fn) (PyCFunction)(void (*)(void))(fn), METH_FASTCALL | METH_KEYWORDS
#define KELO_DEF(name, fn, doc) {name, KELO_FASTCALL(fn), PyDoc_STR(doc)}

// ------------------------------------------------------------ shared idioms

// get…Ids(): the private count method, then the private id method per index,
// both looked up on self so that subclasses are honoured.
inline PyObject* id_list(PyObject* self, const char* count_name, const char* id_name) {
    Ref count(PyObject_CallMethod(self, count_name, nullptr));
    if (!count) return nullptr;
    long n = PyLong_AsLong(count.get());
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref list(PyList_New(0));
    Ref meth(PyObject_GetAttrString(self, id_name));
    if (!list || !meth) return nullptr;
    for (long i = 0; i < n; ++i) {
        Ref idx(PyLong_FromLong(i));
        Ref id(idx ? PyObject_CallOneArg(meth.get(), idx.get()) : nullptr);
        if (!id || PyList_Append(list.get(), id.get()) < 0) return nullptr;
    }
    return list.release();
}

// Compile-time name, so that generic methods can carry their own.
template <size_t N>
struct Name {
    char s[N];
    constexpr Name(const char (&v)[N]) { std::copy_n(v, N, s); }
};

// __get…Count(): the library's count with the count preset to 0.
template <Name fname, int (*fn)(kelo_ctx_t*, int*)>
KELO_METHOD(count_method) {
    int n = 0;
    if (!KELO_ARGS.none(fname.s) || !call(self, fn, &n)) return nullptr;
    return PyLong_FromLong(n);
}

// __get…Id(index): the identifier of one index, decoded by `decode`.
template <Name fname, Name param, int (*fn)(kelo_ctx_t*, int, const char**), PyObject* (*decode)(const char*) = str>
KELO_METHOD(id_method) {
    PyObject* a[1];
    int index;
    const char* id = "";
    if (!KELO_ARGS.parse(fname.s, {param.s}, a) || !to_int(a[0], &index) || !call(self, fn, index, &id)) return nullptr;
    return decode(id);
}

// get…Ids() bound to the two private methods.
template <Name fname, Name count_name, Name id_name>
KELO_METHOD(ids_method) {
    if (!KELO_ARGS.none(fname.s)) return nullptr;
    return id_list(self, count_name.s, id_name.s);
}

// Looks up a module global (then the built-ins), as module-level code would.
inline PyObject* global(const char* name) {
    PyObject* dict = PyModule_GetDict(g.module);
    PyObject* v = PyDict_GetItemString(dict, name);
    if (v) return Ref::borrow(v).release();
    PyObject* builtins = PyEval_GetBuiltins();
    v = builtins ? PyDict_GetItemString(builtins, name) : nullptr;
    if (v) return Ref::borrow(v).release();
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    return nullptr;
}

// self.<name>(args...), looked up on the object so that subclasses are honoured.
template <class... A>
inline PyObject* call_method(PyObject* self, const char* name, A*... a) {
    Ref meth(PyUnicode_InternFromString(name));
    PyObject* argv[] = {self, a...};
    return meth ? PyObject_VectorcallMethod(meth.get(), argv, (1 + sizeof...(A)) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr) : nullptr;
}

// Calls a module-global record class (a NamedTuple) with positional values;
// takes ownership of the values, any of which may be null after an error.
template <class... V>
inline PyObject* record(const char* cls, V*... values) {
    Ref vals[] = {Ref(values)...};
    for (auto& v : vals)
        if (!v) return nullptr;
    Ref type(global(cls));
    if (!type) return nullptr;
    PyObject* argv[sizeof...(V) + 1] = {nullptr};
    for (size_t i = 0; i < sizeof...(V); ++i) argv[i + 1] = vals[i].get();
    return PyObject_Vectorcall(type.get(), argv + 1, sizeof...(V) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// ------------------------------------------------------ item methods
// The shapes of most methods: one library call about the context or about
// one identified item, its out values preset and turned into Python.

inline PyObject* py(int v) { return PyLong_FromLong(v); }
inline PyObject* py(unsigned short v) { return PyLong_FromLong(v); }
inline PyObject* py(float v) { return PyFloat_FromDouble(v); }  // widened exactly
inline PyObject* py(const char* v) { return str(v); }
inline PyObject* none() { Py_RETURN_NONE; }
inline PyObject* truth(int v) { return PyBool_FromLong(v != 0); }
template <class T>
inline PyObject* value(T v) { return py(v); }
template <Name cls, class... T>
inline PyObject* as_record(T... v) { return record(cls.s, py(v)...); }

// fn(ctx, [id,] &outs...) with every out preset, then result(outs...).
template <class... T>
inline PyObject* query(PyObject* self, int (*fn)(kelo_ctx_t*, T*...), PyObject* (*result)(T...)) {
    std::tuple<T...> out{};
    bool ok = std::apply([&](T&... o) { return call(self, fn, &o...); }, out);
    return ok ? std::apply(result, out) : nullptr;
}
template <class... T>
inline PyObject* query(PyObject* self, int (*fn)(kelo_ctx_t*, const char*, T*...), PyObject* (*result)(T...), const char* id) {
    std::tuple<T...> out{};
    bool ok = std::apply([&](T&... o) { return call(self, fn, id, &o...); }, out);
    return ok ? std::apply(result, out) : nullptr;
}

// get…(): a value of the context.
template <Name fname, auto fn, auto result>
KELO_METHOD(get_method) {
    if (!KELO_ARGS.none(fname.s)) return nullptr;
    return query(self, fn, result);
}

// get…(id) and actions on an item: a value of the identified item (none
// for an action), the identifier encoded with encode().
template <Name fname, Name param, auto fn, auto result = none>
KELO_METHOD(query_method) {
    PyObject* a[1];
    Text id;
    if (!KELO_ARGS.parse(fname.s, {param.s}, a) || !id.set(a[0])) return nullptr;
    return query(self, fn, result, id.c_str());
}

// set…(id, value): the identifier is encoded before the value is converted.
template <class T>
inline PyObject* assign(PyObject* self, PyObject* const* a, int (*fn)(kelo_ctx_t*, const char*, T), bool (*convert)(PyObject*, T*)) {
    Text id;
    T v{};
    if (!id.set(a[0]) || !convert(a[1], &v) || !call(self, fn, id.c_str(), v)) return nullptr;
    Py_RETURN_NONE;
}
template <Name fname, Name param, Name value_param, auto fn, auto convert>
KELO_METHOD(assign_method) {
    PyObject* a[2];
    if (!KELO_ARGS.parse(fname.s, {param.s, value_param.s}, a)) return nullptr;
    return assign(self, a, fn, convert);
}

// ------------------------------------------------------------ byte buffers

// Name of a buffer item type, for the mismatch message.
inline const char* item_name(const char* format) {
    static const char* const names[][2] = {
        {"c", "char"},  {"b", "signed char"}, {"h", "short"},         {"H", "unsigned short"}, {"i", "int"},
        {"I", "unsigned int"}, {"l", "long"}, {"L", "unsigned long"}, {"q", "long long"},      {"Q", "unsigned long long"},
        {"f", "float"}, {"d", "double"},      {"g", "long double"},   {"?", "bool"},           {"e", "half"},
    };
    for (auto& n : names)
        if (std::strcmp(format, n[0]) == 0) return n[1];
    return format;
}

// A writable, one-dimensional, C-contiguous run of unsigned bytes, exported for the life of the object. Taken through a memoryview,
// so that every exporter's refusal is the same BufferError.
class ByteView {
    Ref memory_;
    Py_buffer view_{};

public:
    ByteView() = default;
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;
    ~ByteView() { PyBuffer_Release(&view_); }  // nothing to release after a failed export
    bool get(PyObject* o) {
        memory_ = Ref(PyMemoryView_FromObject(o));
        if (!memory_ || PyObject_GetBuffer(memory_.get(), &view_, PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) return false;
        if (view_.ndim != 1) {
            PyErr_Format(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", 1, view_.ndim);
            return false;
        }
        const char* f = view_.format ? view_.format : "B";
        if (*f && std::strchr("@=<>!", *f)) ++f;
        if (std::strcmp(f, "B") != 0) {
            PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got '%s'", "'", "unsigned char", "'", item_name(f));
            return false;
        }
        return true;
    }
    // Address of element 0: an empty view has none.
    uint8_t* first() const {
        if (view_.len > 0) return (uint8_t*)view_.buf;
        PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
        return nullptr;
    }
    size_t size() const { return (size_t)view_.len; }
};

// --------------------------------------------------------------- pickling

KELO_METHOD(refuse_pickle) {
    (void)self, (void)args, (void)nargs, (void)kwnames;
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}
#define KELO_NO_PICKLE {"__reduce__", KELO_FASTCALL(::kelo::refuse_pickle), nullptr}, {"__setstate__", KELO_FASTCALL(::kelo::refuse_pickle), nullptr}
#define KELO_END {nullptr, nullptr, 0, nullptr}

// --------------------------------------------------- functional object base

// Checks that `o` is an instance of `type` or None.
inline bool typed_or_none(PyObject* o, PyTypeObject* type) {
    if (o == Py_None || PyObject_TypeCheck(o, type)) return true;
    PyErr_Format(PyExc_TypeError, "Cannot convert %.200s to %.200s", Py_TYPE(o)->tp_name, type->tp_name);
    return false;
}

// Constructor contract: one argument `ctx`, a _Context or None.
inline PyObject* unit_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"ctx", nullptr};
    PyObject* ctx;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:__cinit__", (char**)kwlist, &ctx) || !typed_or_none(ctx, g.context_type))
        return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self) ((Unit*)self)->context = Ref::borrow(ctx).release();
    return self;
}

inline int unit_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(((Unit*)self)->context);
    return 0;
}

inline int unit_clear(PyObject* self) {
    Py_INCREF(Py_None);
    Py_XSETREF(((Unit*)self)->context, Py_None);
    return 0;
}

inline void unit_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Py_CLEAR(((Unit*)self)->context);
    type->tp_free(self);
    Py_DECREF(type);
}

// Slots of a functional class with no state beyond its context.
#define KELO_UNIT_SLOTS(methods, doc)                                                                       \
    {Py_tp_new, (void*)::kelo::unit_new}, {Py_tp_dealloc, (void*)::kelo::unit_dealloc},                   \
        {Py_tp_traverse, (void*)::kelo::unit_traverse}, {Py_tp_clear, (void*)::kelo::unit_clear},         \
        {Py_tp_methods, (void*)(methods)}, {Py_tp_doc, (void*)PyDoc_STR(doc)}, {0, nullptr}

#define KELO_TYPE_FLAGS (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC)

// Creates a class from its spec and publishes it under its short name.
inline PyTypeObject* add_type(PyObject* module, PyType_Spec* spec) {
    PyObject* type = PyType_FromModuleAndSpec(module, spec, nullptr);
    if (!type) return nullptr;
    if (PyModule_AddType(module, (PyTypeObject*)type) < 0) {
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(type);  // the module keeps it
    return (PyTypeObject*)type;
}

// ------------------------------------------------------ import-time binding

// Imports a type object and checks its instance size against the layout
// this module was built with: smaller fails the import, larger warns.
inline PyTypeObject* import_type(const char* module, const char* name, Py_ssize_t size) {
    Ref mod(PyImport_ImportModule(module));
    if (!mod) return nullptr;
    Ref obj(PyObject_GetAttrString(mod.get(), name));
    if (!obj) return nullptr;
    if (!PyType_Check(obj.get())) {
        PyErr_Format(PyExc_TypeError, "%.200s.%.200s is not a type object", module, name);
        return nullptr;
    }
    auto* type = (PyTypeObject*)obj.get();
    if (type->tp_basicsize < size) {
        PyErr_Format(PyExc_ValueError,
                     "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                     module, name, size, type->tp_basicsize);
        return nullptr;
    }
    if (type->tp_basicsize > size &&
        PyErr_WarnFormat(nullptr, 0, "%.200s.%.200s size changed, may indicate binary incompatibility. Expected %zd from C header, got %zd from PyObject",
                         module, name, size, type->tp_basicsize) < 0)
        return nullptr;
    return (PyTypeObject*)obj.release();  // held by this module for good
}

// Binds the module to kelosdk.context: the _Context type.
inline bool bind_context() {
    return (g.context_type = import_type("kelosdk.context", "_Context", sizeof(ContextObject))) != nullptr;
}

// Binds the module to kelosdk.errors: the exception types, then the module
// attribute `errors`.
inline bool bind_errors(PyObject* module) {
    static const char* names[ExcCount] = {"KeloSdkInternalException", "KeloSdkInvalidOperationError", "KeloSdkInvalidArgumentError",
                                          "KeloSdkNoMemoryException", "KeloSdkPointerException", "KeloSdkRegbusException", "KeloSdkError"};
    for (int i = 0; i < ExcCount; ++i)
        if (!(g.exc[i] = (PyObject*)import_type("kelosdk.errors", names[i], sizeof(PyBaseExceptionObject)))) return false;
    Ref errors(PyImport_ImportModule("kelosdk.errors"));
    return errors && PyModule_AddObjectRef(module, "errors", errors.get()) == 0;
}

inline bool bind_core(PyObject* module) { return bind_context() && bind_errors(module); }

// Runs Python source as module-level statements of this module.
inline bool run_statements(PyObject* module, const char* source) {
    PyObject* dict = PyModule_GetDict(module);
    Ref code(Py_CompileString(source, PyModule_GetName(module), Py_file_input));
    Ref r(code ? PyEval_EvalCode(code.get(), dict, dict) : nullptr);
    return (bool)r;
}

// Refuses a second initialisation of the module in the same process.
inline bool first_init(PyObject* module, const char* short_name) {
    if (g.module) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.", short_name);
        return false;
    }
    g.module = module;
    g.interp = PyInterpreterState_Get();
    return true;
}

// ---------------------------------------------------------- callback lock

// The lock for a trampoline on any thread. A native thread that Python has
// never seen gets one thread state, kept for the thread's life, instead of a
// new one per call. After the exit guard has run, ok() is false and the
// trampoline drops its item instead of waiting for a lock it never gets.
struct NativeThread {
    PyThreadState* ts = nullptr;
    ~NativeThread() {
        if (!ts) return;
        g.inflight.fetch_add(1);
        if (!g.closing.load() && !finalizing()) {
            PyEval_RestoreThread(ts);
            PyThreadState_Clear(ts);
            PyThreadState_DeleteCurrent();
        }  // else the interpreter frees it when it finalizes
        g.inflight.fetch_sub(1);
    }
};
inline thread_local NativeThread t_native;

class CallbackLock {
    enum { None, Own, Ensured } mode_ = None;
    PyGILState_STATE st_{};

public:
    CallbackLock() {
        g.inflight.fetch_add(1);
        if (g.closing.load() || finalizing()) {
            g.inflight.fetch_sub(1);
            return;
        }
        if (!t_native.ts && g.keep_thread_states.load(std::memory_order_relaxed) && !PyGILState_GetThisThreadState())
            t_native.ts = PyThreadState_New(g.interp);
        if (t_native.ts && PyGILState_GetThisThreadState() == t_native.ts && !PyGILState_Check()) {
            PyEval_RestoreThread(t_native.ts);
            mode_ = Own;
        } else {
            st_ = PyGILState_Ensure();
            mode_ = Ensured;
        }
    }
    ~CallbackLock() {
        if (mode_ == Own)
            PyEval_SaveThread();
        else if (mode_ == Ensured)
            PyGILState_Release(st_);
        if (mode_ != None) g.inflight.fetch_sub(1);
    }
    CallbackLock(const CallbackLock&) = delete;
    CallbackLock& operator=(const CallbackLock&) = delete;
    bool ok() const { return mode_ != None; }
};

// At exit, before the interpreter finalizes: close the door to trampolines
// and let those already in finish, with the lock released so they can.
inline PyObject* exit_guard(PyObject*, PyObject*) {
    g.closing.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (g.inflight.load() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

inline bool register_exit_guard(PyObject* module) {
    static PyMethodDef def = {"_exit_guard", (PyCFunction)exit_guard, METH_NOARGS, nullptr};
    Ref fn(PyCFunction_NewEx(&def, nullptr, module));
    Ref atexit(PyImport_ImportModule("atexit"));
    Ref r(fn && atexit ? PyObject_CallMethod(atexit.get(), "register", "O", fn.get()) : nullptr);
    return (bool)r;
}

// A callback record for `callable`, owned by the _Context `context`.
inline PyRef* new_record(PyObject* context, PyObject* callable) {
    auto* ctx = (ContextObject*)context;
    auto* rec = new (std::nothrow) PyRef{nullptr};
    if (!rec) {
        PyErr_NoMemory();
        return nullptr;
    }
    try {
        if (!ctx->records) ctx->records = new std::vector<PyRef*>();
        ctx->records->push_back(rec);
    } catch (...) {
        delete rec;
        PyErr_NoMemory();
        return nullptr;
    }
    rec->obj = Ref::borrow(callable).release();
    return rec;
}

inline void release_record(PyRef* rec) {
    if (rec) Py_CLEAR(rec->obj);
}

}  // namespace kelo

#if PY_VERSION_HEX >= 0x030C0000
#define KELO_MODULE_EXTRA_SLOTS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KELO_MODULE_EXTRA_SLOTS
#endif

// Module definition with multi-phase initialisation; exec_fn fills the module.
#define KELO_MODULE(name, exec_fn, methods, doc)                                                                 \
    static PyModuleDef_Slot module_slots[] = {{Py_mod_exec, (void*)(exec_fn)}, KELO_MODULE_EXTRA_SLOTS{0, nullptr}}; \
    static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "kelosdk." #name, PyDoc_STR(doc), 0, methods,            \
                                     module_slots, nullptr, nullptr, nullptr};                                      \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&module_def); }
