// Internals of the simulated device library.
//
// Every interface function starts with SIM_ENTER, which records the call
// (when recording is on), blocks it (when a test asked for that) and takes
// the script armed for it, if any; SIM_SCRIPTED then answers a scripted call
// from the script instead of the simulation.
//
// Rule for every part of the simulation: never call back into the binding
// (log lines, enumeration reports, deliveries, events) while holding a lock
// of the simulation: the callback takes the interpreter lock, and a thread
// holding that may be waiting for the same simulation lock.
#pragma once
#define KELO_BUILDING_LIBRARY 1
#include <kelo/kelo.h>

#include "control.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {

// Anything that keeps a last-error text: contexts and callback handles.
struct Handle {
    std::mutex err_mutex;
    std::string err;
    bool err_null = false;
    void set_error(const char* text, bool null = false);
    // Stores into *out a pointer valid on this thread until its next call.
    void get_error(const char** out);
};

// One scripted answer for an interface function.
struct Slot {
    enum Kind { Keep, Int, Uint, Real, Text, Null, Ptr } kind = Keep;
    int64_t i = 0;
    uint64_t u = 0;
    double d = 0;
    std::shared_ptr<std::string> s;  // stays alive after the script is used
    uintptr_t p = 0;
};

struct Script {
    int status = 0;
    bool set_error = false;
    bool error_null = false;
    std::string error;
    std::vector<Slot> outs;
    int times = 1;  // 0: every call
};

// Writes one slot into an out-parameter of the matching type.
template <class T>
void write_slot(T* out, const Slot& s) {
    if (!out || s.kind == Slot::Keep) return;
    if constexpr (std::is_same_v<T, const char*>) {
        *out = s.kind == Slot::Null ? nullptr : s.kind == Slot::Text ? s.s->c_str() : reinterpret_cast<const char*>(s.p);
    } else if constexpr (std::is_pointer_v<T>) {
        *out = reinterpret_cast<T>(s.kind == Slot::Null ? 0 : s.p);
    } else if constexpr (std::is_floating_point_v<T>) {
        *out = static_cast<T>(s.kind == Slot::Real ? s.d : s.kind == Slot::Uint ? (double)s.u : (double)s.i);
    } else if constexpr (std::is_enum_v<T>) {
        *out = static_cast<T>(s.kind == Slot::Uint ? s.u : (uint64_t)s.i);
    } else {
        *out = static_cast<T>(s.kind == Slot::Uint ? s.u : s.kind == Slot::Real ? (uint64_t)(int64_t)s.d : (uint64_t)s.i);
    }
}

// Untyped "address of a pointer" out-parameters.
inline void write_slot(void* out, const Slot& s) { write_slot(static_cast<void**>(out), s); }

std::string fmt_arg(const char* s);
std::string fmt_arg(const void* p);
std::string fmt_arg(double d);
std::string fmt_arg(int64_t i);
std::string fmt_arg(uint64_t u);
template <class T>
std::string fmt_any(T v) {
    if constexpr (std::is_same_v<T, const char*> || std::is_same_v<T, char*>)
        return fmt_arg((const char*)v);
    else if constexpr (std::is_pointer_v<T>)
        return fmt_arg((const void*)v);
    else if constexpr (std::is_floating_point_v<T>)
        return fmt_arg((double)v);
    else if constexpr (std::is_enum_v<T> || std::is_unsigned_v<T>)
        return fmt_arg((uint64_t)v);
    else
        return fmt_arg((int64_t)v);
}

class Entry {
    Handle* handle_;
    std::optional<Script> script_;

public:
    Entry(const char* name, Handle* handle, std::vector<std::string> args);
    template <class H, class... A>
    Entry(const char* name, H* handle, A... a) : Entry(name, static_cast<Handle*>(handle), std::vector<std::string>{fmt_any(a)...}) {}
    bool scripted() const { return script_.has_value(); }
    template <class... O>
    int apply(O*... outs) {
        size_t i = 0;
        ((i < script_->outs.size() ? write_slot(outs, script_->outs[i]) : void(), ++i), ...);
        finish();
        return script_->status;
    }

private:
    void finish();
};

