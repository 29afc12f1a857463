// kelosdk.acquisition: channels, acquisition control and data delivery.
#include "units.hpp"

#include <numpy/arrayobject.h>

#include <string_view>

namespace {
using namespace kelo;

PyTypeObject* chip_type;

// ------------------------------------------------------------- constants

// Element types of the arrays handed to callables, built once at import.
enum Type { U8, U16, U32, U64, ToaTot, ItotEvent, Binned, BinDescr, TypeCount };
const uint64_t item_size[TypeCount] = {1, 2, 4, 8, sizeof(toa_tot_struct), sizeof(itot_event_struct), sizeof(binned_dd_toa_tot_struct),
                                       sizeof(binning_metadata_struct)};
PyArray_Descr* types[TypeCount];
PyObject *s_np, *s_empty, *s_shutterStart, *s_tdcs, *s_register, *zero, *raw_kwnames;

bool make_constants() {
    const int numbers[] = {NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINT64};
    for (int t = U8; t <= U64; ++t) types[t] = PyArray_DescrFromType(numbers[t - U8]);
    // Packed records: list-of-fields dtypes have no padding.
    Ref records[] = {
        Ref(Py_BuildValue("[(ss)(ss)(ss)]", "address", "u4", "tot", "u4", "toa", "u8")),
        Ref(Py_BuildValue("[(ss)(ss)(ss)]", "address", "u4", "itot", "u4", "event", "u8")),
        Ref(Py_BuildValue("[(ss)(ss)(ss)]", "address", "u4", "count", "u4", "itot", "u4")),
        Ref(Py_BuildValue("[(ss)(ss)]", "offset", "u4", "packet_count", "u4")),
    };
    for (int t = ToaTot; t < TypeCount; ++t)
        if (!records[t - ToaTot] || !PyArray_DescrConverter(records[t - ToaTot].get(), &types[t])) return false;
    s_np = PyUnicode_InternFromString("np");
    s_empty = PyUnicode_InternFromString("empty");
    s_shutterStart = PyUnicode_InternFromString("shutterStart");
    s_tdcs = PyUnicode_InternFromString("tdcs");
    s_register = PyUnicode_InternFromString("_Acquisition__setDataCallback");
    zero = PyLong_FromLong(0);
    raw_kwnames = Py_BuildValue("(s)", "raw");
    return s_np && s_empty && s_shutterStart && s_tdcs && s_register && zero && raw_kwnames;
}

// --------------------------------------------------------------- arrays

// Library memory to hand over: `n` elements of type `t` at `p`.
struct Arr {
    Type t;
    uint64_t n = 0;
    const void* p = nullptr;
};

// Delivery metadata of the data-driven modes.
struct Meta {
    uint64_t shutter = 0;
    Arr tdc[3] = {{U64}, {U64}, {U64}};
};

// `np` as the module global it is, looked up when it is needed.
PyObject* numpy_module() {
    PyObject* np = PyDict_GetItemWithError(PyModule_GetDict(g.module), s_np);
    if (!np && !PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name 'np' is not defined");
    return Ref::borrow(np).release();
}

// A view of the library's buffer: no copy, no ownership, writable; already
// the plain ndarray that np.asarray would hand back. Nothing to show (no
// elements or no buffer) gives np.empty(0), whatever the element type.
PyObject* make(const Arr& a) {
    if (!a.n || !a.p) {
        Ref np(numpy_module());
        return np ? PyObject_CallMethodOneArg(np.get(), s_empty, zero) : nullptr;
    }
    if (a.n > (uint64_t)NPY_MAX_INTP / item_size[a.t]) {
        PyErr_Format(PyExc_OverflowError, "a delivery of %llu elements is too large", (unsigned long long)a.n);
        return nullptr;
    }
    npy_intp dim = (npy_intp)a.n;
    Py_INCREF(types[a.t]);  // stolen by the array
    return PyArray_NewFromDescr(&PyArray_Type, types[a.t], 1, &dim, nullptr, const_cast<void*>(a.p), NPY_ARRAY_CARRAY, nullptr);
}

PyObject* make(const Meta& m) {
    Ref dict(PyDict_New()), start(PyLong_FromUnsignedLongLong(m.shutter)), tdcs(PyList_New(0));
    if (!dict || !start || !tdcs || PyDict_SetItem(dict.get(), s_shutterStart, start.get()) < 0 ||
        PyDict_SetItem(dict.get(), s_tdcs, tdcs.get()) < 0)
        return nullptr;
    for (const Arr& t : m.tdc) {
        Ref a(make(t));
        if (!a || PyList_Append(tdcs.get(), a.get()) < 0) return nullptr;
    }
    return dict.release();
}

// -------------------------------------------------------------- handlers

// One delivery: getters without the lock, then the callable with it. Every
// exception that ends the delivery is reported under the handler's name and
// cleared, so no Python thread ever sees it.
class Delivery {
    kelo_acq_t* acq_;
    const char* where_;

    // Pointer getters declare their out-parameter typed, or untyped as the
    // address of a pointer.
    int pointer(int (*fn)(kelo_acq_t*, void*), const void** out) { return fn(acq_, out); }
    template <class T>
    int pointer(int (*fn)(kelo_acq_t*, const T**), const void** out) {
        const T* p = nullptr;
        int status = fn(acq_, &p);
        *out = p;
        return status;
    }

public:
    Delivery(kelo_acq_t* acq, const char* where) : acq_(acq), where_(where) {}

    // A getter's status; any failure drops the delivery.
    bool ok(int status) {
        if (status >= 0) return true;
        CallbackLock lock;
        if (lock.ok()) {
            const char* msg = "";
            kelo_acq_get_last_error(acq_, &msg);
            raise_status(status, msg);
            unraisable(where_);
        }
        return false;
    }

    template <class Data>
    bool ptr(Arr& a, Data data) {
        return ok(pointer(data, &a.p));
    }

    template <class Count, class Data>
    bool get(Arr& a, Count count, Data data) {
        return ok(count(acq_, &a.n)) && ptr(a, data);
    }

    bool get(Meta& m) {
        if (!ok(kelo_acq_meta_get_shutter_rising_time_ticks(acq_, &m.shutter))) return false;
        for (int i = 0; i < 3; ++i) {
            const uint64_t* p = nullptr;
            if (!ok(kelo_acq_meta_get_tdc_toas_count(acq_, i, &m.tdc[i].n)) || !ok(kelo_acq_meta_get_tdc_toas(acq_, i, &p))) return false;
            m.tdc[i].p = p;
        }
        return true;
    }

    // The call phase: arguments built in order, then f(*arguments).
    template <class... S>
    void call(void* userdata, const S&... spec) {
        CallbackLock lock;
        if (!lock.ok()) return;
        Ref fn = Ref::borrow(static_cast<PyRef*>(userdata)->obj);
        if (!fn) return;  // released: finalize() ran, or a later registration replaced it
        Ref args[sizeof...(S)];
        PyObject* argv[sizeof...(S) + 1];
        size_t i = 0;
        auto put = [&](const auto& s) {
            args[i] = Ref(make(s));
            argv[i + 1] = args[i].get();
            return (bool)args[i++];
        };
        if ((put(spec) && ...) && Ref(PyObject_Vectorcall(fn.get(), argv + 1, sizeof...(S) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)))
            return;
        unraisable(where_);
    }

    // Data-driven modes add the metadata after the data.
    template <bool dd, class... S>
    void call_with_meta(void* userdata, const S&... spec) {
        if constexpr (dd) {
            Meta m;
            if (get(m)) call(userdata, spec..., m);
        } else {
            call(userdata, spec...);
        }
    }
};

#define KELO_WHERE(name) "kelosdk.acquisition." name

// Packet form: one array of records.
template <Name where, Type t, bool dd>
void packets_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, where.s);
    Arr data{t};
    if (d.get(data, kelo_acq_tpx3_get_packet_count, kelo_acq_tpx3_get_packets)) d.call_with_meta<dd>(userdata, data);
}

