// Contexts, last errors, versions, log forwarding, the attached devices,
// opening and closing, enumeration and the opened device's properties.
#include "sim.hpp"

namespace {

struct DeviceInfo {
    std::string connection, product, manufacturer, serial, path;
    unsigned short vid = 0, pid = 0;
    int high = 0, super = 0;
};

std::mutex devices_mutex;
std::vector<DeviceInfo>& devices() {
    static auto* v = new std::vector<DeviceInfo>();
    return *v;
}

DeviceInfo default_device() {
    return {"sim://kelo-0", "Kelo Simulated Readout", "Kelo Instruments", "SIM-000001", "usb-0000:00:14.0-2", 0x2a5e, 0x0103, 1, 1};
}

std::mutex zombies_mutex;
std::vector<kelo_ctx_t*>& zombies() {
    static auto* v = new std::vector<kelo_ctx_t*>();
    return *v;
}

void reset_devices() {
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        devices() = {default_device()};
    }
    std::lock_guard<std::mutex> lock(zombies_mutex);
    for (kelo_ctx_t* ctx : zombies()) delete ctx;
    zombies().clear();
}

std::atomic<int> last_frmt[4] = {-1, -1, -1, -1};

[[maybe_unused]] const int device_part = sim::add_part({"device", reset_devices, nullptr});

// Loads the default model when the library is loaded.
struct Init {
    Init() { reset_devices(); }
} init;

// The opened device of a context, or null.
std::optional<DeviceInfo> opened_device(kelo_ctx_t* ctx) {
    std::string conn;
    {
        std::lock_guard<std::mutex> lock(ctx->m);
        conn = ctx->opened;
    }
    if (conn.empty()) return std::nullopt;
    std::lock_guard<std::mutex> lock(devices_mutex);
    for (auto& d : devices())
        if (d.connection == conn) return d;
    DeviceInfo gone;  // unplugged since it was opened: keep what open() saw
    gone.connection = conn;
    return gone;
}

}  // namespace

struct kelo_enum : sim::Handle {
    DeviceInfo info;
};

extern "C" {

KELO_API kelo_ctx_t* kelo_ctx_new(void) {
    SIM_ENTER((sim::Handle*)nullptr);
    if (sim_entry_.scripted() && sim_entry_.apply() < 0) return nullptr;
    auto* ctx = new kelo_ctx();
    sim::context_born(ctx);
    return ctx;
}

KELO_API int kelo_ctx_delete(kelo_ctx_t* ctx) {
    SIM_ENTER(ctx);
    SIM_NEED(ctx);
    int status = sim_entry_.scripted() ? sim_entry_.apply() : 0;
    sim::context_gone(ctx);
    if (status < 0) {
        // A failed delete leaves the handle readable for its last error;
        // it is freed at the next reset.
        std::lock_guard<std::mutex> lock(zombies_mutex);
        zombies().push_back(ctx);
        return status;
    }
    delete ctx;
    return status;
}

KELO_API int kelo_ctx_get_last_error(kelo_ctx_t* ctx, const char** message) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(message);
    if (!ctx) {
        if (message) *message = "null context";
        return -5;
    }
    ctx->get_error(message);
    return 0;
}

KELO_API void kelo_version(int* major, int* minor, int* patch) {
    SIM_ENTER((sim::Handle*)nullptr);
    if (sim_entry_.scripted()) {
        sim_entry_.apply(major, minor, patch);
        return;
    }
    if (major) *major = KELO_VERSION_MAJOR;
    if (minor) *minor = KELO_VERSION_MINOR;
    if (patch) *patch = KELO_VERSION_PATCH;
}

