// kelosdk.configuration: configuration documents and the pixel mask.
#include "core.hpp"

#include <numpy/arrayobject.h>

namespace {
using namespace kelo;

// self.getMaskSize() and its width and height, as Python ints.
bool mask_size(PyObject* self, Ref& width, Ref& height) {
    Ref size(PyObject_CallMethod(self, "getMaskSize", nullptr));
    if (!size) return false;
    width = Ref(PyObject_GetAttrString(size.get(), "width"));
    height = width ? Ref(PyObject_GetAttrString(size.get(), "height")) : Ref();
    return (bool)height;
}

KELO_METHOD(load) {
    PyObject* a[2];
    Text type, content;
    if (!KELO_ARGS.parse("load", {"configType", "content"}, a) || !type.set(a[0], Text::Utf8) || !content.set(a[1], Text::Utf8) ||
        !call(self, kelo_load_configuration, type.c_str(), content.c_str()))
        return nullptr;
    Py_RETURN_NONE;
}

KELO_METHOD(get_mask_size) {
    pixel_mask_size size{0, 0};  // a failure never returns what the library left unset
    if (!KELO_ARGS.none("getMaskSize") || !call(self, kelo_get_pixel_mask_size, &size)) return nullptr;
    return record("PixelMaskDimensions", PyLong_FromSize_t(size.width), PyLong_FromSize_t(size.height));
}

KELO_METHOD(get_mask) {
    Ref width, height;
    if (!KELO_ARGS.none("getMask") || !mask_size(self, width, height)) return nullptr;
    Ref expected(PyNumber_Multiply(width.get(), height.get()));
    if (!expected) return nullptr;
    npy_intp len = PyLong_AsSsize_t(expected.get());
    if (len == -1 && PyErr_Occurred()) return nullptr;
    Ref zeros(PyArray_ZEROS(1, &len, NPY_UINT8, 0));
    ByteView b;
    uint8_t* data;
    if (!zeros || !b.get(zeros.get()) || !(data = b.first())) return nullptr;
    pixel_mask mask{data, b.size()};
    size_t retrieved = 0;
    if (!call(self, kelo_get_pixel_mask, &mask, &retrieved)) return nullptr;
    if (retrieved != (size_t)len) {
        PyErr_Format(g.exc[Internal], "Pixel mask real size (== %zu) !=                 expected size (== %S)", retrieved, expected.get());
        return nullptr;
    }
    if (!mask_size(self, width, height)) return nullptr;  // read again, as the shape of the view
    return PyObject_CallMethod(zeros.get(), "reshape", "((OO))", width.get(), height.get());
}

KELO_METHOD(set_mask) {
    PyObject* a[1];
    if (!KELO_ARGS.parse("setMask", {"mask"}, a)) return nullptr;
    Ref flat(PyObject_CallMethod(a[0], "flatten", nullptr));
    ByteView b;
    Ref width, height;
    if (!flat || !b.get(flat.get()) || !mask_size(self, width, height)) return nullptr;
    Ref expected(PyNumber_Multiply(width.get(), height.get()));
    Ref given(expected ? PyLong_FromSize_t(b.size()) : nullptr);
    int same = given ? PyObject_RichCompareBool(expected.get(), given.get(), Py_EQ) : -1;
    if (same < 0) return nullptr;
    if (!same) {
        PyErr_Format(g.exc[Internal], "Provided mask size (== %zu) !=                 expected mask size (== %S)", b.size(), expected.get());
        return nullptr;
    }
    uint8_t* data = b.first();
    pixel_mask mask{data, b.size()};
    if (!data || !call(self, kelo_set_pixel_mask, &mask)) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    KELO_DEF("load", load,
             "load(configType, content)\n\nLoads a configuration document into the device. configType names the kind of\n"
             "document, for example \"xml\" or \"yml\"; content is the whole document as str."),
    KELO_DEF("getMaskSize", get_mask_size, "Returns the size of the pixel mask as PixelMaskDimensions(width, height)."),
    KELO_DEF("getMask", get_mask,
             "Returns the pixel mask as a uint8 array of shape (width, height), indexed [x, y]; nonzero is masked.\n\n"
             "The library exchanges the mask in column-major order: element [x, y] is byte x * height + y."),
    KELO_DEF("setMask", set_mask,
             "setMask(mask)\n\nWrites the pixel mask: a uint8 array of width * height elements, sent in the order of\n"
             "mask.flatten(). For an array of shape (width, height) that is the column-major order getMask() returns."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Configuration documents and the pixel mask.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.configuration.__Configuration", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

const char statements[] = R"(
class PixelMaskDimensions(NamedTuple):
    """Contains dimensions of pixel mask.

    Args:
        width: width of the pixel mask, in pixels
        height: height of the pixel mask, in pixels
    """
    width: "int"
    height: "int"
)";

int exec(PyObject* module) {
    if (!first_init(module, "configuration") || !add_type(module, &spec) || !bind_core(module) ||
        !run_statements(module, "from typing import NamedTuple\nimport numpy as np\n"))
        return -1;
    if (_import_array() < 0) {
        PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
        return -1;
    }
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(configuration, exec, nullptr, "Configuration documents and the pixel mask.")
