// kelosdk.persist: non-volatile memory.
//
// Identifiers go to the library as ASCII and its texts come back as ASCII.
#include "core.hpp"

#include <numpy/arrayobject.h>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_UINT T_UINT
#define Py_T_OBJECT_EX T_OBJECT_EX
#define Py_READONLY READONLY
#endif

namespace {
using namespace kelo;

static_assert(sizeof(unsigned int) == sizeof(uint32_t), "Py_T_UINT members hold the library's uint32_t");

PyTypeObject* sector_type;
PyTypeObject* region_type;
PyTypeObject* memory_type;

// ------------------------------------------------------------- helpers

// A count as range() takes it.
bool as_count(PyObject* o, long* n) {
    if (!o) return false;
    *n = PyLong_AsLong(o);
    return !(*n == -1 && PyErr_Occurred());
}

// Text argument of the memory functions.
bool ascii(Text& t, PyObject* o) { return t.set(o, Text::Ascii); }

// ---------------------------------------------------- layout record classes

struct MemoryObject {
    PyObject_HEAD
    PyObject* context;  // _Context or None: the handle of read and program
    PyObject* id;
    PyObject* part_number;
    PyObject* regions;
};

struct RegionObject {
    PyObject_HEAD
    uint32_t sector_size;
    PyObject* sectors;
};

struct SectorObject {
    PyObject_HEAD
    uint32_t start;
    uint32_t end;
};

// Collector support and destruction of an object holding the references `f`.
template <class T, PyObject* T::*... f>
struct Refs {
    static int traverse(PyObject* self, visitproc visit, void* arg) {
        Py_VISIT(Py_TYPE(self));
        for (PyObject* o : {((T*)self)->*f...}) Py_VISIT(o);
        return 0;
    }
    static void to_none(PyObject*& p) { Py_XSETREF(p, Py_NewRef(Py_None)); }
    static void drop(PyObject*& p) { Py_CLEAR(p); }
    // A cleared object keeps None in its fields, so it stays usable.
    static int clear(PyObject* self) {
        (to_none(((T*)self)->*f), ...);
        return 0;
    }
    static void dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        if (PyType_IS_GC(type)) PyObject_GC_UnTrack(self);
        (drop(((T*)self)->*f), ...);
        type->tp_free(self);
        Py_DECREF(type);
    }
};
using MemoryRefs = Refs<MemoryObject, &MemoryObject::context, &MemoryObject::id, &MemoryObject::part_number, &MemoryObject::regions>;
using RegionRefs = Refs<RegionObject, &RegionObject::sectors>;

// Constructor argument converters (PyArg "O&").
int u32_arg(PyObject* o, void* out) { return to_u32(o, (uint32_t*)out); }
int context_arg(PyObject* o, void* out) { return typed_or_none(o, g.context_type) ? (*(PyObject**)out = o, 1) : 0; }
template <PyTypeObject* type, Name name>
int exact_arg(PyObject* o, void* out) {
    if (o != Py_None && !Py_IS_TYPE(o, type)) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", name.s, Py_TYPE(o)->tp_name);
        return 0;
    }
    *(PyObject**)out = o;
    return 1;
}
constexpr auto str_arg = exact_arg<&PyUnicode_Type, "str">;
constexpr auto list_arg = exact_arg<&PyList_Type, "list">;

PyObject* sector_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kw[] = {"startingAddress", "endingAddress", nullptr};
    uint32_t start, end;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&O&:__cinit__", (char**)kw, u32_arg, &start, u32_arg, &end)) return nullptr;
    auto* self = (SectorObject*)type->tp_alloc(type, 0);
    if (self) self->start = start, self->end = end;
    return (PyObject*)self;
}

PyObject* region_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kw[] = {"sectorSize", "sectors", nullptr};
    uint32_t size;
    PyObject* sectors;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&O&:__cinit__", (char**)kw, u32_arg, &size, list_arg, &sectors)) return nullptr;
    auto* self = (RegionObject*)type->tp_alloc(type, 0);
    if (self) self->sector_size = size, self->sectors = Py_NewRef(sectors);
    return (PyObject*)self;
}

PyObject* memory_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    static const char* kw[] = {"ctx", "id", "partNumber", "regions", nullptr};
    PyObject *ctx, *id, *part, *regions;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O&O&O&O&:__cinit__", (char**)kw, context_arg, &ctx, str_arg, &id, str_arg, &part,
                                     list_arg, &regions))
        return nullptr;
    auto* self = (MemoryObject*)type->tp_alloc(type, 0);
    if (!self) return nullptr;
    self->context = Py_NewRef(ctx), self->id = Py_NewRef(id), self->part_number = Py_NewRef(part), self->regions = Py_NewRef(regions);
    return (PyObject*)self;
}

