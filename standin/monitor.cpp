// Monitors of the simulated device: temperatures, bias, supplies and fan,
// their values, limits, availability and events.
//
// Each monitor sits on a board ("board-0" carries the chips and the sensor
// bias, "board-1" the supplies and the fan); while its board is unpowered the
// monitor is unavailable. Values drift on one native thread per context when
// drift is on (kelosim_mon_drift). Handlers are always called without any
// lock of the simulation held.
#include "monitor_control.h"
#include "sim.hpp"

#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <limits>
#include <random>

namespace {

constexpr double kNone = std::numeric_limits<double>::infinity();

// The model of one monitor: identifier (with its unit), data type, board,
// resting value, drift step and the warning and error bands.
struct Sensor {
    const char* id;
    bool is_float;
    const char* board;
    double base, step;
    double warn_lo, warn_hi, err_lo, err_hi;
};

const Sensor sensors[] = {
    {"chip0.temperature_degC", true, "board-0", 41.5, 0.25, -kNone, 60, -kNone, 75},
    {"chip1.temperature_degC", true, "board-0", 42.0, 0.25, -kNone, 60, -kNone, 75},
    {"chip2.temperature_degC", true, "board-0", 40.5, 0.25, -kNone, 60, -kNone, 75},
    {"chip3.temperature_degC", true, "board-0", 41.0, 0.25, -kNone, 60, -kNone, 75},
    {"board-0.temperature_degC", true, "board-0", 36.0, 0.15, -kNone, 55, -kNone, 70},
    {"board-0.humidity_pct", false, "board-0", 28, 1, -kNone, 60, -kNone, 80},
    {"bias.voltage_V", true, "board-0", 100.0, 0.05, 95, 105, 90, 110},
    {"bias.current_uA", true, "board-0", 0.85, 0.02, -kNone, 5, -kNone, 20},
    {"board-1.temperature_degC", true, "board-1", 33.0, 0.15, -kNone, 55, -kNone, 70},
    {"supply.vdd_V", true, "board-1", 1.5, 0.002, 1.45, 1.55, 1.40, 1.60},
    {"supply.vdda_V", true, "board-1", 1.5, 0.002, 1.45, 1.55, 1.40, 1.60},
    {"supply.vio_V", true, "board-1", 3.3, 0.005, 3.15, 3.45, 3.0, 3.6},
    {"board-1.fan_rpm", false, "board-1", 4200, 40, 2500, kNone, 1500, kNone},
};
constexpr size_t kMonitors = std::size(sensors);

int find(const char* id) {
    for (size_t k = 0; k < kMonitors; ++k)
        if (id && std::strcmp(sensors[k].id, id) == 0) return (int)k;
    return -1;
}

// A value converted to T, without the undefined behaviour of an
// out-of-range conversion; ints round.
template <class T>
T as(double v) {
    if constexpr (std::is_floating_point_v<T>)
        return std::fabs(v) > FLT_MAX ? std::copysign(INFINITY, v) : (T)v;
    else
        return std::isnan(v) ? 0 : (T)std::round(std::clamp(v, (double)INT_MIN, (double)INT_MAX));
}

// A value as the monitor's data type holds it.
double held(size_t k, double v) { return sensors[k].is_float ? as<float>(v) : as<int>(v); }

using Func = void (*)(kelo_mon_t*, void*);
struct Handler {
    Func fn = nullptr;
    void* userdata = nullptr;
};

struct Mon {
    double value = 0;
    bool available = true;
    Handler on_value, on_avail;
};

// Monitor state of one context, shared with its drift thread.
struct State {
    std::mutex m;
    std::condition_variable cv;
    bool ready = false;
    bool gone = false;    // context deleted: deliver nothing more
    unsigned drift_gen = 0;  // a drift thread runs while this is its generation
    std::thread drift;
    std::mt19937 rng{std::random_device{}()};
    Mon mons[kMonitors];
};

struct Holder {
    std::shared_ptr<State> st = std::make_shared<State>();
};

std::atomic<int> drift_ms{0};

void reset_monitors();
void monitors_gone(kelo_ctx_t* ctx);
const int monitor_part = sim::add_part({"monitor", reset_monitors, monitors_gone});

void start_drift(const std::shared_ptr<State>& st);

// The values at rest; availability after the boards' power, asked without
// any lock of ours held. Only a first use, or a reset (`again`), restores.
void restore(kelo_ctx_t* ctx, State& st, bool again) {
    bool powered[kMonitors];
    for (size_t k = 0; k < kMonitors; ++k) powered[k] = sim::board_powered(ctx, sensors[k].board);
    std::lock_guard<std::mutex> lock(st.m);
    if (st.ready && !again) return;
    for (size_t k = 0; k < kMonitors; ++k) st.mons[k].value = sensors[k].base, st.mons[k].available = powered[k];
    st.ready = true;
}

std::shared_ptr<State> state_of(kelo_ctx_t* ctx) {
    auto st = ctx->part<Holder>(monitor_part).st;
    bool ready;
    {
        std::lock_guard<std::mutex> lock(st->m);
        ready = st->ready;
    }
    if (!ready) {
        restore(ctx, *st, false);
        if (drift_ms.load() > 0) start_drift(st);
    }
    return st;
}

}  // namespace