KELO_API void kelo_log_set_func(kelo_ctx_t* ctx, kelo_log_func func, void* userdata, const kelo_log_frmt* frmt) {
    SIM_ENTER(ctx, (const void*)func, userdata, frmt ? (int64_t)frmt->preamble_ : -1, frmt ? (int64_t)frmt->indentation_ : -1,
              frmt ? (int64_t)frmt->prefix_ : -1, frmt ? (int64_t)frmt->message_ : -1);
    if (sim_entry_.scripted()) {
        sim_entry_.apply();
        return;
    }
    if (!ctx) return;
    {
        std::lock_guard<std::mutex> lock(ctx->m);
        ctx->log = func;
        ctx->log_userdata = userdata;
        if (frmt) ctx->log_frmt = *frmt;  // copied: the caller's record is on its stack
    }
    if (frmt) {
        last_frmt[0] = frmt->preamble_, last_frmt[1] = frmt->indentation_, last_frmt[2] = frmt->prefix_, last_frmt[3] = frmt->message_;
    }
}

KELO_API int kelo_dev_open(kelo_ctx_t* ctx, const char* locator) {
    SIM_ENTER(ctx, locator);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    if (!locator) return sim::fail(ctx, -5, "locator is null");
    std::string conn = locator;
    bool known = false;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        for (auto& d : devices()) known = known || d.connection == conn;
    }
    if (!known) return sim::fail(ctx, -3, "no attached device has the connection string '" + conn + "'");
    std::string already;
    {
        std::lock_guard<std::mutex> lock(ctx->m);
        if (ctx->opened.empty())
            ctx->opened = conn;
        else
            already = ctx->opened;
    }
    if (!already.empty()) return sim::fail(ctx, -2, "a device is already open: '" + already + "'");
    ctx->log_line(Info, "  device " + conn + " opened\n");
    return 0;
}

KELO_API int kelo_dev_close(kelo_ctx_t* ctx) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    std::string conn;
    {
        std::lock_guard<std::mutex> lock(ctx->m);
        conn = std::exchange(ctx->opened, std::string());
    }
    if (conn.empty()) return sim::fail(ctx, -2, "no device is open");
    ctx->log_line(Info, "device " + conn + " closed");
    return 0;
}

KELO_API int kelo_dev_is_opened(kelo_ctx_t* ctx, int* opened) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(opened);
    SIM_NEED(ctx);
    if (!opened) return sim::fail(ctx, -5, "opened is null");
    std::lock_guard<std::mutex> lock(ctx->m);
    *opened = ctx->opened.empty() ? 0 : 1;
    return 0;
}

KELO_API int kelo_dev_enumerate(kelo_ctx_t* ctx, kelo_enum_func func, void* userdata, int* count) {
    SIM_ENTER(ctx, (const void*)func, userdata);
    SIM_SCRIPTED(count);
    SIM_NEED(ctx);
    if (!func) return sim::fail(ctx, -5, "callback is null");
    std::vector<DeviceInfo> list;
    {
        std::lock_guard<std::mutex> lock(devices_mutex);
        list = devices();
    }
    sim::run_callback(sim::native_callbacks(), [&] {
        for (auto& d : list) {
            kelo_enum e;
            e.info = d;
            func(&e, userdata);
        }
    });
    if (count) *count = (int)list.size();
    return 0;
}

