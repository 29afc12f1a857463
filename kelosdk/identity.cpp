// kelosdk.identity: device properties.
#include "core.hpp"

namespace {
using namespace kelo;

template <Name fname, auto fn>
constexpr auto text_method = get_method<fname, fn, value<const char*>>;
// The speed flags as bool, unlike the enumeration record.
template <Name fname, auto fn>
constexpr auto flag_method = get_method<fname, fn, truth>;

PyMethodDef methods[] = {
    KELO_DEF("getManufacturer", (text_method<"getManufacturer", kelo_dev_prop_get_manufacturer>), "Returns the manufacturer of the open device."),
    KELO_DEF("getProduct", (text_method<"getProduct", kelo_dev_prop_get_product>), "Returns the product name of the open device."),
    KELO_DEF("getSerialNumber", (text_method<"getSerialNumber", kelo_dev_prop_get_serial_number>), "Returns the serial number of the open device."),
    KELO_DEF("getConnectionString", (text_method<"getConnectionString", kelo_dev_prop_get_connection_string>),
             "Returns the connection string (locator) of the open device."),
    KELO_DEF("getUsbVidPid", (get_method<"getUsbVidPid", kelo_dev_prop_usb_get_vid_pid, as_record<"VidPid", unsigned short, unsigned short>>), "Returns the USB vendor and product ids of the open device as a VidPid."),
    KELO_DEF("getUsbInstancePath", (text_method<"getUsbInstancePath", kelo_dev_prop_usb_get_instance_path>),
             "Returns the USB instance path of the open device."),
    KELO_DEF("isUsbHighSpeed", (flag_method<"isUsbHighSpeed", kelo_dev_prop_usb_is_high_speed>), "Returns True when the open device runs at USB high speed."),
    KELO_DEF("isUsbSuperSpeed", (flag_method<"isUsbSuperSpeed", kelo_dev_prop_usb_is_super_speed>),
             "Returns True when the open device runs at USB super speed."),
    KELO_NO_PICKLE,
    KELO_END,
};

PyType_Slot slots[] = {KELO_UNIT_SLOTS(methods, "Properties of the opened device.\n\nReach it through a Device; not meant to be created directly.")};
PyType_Spec spec = {"kelosdk.identity.__Identity", sizeof(Unit), 0, KELO_TYPE_FLAGS, slots};

const char statements[] = R"(
from typing import NamedTuple

class VidPid(NamedTuple):
    """USB ids of the device.

    vendorId: the vendor id of the USB device
    productId: the product id of the USB device
    """
    vendorId: "int"
    productId: "int"
)";

int exec(PyObject* module) {
    if (!first_init(module, "identity") || !add_type(module, &spec) || !bind_core(module)) return -1;
    return run_statements(module, statements) ? 0 : -1;
}
}  // namespace

KELO_MODULE(identity, exec, nullptr, "Device properties.")