// Vector form: addresses and two more arrays of one length.
template <Name where, auto second, Type t2, auto third, Type t3, bool dd>
void vectors_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, where.s);
    uint64_t n = 0;
    Arr addresses{U32}, b{t2}, c{t3};
    if (!d.ok(kelo_acq_tpx3_get_vec_length(acq, &n)) || !d.ptr(addresses, kelo_acq_tpx3_get_pixel_address_vec) || !d.ptr(b, second) ||
        !d.ptr(c, third))
        return;
    addresses.n = b.n = c.n = n;
    d.call_with_meta<dd>(userdata, addresses, b, c);
}

// Per-bin sums: one array of unsigned 64-bit values.
template <Name where, auto count, auto data>
void sums_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, where.s);
    Arr sums{U64};
    if (d.get(sums, count, data)) d.call(userdata, sums);
}

void binned_packets_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, KELO_WHERE("binned_packets_cb"));
    Arr packets{Binned}, bins{BinDescr}, hits{U64}, itots{U64};
    if (d.get(packets, kelo_acq_tpx3_get_packet_count, kelo_acq_tpx3_get_packets) &&
        d.get(bins, kelo_acq_meta_get_bin_descriptor_count, kelo_acq_meta_get_bin_descriptors) &&
        d.get(hits, kelo_acq_tpx3_get_binned_hitcounters_count, kelo_acq_tpx3_get_binned_hitcounters) &&
        d.get(itots, kelo_acq_tpx3_get_binned_itots_count, kelo_acq_tpx3_get_binned_itots))
        d.call(userdata, packets, bins, hits, itots);
}