// One event, as the getters read it.
struct kelo_mon : sim::Handle {
    std::string id;
    bool is_float = true;
    bool available = true;
    double value = 0;
    int warning = 0, error = 0;
};

namespace {

// Calls the handler of one event kind of monitor k, if any. Returns 1 when
// a handler was called.
int fire(const std::shared_ptr<State>& st, size_t k, bool availability) {
    kelo_mon ev;
    Handler h;
    {
        std::lock_guard<std::mutex> lock(st->m);
        const Mon& m = st->mons[k];
        h = availability ? m.on_avail : m.on_value;
        if (st->gone || !h.fn) return 0;
        const Sensor& s = sensors[k];
        ev.id = s.id, ev.is_float = s.is_float, ev.available = m.available, ev.value = m.value;
        ev.warning = m.value < s.warn_lo || m.value > s.warn_hi;
        ev.error = m.value < s.err_lo || m.value > s.err_hi;
    }
    h.fn(&ev, h.userdata);
    return 1;
}

void drift_loop(std::shared_ptr<State> st, unsigned gen) {
    std::unique_lock<std::mutex> lock(st->m);
    while (st->drift_gen == gen && !st->gone) {
        int period = std::max(drift_ms.load(), 1);
        if (st->cv.wait_for(lock, std::chrono::milliseconds(period), [&] { return st->drift_gen != gen || st->gone; })) break;
        std::normal_distribution<double> noise;
        size_t changed[kMonitors], n = 0;
        for (size_t k = 0; k < kMonitors; ++k) {
            Mon& m = st->mons[k];
            if (!m.available) continue;
            // A random walk held near the resting value.
            double next = held(k, m.value + sensors[k].step * noise(st->rng) - 0.05 * (m.value - sensors[k].base));
            if (next != m.value) m.value = next, changed[n++] = k;
        }
        lock.unlock();
        for (size_t i = 0; i < n; ++i) fire(st, changed[i], false);
        lock.lock();
    }
}

void start_drift(const std::shared_ptr<State>& st) {
    std::lock_guard<std::mutex> lock(st->m);
    if (st->gone || st->drift.joinable()) return;
    st->drift = std::thread(drift_loop, st, st->drift_gen);
}

// Stops the drift thread and waits for it, unless it is the caller (a
// handler that stops drift or drops the context): that one ends on its own.
void stop_drift(State& st) {
    std::thread t;
    {
        std::lock_guard<std::mutex> lock(st.m);
        ++st.drift_gen;
        t = std::move(st.drift);
    }
    st.cv.notify_all();
    if (!t.joinable()) return;
    if (t.get_id() == std::this_thread::get_id())
        t.detach();
    else
        t.join();
}

// The state of a context that has one; no new state for a context going away.
std::shared_ptr<State> existing_state(kelo_ctx_t* ctx) {
    std::lock_guard<std::mutex> lock(ctx->m);
    if (ctx->parts.size() <= (size_t)monitor_part || !ctx->parts[monitor_part]) return nullptr;
    return std::static_pointer_cast<Holder>(ctx->parts[monitor_part])->st;
}

void monitors_gone(kelo_ctx_t* ctx) {
    auto st = existing_state(ctx);
    if (!st) return;
    {
        std::lock_guard<std::mutex> lock(st->m);
        st->gone = true;
    }
    stop_drift(*st);
}

void reset_monitors() {
    drift_ms.store(0);
    for (kelo_ctx_t* ctx : sim::live_contexts())
        if (auto st = existing_state(ctx)) {
            stop_drift(*st);
            restore(ctx, *st, true);
        }
}


// The common checks of a call about one monitor; the monitor's index or a
// failure status (negative).
int monitor_arg(kelo_ctx_t* ctx, const char* id) {
    if (!ctx) return -5;
    if (!id) return sim::fail(ctx, -5, "monitor id is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    int k = find(id);
    return k >= 0 ? k : sim::fail(ctx, -3, std::string("unknown monitor '") + id + "'");
}

// The value of a monitor, converted to T.
template <class T>
int fetch(kelo_ctx_t* ctx, const char* id, T* value) {
    int k = monitor_arg(ctx, id);
    if (k < 0) return k;
    if (!value) return sim::fail(ctx, -5, "value is null");
    auto st = state_of(ctx);
    std::lock_guard<std::mutex> lock(st->m);
    if (!st->mons[k].available) return sim::fail(ctx, -2, std::string("monitor '") + id + "' is not available");
    *value = as<T>(st->mons[k].value);
    return 0;
}

int set_handler(kelo_ctx_t* ctx, const char* id, Func fn, void* userdata, Handler Mon::*which) {
    int k = monitor_arg(ctx, id);
    if (k < 0) return k;
    auto st = state_of(ctx);
    std::lock_guard<std::mutex> lock(st->m);
    st->mons[k].*which = {fn, userdata};  // a null function removes the handler
    return 0;
}

// Reads one field of an event for a getter.
template <class T, class Read>
int event_get(kelo_mon_t* mon, T* out, Read read) {
    if (!mon) return -5;
    if (!out) return sim::fail(mon, -5, "out-parameter is null");
    return read(*mon, out);
}

template <class T>
int event_value(kelo_mon& ev, T* out) {
    if (!ev.available) return sim::fail(&ev, -2, "monitor '" + ev.id + "' is not available");
    *out = as<T>(ev.value);
    return 0;
}

// Runs `each(state, k)` on every live context, where the caller asked.
template <class Each>
int on_every_context(const char* id, bool native, Each each) {
    int k = find(id);
    if (k < 0) return -3;
    int called = 0;
    for (kelo_ctx_t* ctx : sim::live_contexts()) {
        auto st = state_of(ctx);
        sim::run_callback(native, [&] { called += each(st, (size_t)k); });
    }
    return called;
}

}  // namespace

namespace sim {

// Called by the boards part, which must hold none of its locks: a first use
// of the context asks board_powered().
void board_power_changed(kelo_ctx_t* ctx, const std::string& board, bool powered) {
    auto st = state_of(ctx);
    size_t changed[kMonitors], n = 0;
    {
        std::lock_guard<std::mutex> lock(st->m);
        for (size_t k = 0; k < kMonitors; ++k) {
            Mon& m = st->mons[k];
            if (board != sensors[k].board || m.available == powered) continue;
            m.available = powered;
            if (powered) m.value = sensors[k].base;  // back with a fresh reading
            changed[n++] = k;
        }
    }
    for (size_t i = 0; i < n; ++i) fire(st, changed[i], true);
}

}  // namespace sim

extern "C" {

KELO_API int kelo_mon_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    SIM_NEED(ctx);
    if (!count) return sim::fail(ctx, -5, "count is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    *count = (int)kMonitors;
    return 0;
}

KELO_API int kelo_mon_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    SIM_NEED(ctx);
    if (!id) return sim::fail(ctx, -5, "id is null");
    if (!sim::is_open(ctx)) return sim::fail(ctx, -2, "no device is open");
    if (index < 0 || (size_t)index >= kMonitors) return sim::fail(ctx, -3, "monitor index " + std::to_string(index) + " is out of range");
    *id = sensors[index].id;
    return 0;
}

KELO_API int kelo_mon_datatype(kelo_ctx_t* ctx, const char* id, const char** type) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(type);
    int k = monitor_arg(ctx, id);
    if (k < 0) return k;
    if (!type) return sim::fail(ctx, -5, "type is null");
    *type = sensors[k].is_float ? "float" : "int";
    return 0;
}