// Recording is off unless a test turns it on, so long runs do not grow.
extern std::atomic<bool> recording;
extern std::atomic<int> armed;  // scripts or blocks pending: the slow path

// Whether a device is open on a context; need_open fails the call with -2
// (and a null context with -5) when none is.
bool is_open(kelo_ctx_t* ctx);
int need_open(kelo_ctx_t* ctx);

// Fails a call: sets the handle's last error and returns the status.
int fail(Handle* h, int status, const std::string& text);

// Runs fn on the calling thread, or on a new native thread that is joined.
void run_callback(bool native, const std::function<void()>& fn);
bool native_callbacks();  // where enumeration reports run

// Hooks of the parts of the simulation: reset restores the model defaults,
// context_gone stops what a context started before it is freed.
struct Part {
    const char* name;
    void (*reset)();
    void (*context_gone)(kelo_ctx_t*);
};
int add_part(Part p);

// Live contexts, for events that tests fire at "every context".
std::vector<kelo_ctx_t*> live_contexts();
void context_born(kelo_ctx_t* ctx);
void context_gone(kelo_ctx_t* ctx);  // runs every part's context_gone first
void reset_parts();

// ---- what the parts ask of each other
// Each part defines its functions strongly; the weak defaults in sim.cpp
// stand in until it does.

// chip.cpp: the mode selected on a context, with its binning parameters.
struct ModeSelection {
    std::string mode;  // empty: none selected
    bool with_params = false;
    scan_params params{};
};
ModeSelection selected_mode(kelo_ctx_t* ctx);
// Applies a setting from a configuration document: kind "dac", "threshold"
// (keV), "raw_threshold" or "polarity" (0 positive, 1 negative), for chip
// index `chip` (-1: all chips). Returns 0, or a failure status and *error.
int chip_setting(kelo_ctx_t* ctx, const std::string& kind, int chip, const std::string& name, double value, std::string* error);

// configuration.cpp: the pixel mask (width x height bytes, element [x, y]
// at x * height + y; nonzero is masked). Empty: nothing masked.
std::vector<uint8_t> pixel_mask(kelo_ctx_t* ctx, size_t* width, size_t* height);

// units.cpp: shutter duration in seconds (0: until aborted), trigger mode,
// board power.
float shutter_seconds(kelo_ctx_t* ctx);
std::string trigger_mode(kelo_ctx_t* ctx);
bool board_powered(kelo_ctx_t* ctx, const std::string& board);

// acquisition.cpp: a software trigger; false when no acquisition waits for one.
bool software_trigger(kelo_ctx_t* ctx);

// monitor.cpp: a board was powered on or off.
void board_power_changed(kelo_ctx_t* ctx, const std::string& board, bool powered);

}  // namespace sim

// Library context: what every part keeps per context hangs off it.
struct kelo_ctx : sim::Handle {
    std::mutex m;
    kelo_log_func log = nullptr;
    void* log_userdata = nullptr;
    kelo_log_frmt log_frmt{};
    std::string opened;  // connection string of the open device, or empty
    // Per-part state, created on first use by each part.
    std::vector<std::shared_ptr<void>> parts;
    template <class T>
    T& part(int index) {
        std::lock_guard<std::mutex> lock(m);
        if (parts.size() <= (size_t)index) parts.resize(index + 1);
        if (!parts[index]) parts[index] = std::make_shared<T>();
        return *std::static_pointer_cast<T>(parts[index]);
    }
    void log_line(Severity severity, const std::string& line);
};

#define SIM_ENTER(handle, ...) ::sim::Entry sim_entry_(__func__, (handle)__VA_OPT__(, ) __VA_ARGS__)
#define SIM_SCRIPTED(...)                                                  \
    do {                                                                   \
        if (sim_entry_.scripted()) return sim_entry_.apply(__VA_ARGS__);  \
    } while (0)
// A null handle fails without touching anything.
#define SIM_NEED(handle) \
    do {                 \
        if (!(handle)) return -5; \
    } while (0)