#define SIM_ENUM_TEXT(fn, field)                                     \
    KELO_API int fn(kelo_enum_t* e, const char** value) {            \
        SIM_ENTER(e);                                                \
        SIM_SCRIPTED(value);                                         \
        SIM_NEED(e);                                                 \
        if (!value) return sim::fail(e, -5, #field " is null");      \
        *value = e->info.field.c_str();                              \
        return 0;                                                    \
    }
SIM_ENUM_TEXT(kelo_enum_get_connection_string, connection)
SIM_ENUM_TEXT(kelo_enum_get_product, product)
SIM_ENUM_TEXT(kelo_enum_get_manufacturer, manufacturer)
SIM_ENUM_TEXT(kelo_enum_get_serial_number, serial)
SIM_ENUM_TEXT(kelo_enum_usb_get_instance_path, path)

KELO_API int kelo_enum_usb_get_vid_pid(kelo_enum_t* e, unsigned short* vid, unsigned short* pid) {
    SIM_ENTER(e);
    SIM_SCRIPTED(vid, pid);
    SIM_NEED(e);
    if (!vid || !pid) return sim::fail(e, -5, "vid or pid is null");
    *vid = e->info.vid, *pid = e->info.pid;
    return 0;
}

KELO_API int kelo_enum_usb_is_high_speed(kelo_enum_t* e, int* flag) {
    SIM_ENTER(e);
    SIM_SCRIPTED(flag);
    SIM_NEED(e);
    if (!flag) return sim::fail(e, -5, "flag is null");
    *flag = e->info.high;
    return 0;
}

KELO_API int kelo_enum_usb_is_super_speed(kelo_enum_t* e, int* flag) {
    SIM_ENTER(e);
    SIM_SCRIPTED(flag);
    SIM_NEED(e);
    if (!flag) return sim::fail(e, -5, "flag is null");
    *flag = e->info.super;
    return 0;
}

KELO_API int kelo_enum_get_last_error(kelo_enum_t* e, const char** message) {
    SIM_ENTER(e);
    SIM_SCRIPTED(message);
    SIM_NEED(e);
    e->get_error(message);
    return 0;
}

// Properties of the opened device: what enumeration reported for it.
#define SIM_PROP_TEXT(fn, field)                                            \
    KELO_API int fn(kelo_ctx_t* ctx, const char** value) {                  \
        SIM_ENTER(ctx);                                                     \
        SIM_SCRIPTED(value);                                                \
        SIM_NEED(ctx);                                                      \
        auto d = opened_device(ctx);                                        \
        if (!d) return sim::fail(ctx, -2, "no device is open");             \
        if (!value) return sim::fail(ctx, -5, #field " is null");           \
        thread_local std::string copy;                                      \
        copy = d->field;                                                    \
        *value = copy.c_str();                                              \
        return 0;                                                           \
    }
SIM_PROP_TEXT(kelo_dev_prop_get_manufacturer, manufacturer)
SIM_PROP_TEXT(kelo_dev_prop_get_product, product)
SIM_PROP_TEXT(kelo_dev_prop_get_serial_number, serial)
SIM_PROP_TEXT(kelo_dev_prop_get_connection_string, connection)
SIM_PROP_TEXT(kelo_dev_prop_usb_get_instance_path, path)

KELO_API int kelo_dev_prop_usb_get_vid_pid(kelo_ctx_t* ctx, unsigned short* vid, unsigned short* pid) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(vid, pid);
    SIM_NEED(ctx);
    auto d = opened_device(ctx);
    if (!d) return sim::fail(ctx, -2, "no device is open");
    if (!vid || !pid) return sim::fail(ctx, -5, "vid or pid is null");
    *vid = d->vid, *pid = d->pid;
    return 0;
}

KELO_API int kelo_dev_prop_usb_is_high_speed(kelo_ctx_t* ctx, int* flag) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(flag);
    SIM_NEED(ctx);
    auto d = opened_device(ctx);
    if (!d) return sim::fail(ctx, -2, "no device is open");
    if (!flag) return sim::fail(ctx, -5, "flag is null");
    *flag = d->high;
    return 0;
}

KELO_API int kelo_dev_prop_usb_is_super_speed(kelo_ctx_t* ctx, int* flag) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(flag);
    SIM_NEED(ctx);
    auto d = opened_device(ctx);
    if (!d) return sim::fail(ctx, -2, "no device is open");
    if (!flag) return sim::fail(ctx, -5, "flag is null");
    *flag = d->super;
    return 0;
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_devices_clear(void) {
    std::lock_guard<std::mutex> lock(devices_mutex);
    devices().clear();
}

KELOSIM_API void kelosim_device_add(const char* connection, const char* product, const char* manufacturer, const char* serial,
                                    unsigned vid, unsigned pid, const char* instance_path, int high_speed, int super_speed) {
    auto s = [](const char* p) { return std::string(p ? p : ""); };
    std::lock_guard<std::mutex> lock(devices_mutex);
    devices().push_back({s(connection), s(product), s(manufacturer), s(serial), s(instance_path), (unsigned short)vid,
                         (unsigned short)pid, high_speed, super_speed});
}

KELOSIM_API void kelosim_log_format(int out[4]) {
    for (int i = 0; i < 4; ++i) out[i] = last_frmt[i];
}

}  // extern "C"