KELO_API int kelo_mon_fetch_value_float(kelo_ctx_t* ctx, const char* id, float* value) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(value);
    return fetch(ctx, id, value);
}

KELO_API int kelo_mon_fetch_value_int(kelo_ctx_t* ctx, const char* id, int* value) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(value);
    return fetch(ctx, id, value);
}

KELO_API int kelo_mon_event_set_onvaluechanged(kelo_ctx_t* ctx, const char* id, kelo_mon_valuechanged_func func, void* userdata) {
    SIM_ENTER(ctx, id, (const void*)func, userdata);
    SIM_SCRIPTED();
    return set_handler(ctx, id, func, userdata, &Mon::on_value);
}

KELO_API int kelo_mon_event_set_onavailabilitychanged(kelo_ctx_t* ctx, const char* id, kelo_mon_availabilitychanged_func func, void* userdata) {
    SIM_ENTER(ctx, id, (const void*)func, userdata);
    SIM_SCRIPTED();
    return set_handler(ctx, id, func, userdata, &Mon::on_avail);
}

KELO_API int kelo_mon_event_id(kelo_mon_t* mon, const char** id) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(id);
    return event_get(mon, id, [](kelo_mon& ev, const char** out) { return *out = ev.id.c_str(), 0; });
}

KELO_API int kelo_mon_event_is_available(kelo_mon_t* mon, int* available) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(available);
    return event_get(mon, available, [](kelo_mon& ev, int* out) { return *out = ev.available, 0; });
}