void tpx1_medipix_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, KELO_WHERE("tpx1_medipix_cb"));
    Arr frames{U16};
    if (!d.get(frames, kelo_acq_tpx_get_frame_count, kelo_acq_tpx_get_frames)) return;
    // 65536 values a frame; a count past the range fails the size check.
    frames.n = frames.n > UINT64_MAX >> 16 ? UINT64_MAX : frames.n << 16;
    d.call(userdata, frames);
}

void raw_data_cb(kelo_acq_t* acq, void* userdata) {
    Delivery d(acq, KELO_WHERE("raw_data_cb"));
    Arr data{U8};
    if (d.ok(kelo_acq_raw_get_data(acq, &data.p, &data.n))) d.call(userdata, data);
}

const auto dd_toatot_data_cb = packets_cb<KELO_WHERE("dd_toatot_data_cb"), ToaTot, true>;

// The mode table: mode identifier to handler.
const struct {
    std::string_view key;
    kelo_acq_data_func handler;
} modes[] = {
    {"0:tpx3-seq-toa-tot", packets_cb<KELO_WHERE("seq_toatot_data_cb"), ToaTot, false>},
    {"0:tpx3-seq-toa-tot-vec",
     vectors_cb<KELO_WHERE("seq_toatot_vec_data_cb"), kelo_acq_tpx3_get_toa_vec, U32, kelo_acq_tpx3_get_tot_vec, U16, false>},
    {"0:tpx3-seq-itot-event", packets_cb<KELO_WHERE("seq_eventitot_data_cb"), ItotEvent, false>},
    {"0:tpx3-seq-itot-event-vec",
     vectors_cb<KELO_WHERE("seq_eventitot_vec_data_cb"), kelo_acq_tpx3_get_event_vec, U16, kelo_acq_tpx3_get_itot_vec, U16, false>},
    {"0:tpx3-dd-toa-tot-vec",
     vectors_cb<KELO_WHERE("dd_toatot_vec_data_cb"), kelo_acq_tpx3_get_toa_vec, U64, kelo_acq_tpx3_get_tot_vec, U16, true>},
    {"0:tpx3-dd-toa-tot", dd_toatot_data_cb},
    {"0:tpx-medipix", tpx1_medipix_cb},
    {"0:raw-data", raw_data_cb},
    {"0:tpx3-sorted-dd-toa-tot", dd_toatot_data_cb},
    {"0:tpx3-binned-packets", binned_packets_cb},
    {"0:tpx3-binned-count-sums",
     sums_cb<KELO_WHERE("binned_count_sums_cb"), kelo_acq_tpx3_get_binned_hitcounters_count, kelo_acq_tpx3_get_binned_hitcounters>},
    {"0:tpx3-binned-itot-sums",
     sums_cb<KELO_WHERE("binned_itot_sums_cb"), kelo_acq_tpx3_get_binned_itots_count, kelo_acq_tpx3_get_binned_itots>},
};

kelo_acq_data_func handler_for(std::string_view key) {
    for (auto& m : modes)
        if (m.key == key) return m.handler;
    return nullptr;
}

// --------------------------------------------------------------- methods