// ------------------------------------------------------ read and program

// read(startingAddress, dataLen): bytes of exactly dataLen. The buffer is
// zeroed first, so a short read leaves zeros, never stale memory.
KELO_METHOD(memory_read) {
    PyObject* a[2];
    Text id;
    if (!KELO_ARGS.parse("read", {"startingAddress", "dataLen"}, a) || !ascii(id, ((MemoryObject*)self)->id)) return nullptr;
    npy_intp n = PyArray_PyIntAsIntp(a[1]);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    Ref data(PyArray_ZEROS(1, &n, NPY_UINT8, 0));  // NumPy refuses a negative length
    if (!data) return nullptr;
    if (n == 0) return PyErr_Format(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", 0);
    auto* bytes = (uint8_t*)PyArray_DATA((PyArrayObject*)data.get());
    uint32_t address;
    size_t len = (size_t)n;
    if (!to_u32(a[0], &address) || !call(self, kelo_flash_read, id.c_str(), address, bytes, &len)) return nullptr;
    return PyBytes_FromStringAndSize((const char*)bytes, n);
}

KELO_METHOD(memory_program) {
    PyObject* a[2];
    Text id;
    ByteView data;
    uint32_t address;
    if (!KELO_ARGS.parse("program", {"startingAddress", "data"}, a) || !ascii(id, ((MemoryObject*)self)->id) || !data.get(a[1]) || !data.first() ||
        !to_u32(a[0], &address))
        return nullptr;
    size_t len = data.size();
    if (!call(self, kelo_flash_program, id.c_str(), address, data.first(), &len)) return nullptr;
    Py_RETURN_NONE;
}

// ------------------------------------------------------------ __Persist

// (persistId) -> the library's one answer about the memory.
PyObject* result(int v) { return PyLong_FromLong(v); }
PyObject* result(const char* s) { return ascii_str(s); }

template <Name fname, class Out, int (*fn)(kelo_ctx_t*, const char*, Out*)>
KELO_METHOD(memory_query) {
    PyObject* a[1];
    Text id;
    Out out{};  // a count of 0, a null text read as ''
    if (!KELO_ARGS.parse(fname.s, {"persistId"}, a) || !ascii(id, a[0]) || !call(self, fn, id.c_str(), &out)) return nullptr;
    return result(out);
}

// (persistId, regionIdx) -> an int about the region.
template <Name fname, int (*fn)(kelo_ctx_t*, const char*, int, int*)>
KELO_METHOD(region_query) {
    PyObject* a[2];
    Text id;
    int region, out = 0;
    if (!KELO_ARGS.parse(fname.s, {"persistId", "regionIdx"}, a) || !ascii(id, a[0]) || !to_int(a[1], &region) ||
        !call(self, fn, id.c_str(), region, &out))
        return nullptr;
    return PyLong_FromLong(out);
}

KELO_METHOD(get_sector_address_range) {
    PyObject* a[2];
    Text id;
    int sector;
    uint32_t start = 0, end = 0;
    if (!KELO_ARGS.parse("_Persist__getSectorAddressRange", {"persistId", "sectorIdx"}, a) || !ascii(id, a[0]) || !to_int(a[1], &sector) ||
        !call(self, kelo_flash_sector_address_range, id.c_str(), sector, &start, &end))
        return nullptr;
    return Py_BuildValue("(kk)", (unsigned long)start, (unsigned long)end);
}

// Sector(*pair), the pair unpacked into exactly two values.
PyObject* sector_of(PyObject* pair) {
    Ref seq(PySequence_Fast(pair, "cannot unpack a non-iterable address range"));
    if (!seq) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    if (n != 2)
        return PyErr_Format(PyExc_ValueError, n < 2 ? "not enough values to unpack (expected 2, got %zd)" : "too many values to unpack (expected 2)", n);
    return PyObject_Vectorcall((PyObject*)sector_type, PySequence_Fast_ITEMS(seq.get()), 2, nullptr);
}

// The sectors of one region; sector indices count across all regions, from
// sectorOffset.
KELO_METHOD(retrieve_region_sectors) {
    PyObject* a[3];
    long n;
    if (!KELO_ARGS.parse("_Persist__retrieveRegionSectors", {"persistId", "regionIdx", "sectorOffset"}, a)) return nullptr;
    Ref list(PyList_New(0));
    if (!list || !as_count(Ref(call_method(self, "_Persist__getSectorCount", a[0], a[1])).get(), &n)) return nullptr;
    for (long i = 0; i < n; ++i) {
        Ref idx(PyLong_FromLong(i));
        Ref sector_idx(idx ? PyNumber_Add(a[2], idx.get()) : nullptr);
        Ref pair(sector_idx ? call_method(self, "_Persist__getSectorAddressRange", a[0], sector_idx.get()) : nullptr);
        Ref sector(pair ? sector_of(pair.get()) : nullptr);
        if (!sector || PyList_Append(list.get(), sector.get()) < 0) return nullptr;
    }
    return list.release();
}

// The regions in index order; the running sector offset adds each region's
// sector count, asked of the library once more after its sectors.
KELO_METHOD(retrieve_persist_regions) {
    PyObject* a[1];
    long n;
    if (!KELO_ARGS.parse("_Persist__retrievePersistRegions", {"persistId"}, a)) return nullptr;
    Ref list(PyList_New(0));
    Ref offset(PyLong_FromLong(0));
    if (!list || !offset || !as_count(Ref(call_method(self, "_Persist__getRegionCount", a[0])).get(), &n)) return nullptr;
    for (long r = 0; r < n; ++r) {
        Ref idx(PyLong_FromLong(r));
        Ref size(idx ? call_method(self, "_Persist__getSectorSize", a[0], idx.get()) : nullptr);
        Ref sectors(size ? call_method(self, "_Persist__retrieveRegionSectors", a[0], idx.get(), offset.get()) : nullptr);
        if (!sectors) return nullptr;
        PyObject* argv[] = {size.get(), sectors.get()};
        Ref region(PyObject_Vectorcall((PyObject*)region_type, argv, 2, nullptr));
        if (!region || PyList_Append(list.get(), region.get()) < 0) return nullptr;
        Ref count(call_method(self, "_Persist__getSectorCount", a[0], idx.get()));
        if (!count || !(offset = Ref(PyNumber_Add(offset.get(), count.get())))) return nullptr;
    }
    return list.release();
}

// A layout snapshot of one memory; the library keeps no selection.
KELO_METHOD(select_memory) {
    PyObject* a[1];
    if (!KELO_ARGS.parse("selectMemory", {"persistId"}, a)) return nullptr;
    Ref part(call_method(self, "_Persist__getPartNumber", a[0]));
    Ref regions(part ? call_method(self, "_Persist__retrievePersistRegions", a[0]) : nullptr);
    if (!regions) return nullptr;
    PyObject* argv[] = {((Unit*)self)->context, a[0], part.get(), regions.get()};
    return PyObject_Vectorcall((PyObject*)memory_type, argv, 4, nullptr);
}

// ------------------------------------------------------------------ types

PyMethodDef methods[] = {
    KELO_DEF("getIds", (ids_method<"getIds", "_Persist__getCount", "_Persist__getId">), "Returns the identifiers of the non-volatile memories."),
    KELO_DEF("selectMemory", select_memory,
             "selectMemory(persistId)\n\nReturns the layout of the memory as a NonVolatileMemory, through which it is read and programmed."),
    KELO_DEF("_Persist__getCount", (count_method<"_Persist__getCount", kelo_flash_count>), nullptr),
    KELO_DEF("_Persist__getId", (id_method<"_Persist__getId", "persistIdx", kelo_flash_id, ascii_str>), nullptr),
    KELO_DEF("_Persist__getPartNumber", (memory_query<"_Persist__getPartNumber", const char*, kelo_flash_part_nr>), nullptr),
    KELO_DEF("_Persist__getRegionCount", (memory_query<"_Persist__getRegionCount", int, kelo_flash_regions>), nullptr),
    KELO_DEF("_Persist__getSectorCount", (region_query<"_Persist__getSectorCount", kelo_flash_sector_count>), nullptr),
    KELO_DEF("_Persist__getSectorSize", (region_query<"_Persist__getSectorSize", kelo_flash_sector_size>), nullptr),
    KELO_DEF("_Persist__getSectorAddressRange", get_sector_address_range, nullptr),
    KELO_DEF("_Persist__retrievePersistRegions", retrieve_persist_regions, nullptr),
    KELO_DEF("_Persist__retrieveRegionSectors", retrieve_region_sectors, nullptr),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Non-volatile (flash) memories of the device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.persist.__Persist", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

PyMethodDef record_methods[] = {KELO_NO_PICKLE, KELO_END};

PyMemberDef sector_members[] = {
    {"startingAddress", Py_T_UINT, offsetof(SectorObject, start), Py_READONLY, PyDoc_STR("First address of the sector.")},
    {"endingAddress", Py_T_UINT, offsetof(SectorObject, end), Py_READONLY, PyDoc_STR("Last address of the sector, as the library reports it.")},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot sector_slots[] = {
    {Py_tp_new, (void*)sector_new},
    {Py_tp_dealloc, (void*)Refs<SectorObject>::dealloc},
    {Py_tp_members, (void*)sector_members},
    {Py_tp_methods, (void*)record_methods},
    {Py_tp_doc, (void*)PyDoc_STR("Sector(startingAddress, endingAddress)\n\nSector information: its address range.")},
    {0, nullptr},
};
PyType_Spec sector_spec = {"kelosdk.persist.Sector", sizeof(SectorObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, sector_slots};

PyMemberDef region_members[] = {
    {"sectorSize", Py_T_UINT, offsetof(RegionObject, sector_size), Py_READONLY, PyDoc_STR("Size of every sector of the region.")},
    {"sectors", Py_T_OBJECT_EX, offsetof(RegionObject, sectors), Py_READONLY, PyDoc_STR("The sectors (list of Sector), in order.")},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot region_slots[] = {
    {Py_tp_new, (void*)region_new},
    {Py_tp_dealloc, (void*)RegionRefs::dealloc},
    {Py_tp_traverse, (void*)RegionRefs::traverse},
    {Py_tp_clear, (void*)RegionRefs::clear},
    {Py_tp_members, (void*)region_members},
    {Py_tp_methods, (void*)record_methods},
    {Py_tp_doc, (void*)PyDoc_STR("Region(sectorSize, sectors)\n\nRegion information: equally sized sectors.")},
    {0, nullptr},
};
PyType_Spec region_spec = {"kelosdk.persist.Region", sizeof(RegionObject), 0, KELO_TYPE_FLAGS, region_slots};

PyMethodDef memory_methods[] = {
    KELO_DEF("read", memory_read, "read(startingAddress, dataLen)\n\nReads dataLen bytes from the memory, starting at the address; returns bytes."),
    KELO_DEF("program", memory_program,
             "program(startingAddress, data)\n\nPrograms the bytes of data (a writable, one-dimensional buffer of unsigned bytes, such as a "
             "bytearray) into the memory, starting at the address."),
    KELO_NO_PICKLE,
    KELO_END,
};
PyMemberDef memory_members[] = {
    {"id", Py_T_OBJECT_EX, offsetof(MemoryObject, id), Py_READONLY, PyDoc_STR("Identifier of the memory.")},
    {"partNumber", Py_T_OBJECT_EX, offsetof(MemoryObject, part_number), Py_READONLY, PyDoc_STR("Ordering part number of the memory.")},
    {"regions", Py_T_OBJECT_EX, offsetof(MemoryObject, regions), Py_READONLY, PyDoc_STR("The regions (list of Region), in index order.")},
    {nullptr, 0, 0, 0, nullptr},
};
PyType_Slot memory_slots[] = {
    {Py_tp_new, (void*)memory_new},
    {Py_tp_dealloc, (void*)MemoryRefs::dealloc},
    {Py_tp_traverse, (void*)MemoryRefs::traverse},
    {Py_tp_clear, (void*)MemoryRefs::clear},
    {Py_tp_members, (void*)memory_members},
    {Py_tp_methods, (void*)memory_methods},
    {Py_tp_doc, (void*)PyDoc_STR("NonVolatileMemory(ctx, id, partNumber, regions)\n\nNon-volatile memory information: its layout, "
                                 "and reading and programming it. Made by Device.persist.selectMemory().")},
    {0, nullptr},
};
PyType_Spec memory_spec = {"kelosdk.persist.NonVolatileMemory", sizeof(MemoryObject), 0, KELO_TYPE_FLAGS, memory_slots};

int exec(PyObject* module) {
    if (!first_init(module, "persist") || !add_type(module, &spec) || !(sector_type = add_type(module, &sector_spec)) ||
        !(region_type = add_type(module, &region_spec)) || !(memory_type = add_type(module, &memory_spec)) || !bind_core(module))
        return -1;
    return PyArray_ImportNumPyAPI();
}
}  // namespace

KELO_MODULE(persist, exec, nullptr, "Non-volatile memory.")