KELO_API int kelo_mon_event_datatype(kelo_mon_t* mon, const char** type) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(type);
    return event_get(mon, type, [](kelo_mon& ev, const char** out) { return *out = ev.is_float ? "float" : "int", 0; });
}

KELO_API int kelo_mon_event_get_value_as_float(kelo_mon_t* mon, float* value) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(value);
    return event_get(mon, value, [](kelo_mon& ev, float* out) { return event_value(ev, out); });
}

KELO_API int kelo_mon_event_get_value_as_int(kelo_mon_t* mon, int* value) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(value);
    return event_get(mon, value, [](kelo_mon& ev, int* out) { return event_value(ev, out); });
}

KELO_API int kelo_mon_event_is_warning_condition_met(kelo_mon_t* mon, int* flag) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(flag);
    return event_get(mon, flag, [](kelo_mon& ev, int* out) { return *out = ev.warning, 0; });
}

KELO_API int kelo_mon_event_is_error_condition_met(kelo_mon_t* mon, int* flag) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(flag);
    return event_get(mon, flag, [](kelo_mon& ev, int* out) { return *out = ev.error, 0; });
}

KELO_API int kelo_mon_get_last_error(kelo_mon_t* mon, const char** message) {
    SIM_ENTER(mon);
    SIM_SCRIPTED(message);
    SIM_NEED(mon);
    mon->get_error(message);
    return 0;
}

// ------------------------------------------------------------ control API

KELOSIM_API int kelosim_mon_set(const char* id, double value, int native) {
    return on_every_context(id, native != 0, [&](const std::shared_ptr<State>& st, size_t k) {
        {
            std::lock_guard<std::mutex> lock(st->m);
            st->mons[k].value = held(k, value);
            if (!st->mons[k].available) return 0;
        }
        return fire(st, k, false);
    });
}

KELOSIM_API int kelosim_mon_available(const char* id, int available, int native) {
    return on_every_context(id, native != 0, [&](const std::shared_ptr<State>& st, size_t k) {
        {
            std::lock_guard<std::mutex> lock(st->m);
            st->mons[k].available = available != 0;
        }
        return fire(st, k, true);
    });
}

KELOSIM_API void kelosim_mon_drift(int period_ms) {
    drift_ms.store(std::max(period_ms, 0));
    for (kelo_ctx_t* ctx : sim::live_contexts()) {
        auto st = state_of(ctx);
        if (period_ms > 0)
            start_drift(st);
        else
            stop_drift(*st);
    }
}

}  // extern "C"