// begin, abort, end: a failure pauses 0.1 s (through the module's `time`)
// before the last error is fetched.
template <Name fname, int (*fn)(kelo_ctx_t*, const char*)>
KELO_METHOD(control) {
    PyObject* a[1];
    Text channel;
    kelo_ctx_t* h;
    if (!KELO_ARGS.parse(fname.s, {"channelId"}, a) || !channel.set(a[0], Text::Utf8) || !handle(self, &h)) return nullptr;
    int status = invoke(fn, h, channel.c_str());
    if (status < 0) {
        Ref time(global("time"));
        if (!time || !Ref(PyObject_CallMethod(time.get(), "sleep", "d", 0.1))) return nullptr;
    }
    if (!check(h, status)) return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(set_data_callback) {
    PyObject* a[3];
    kelo_ctx_t* h;
    if (!KELO_ARGS.parse("_Acquisition__setDataCallback", {"channelId", "func", "raw"}, a, 2) || !handle(self, &h)) return nullptr;
    auto* acq = (AcquisitionObject*)self;
    // The library gets the record, which outlives every delivery; the
    // callable goes when it is released.
    PyRef* rec = new_record(acq->context, a[1]);
    if (!rec) return nullptr;
    // An earlier attempt that no channel took was never the library's.
    if (acq->data_func_ref && !acq->channels->holds(acq->data_func_ref)) release_record(acq->data_func_ref);
    acq->data_func_ref = rec;
    Text channel;
    if (!channel.set(a[0], Text::Utf8)) return nullptr;
    PyObject* chip = acq->chip;
    if (chip == Py_None) return raise(InvalidOperation, "this acquisition object has no chip");
    if (((ChipObject*)chip)->context == Py_None) return raise(InvalidOperation, "the chip has no library context");
    const char* selected = ((ChipObject*)chip)->mode;
    std::string_view mode(selected, strnlen(selected, kModeSize));
    Ref text(PyUnicode_DecodeUTF8(mode.data(), (Py_ssize_t)mode.size(), "strict"));
    Ref ids(text ? PyObject_CallMethod(chip, "getModeIds", nullptr) : nullptr);
    int listed = ids ? PySequence_Contains(ids.get(), text.get()) : -1;
    if (listed < 0) return nullptr;
    kelo_acq_data_func handler = listed ? handler_for(a[2] == Py_True ? "0:raw-data" : mode) : nullptr;
    if (!handler) {
        raise_status(-2, (std::string(mode) + " is not supported!").c_str());
        return nullptr;
    }
    if (!check(h, invoke(kelo_acq_set_data_callback, h, channel.c_str(), handler, (void*)rec))) return nullptr;
    try {
        acq->channels->replace(channel.c_str(), rec);  // releases the callable it replaces
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    Py_RETURN_NONE;
}

// setDataCallback and setRawDataCallback: the private method with `raw`.
template <Name fname, bool raw>
KELO_METHOD(set_callback) {
    PyObject* a[2];
    if (!KELO_ARGS.parse(fname.s, {"channelId", "func"}, a)) return nullptr;
    PyObject* argv[] = {self, a[0], a[1], raw ? Py_True : Py_False};
    if (!Ref(PyObject_VectorcallMethod(s_register, argv, 3, raw_kwnames))) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    KELO_DEF("getChannelIds", (ids_method<"getChannelIds", "_Acquisition__getChannelCount", "_Acquisition__getChannelId">),
             "getChannelIds()\n\nReturns the identifiers of all acquisition channels."),
    KELO_DEF("_Acquisition__getChannelCount", (count_method<"_Acquisition__getChannelCount", kelo_acq_ch_count>),
             "Returns the number of acquisition channels."),
    KELO_DEF("_Acquisition__getChannelId", (id_method<"_Acquisition__getChannelId", "channelIdx", kelo_acq_ch_id>),
             "Returns the identifier of the channel with index channelIdx."),
    KELO_DEF("begin", (control<"begin", kelo_acq_begin>), "begin(channelId)\n\nStarts an acquisition on the channel and returns."),
    KELO_DEF("abort", (control<"abort", kelo_acq_abort>), "abort(channelId)\n\nAborts the acquisition on the channel."),
    KELO_DEF("end", (control<"end", kelo_acq_end>),
             "end(channelId)\n\nWaits until the acquisition begun on the channel has finished; data is delivered meanwhile."),
    KELO_DEF("setDataCallback", (set_callback<"setDataCallback", false>),
             "setDataCallback(channelId, func)\n\nRegisters func (an AcqDataCallback) for the data of the channel, in the form of\n"
             "the acquisition mode selected on the chip now. The arrays it receives are views of the\n"
             "library's buffers, valid only while it runs: copy what you keep."),
    KELO_DEF("setRawDataCallback", (set_callback<"setRawDataCallback", true>),
             "setRawDataCallback(channelId, func)\n\nRegisters func (an AcqDataCallback) for the raw data of the channel, as bytes."),
    KELO_DEF("_Acquisition__setDataCallback", set_data_callback,
             "_Acquisition__setDataCallback(channelId, func, raw=False)\n\nRegisters func (an AcqDataCallback) for the channel.\n"
             "raw: True if raw data should be retrieved, False otherwise."),
    KELO_NO_PICKLE,
    KELO_END,
};

// --------------------------------------------------------------- object

PyObject* acq_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kwlist[] = {"ctx", "chip", nullptr};
    PyObject *ctx, *chip;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO:__cinit__", (char**)kwlist, &ctx, &chip) || !typed_or_none(ctx, g.context_type) ||
        !typed_or_none(chip, chip_type))
        return nullptr;
    auto* self = (AcquisitionObject*)type->tp_alloc(type, 0);
    if (!self) return nullptr;
    self->context = Ref::borrow(ctx).release();
    self->chip = Ref::borrow(chip).release();
    self->channels = new (std::nothrow) RecordMap();
    if (!self->channels) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return (PyObject*)self;
}

int acq_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(((AcquisitionObject*)self)->chip);
    return unit_traverse(self, visit, arg);
}

int acq_clear(PyObject* self) {
    Py_INCREF(Py_None);
    Py_XSETREF(((AcquisitionObject*)self)->chip, Py_None);
    return unit_clear(self);
}

void acq_dealloc(PyObject* self) {
    auto* acq = (AcquisitionObject*)self;
    PyObject_GC_UnTrack(self);
    delete std::exchange(acq->channels, nullptr);  // the records stay with the context
    Py_CLEAR(acq->chip);
    unit_dealloc(self);
}

PyType_Slot slots[] = {
    {Py_tp_new, (void*)acq_new},
    {Py_tp_dealloc, (void*)acq_dealloc},
    {Py_tp_traverse, (void*)acq_traverse},
    {Py_tp_clear, (void*)acq_clear},
    {Py_tp_methods, (void*)methods},
    {Py_tp_doc, (void*)PyDoc_STR("Acquisitions of the device.\n\nReach it through a Device; not meant to be created directly.")},
    {0, nullptr},
};
PyType_Spec spec = {"kelosdk.acquisition.__Acquisition", sizeof(AcquisitionObject), 0, KELO_TYPE_FLAGS, slots};

// ----------------------------------------------------------------- module

// Whether a library thread keeps one thread state for all its deliveries
// (the default) or gets a new one per delivery; for measurements.
KELO_METHOD(keep_thread_states) {
    PyObject* a[1];
    if (!KELO_ARGS.parse("_keepThreadStates", {"keep"}, a)) return nullptr;
    int keep = PyObject_IsTrue(a[0]);
    if (keep < 0) return nullptr;
    return PyBool_FromLong(g.keep_thread_states.exchange(keep != 0));
}

PyMethodDef module_methods[] = {
    KELO_DEF("_keepThreadStates", keep_thread_states,
             "_keepThreadStates(keep)\n\nKeep one thread state per library thread (True) or make one per delivery (False).\n"
             "Returns the previous setting."),
    KELO_END,
};

int exec(PyObject* module) {
    // __Acquisition is published before chip is imported, which imports it back.
    if (!first_init(module, "acquisition") || !add_type(module, &spec) || !bind_context() ||
        !(chip_type = import_type("kelosdk.chip", "__Chip", sizeof(ChipObject))) || !bind_errors(module))
        return -1;
    if (!run_statements(module, "import time\nimport numpy as np\n") || PyArray_ImportNumPyAPI() < 0 || !make_constants() ||
        !register_exit_guard(module))
        return -1;
    return 0;
}
}  // namespace

KELO_MODULE(acquisition, exec, module_methods, "Acquisitions and data delivery.")
