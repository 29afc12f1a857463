// Bias supplies, cooling units, boards, trigger and external synchronisation
// of the simulated device. Every context has its own units, as the model
// below gives them when the context first uses them or after a reset.
#include "sim.hpp"
#include "units_control.h"

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>

namespace {

// Cooling units move their actual temperature toward the set point at this
// rate; the temperature is worked out from the elapsed time on each read.
constexpr double kDegreesPerSecond = 0.5;

std::atomic<double> skipped{0};        // seconds a test moved the clock on
std::atomic<unsigned> generation{0};   // a reset reloads every context's units

double now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count() + skipped.load();
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

// Identifiers are literals: pointers to them stay valid for good.
struct Named {
    const char* id;
};
struct Supply {
    const char* id;
    float min, max, volts;
};
struct Cooler {
    const char* id;
    float min, max, desired;
    float from;        // actual temperature at `since`
    double since = 0;  // on the cooling clock
    float actual(double t) const {
        double gap = (double)desired - from, step = kDegreesPerSecond * std::max(0.0, t - since);
        return std::fabs(gap) <= step ? desired : (float)(from + std::copysign(step, gap));
    }
};
struct Board {
    const char* id;
    bool powered;
};

struct Model {
    std::array<Supply, 2> supplies{{{"bias-0", 0, 300, 50}, {"bias-1", -300, 0, -50}}};
    std::array<Cooler, 2> coolers{{{"cooling-0", -30, 40, 20, 20}, {"cooling-1", 10, 60, 35, 35}}};
    std::array<Board, 2> boards{{{"board-0", true}, {"board-1", true}}};
    std::array<Named, 4> modes{{{"internal"}, {"software"}, {"external-rising"}, {"external-falling"}}};
    std::array<Named, 3> options{{{"standalone"}, {"primary"}, {"secondary"}}};
    size_t mode = 0, option = 0;
    float shutter = 0.1f;  // seconds; 0: until aborted
};
const Model defaults;

struct Units {
    std::mutex m;
    unsigned gen = ~0u;
    Model model;
};

void reset() {
    skipped.store(0);
    generation.fetch_add(1);
}
const int part = sim::add_part({"units", reset, nullptr});

// The units of a context, locked for the object's life.
class Locked {
    Units& u_;
    std::lock_guard<std::mutex> lock_;

public:
    explicit Locked(kelo_ctx_t* ctx) : u_(ctx->part<Units>(part)), lock_(u_.m) {
        if (unsigned g = generation.load(); u_.gen != g) {
            u_.model = Model{};
            u_.gen = g;
        }
    }
    Model& operator*() { return u_.model; }
    Model* operator->() { return &u_.model; }
};

// A kind of unit: its list in the model and its name in messages.
template <class T, size_t N>
struct Kind {
    std::array<T, N> Model::*list;
    const char* name;
};
constexpr Kind supplies{&Model::supplies, "bias supply"};
constexpr Kind coolers{&Model::coolers, "cooling unit"};
constexpr Kind boards{&Model::boards, "board"};
constexpr Kind modes{&Model::modes, "trigger mode"};
constexpr Kind options{&Model::options, "synchronisation option"};

template <class T, class V>
int put(kelo_ctx_t* ctx, T* out, V value, const char* what) {
    if (!out) return sim::fail(ctx, -5, std::string(what) + " is null");
    *out = value;
    return 0;
}

template <class T, size_t N>
int count_of(kelo_ctx_t* ctx, int* count, Kind<T, N>) {
    if (int s = sim::need_open(ctx)) return s;
    return put(ctx, count, (int)N, "count");
}

template <class T, size_t N>
int id_of(kelo_ctx_t* ctx, int index, const char** id, Kind<T, N> kind) {
    if (int s = sim::need_open(ctx)) return s;
    if (index < 0 || (size_t)index >= N)
        return sim::fail(ctx, -3, "no " + std::string(kind.name) + " has index " + std::to_string(index) + " (there are " + std::to_string(N) + ")");
    return put(ctx, id, (defaults.*kind.list)[index].id, "id");
}

// Runs f(unit, model) on the unit `id` of a kind, with the units locked.
template <class T, size_t N, class F>
int with_unit(kelo_ctx_t* ctx, const char* id, Kind<T, N> kind, F&& f) {
    if (int s = sim::need_open(ctx)) return s;
    if (!id) return sim::fail(ctx, -5, "id is null");
    Locked units(ctx);
    for (T& unit : (*units).*kind.list)
        if (std::strcmp(unit.id, id) == 0) return f(unit, *units);
    std::string known;
    for (const T& unit : defaults.*kind.list) known += (known.empty() ? "" : ", ") + std::string(unit.id);
    return sim::fail(ctx, -3, "unknown " + std::string(kind.name) + " '" + id + "' (known: " + known + ")");
}

// Ranges of supplies and limits of cooling units.
template <class T>
bool within(const T& unit, float v) {
    return v >= unit.min && v <= unit.max;  // refuses NaN too
}
template <class T>
std::string bounds(const T& unit) {
    return "[" + num(unit.min) + ", " + num(unit.max) + "]";
}
template <class T>
int range(kelo_ctx_t* ctx, const T& unit, float* min, float* max) {
    if (!min || !max) return sim::fail(ctx, -5, "min or max is null");
    *min = unit.min, *max = unit.max;
    return 0;
}

// Powers a board on or off; the monitors hear of a change, after the lock.
int power(kelo_ctx_t* ctx, const char* id, bool on) {
    bool changed = false;
    int status = with_unit(ctx, id, boards, [&](Board& b, Model&) {
        if (!on && !b.powered) return sim::fail(ctx, -2, "board '" + std::string(id) + "' is not powered");
        changed = b.powered != on;
        b.powered = on;
        return 0;
    });
    if (changed) sim::board_power_changed(ctx, id, on);
    return status;
}

}  // namespace

// ---------------------------------------------------- what other parts ask

float sim::shutter_seconds(kelo_ctx_t* ctx) { return ctx ? Locked(ctx)->shutter : defaults.shutter; }

std::string sim::trigger_mode(kelo_ctx_t* ctx) {
    if (!ctx) return defaults.modes[defaults.mode].id;
    Locked u(ctx);
    return u->modes[u->mode].id;
}

bool sim::board_powered(kelo_ctx_t* ctx, const std::string& board) {
    if (!ctx) return false;
    Locked u(ctx);
    for (const Board& b : u->boards)
        if (board == b.id) return b.powered;
    return false;  // no such board
}

// ------------------------------------------------------------- interface

extern "C" {

KELO_API int kelo_bias_supply_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    return count_of(ctx, count, supplies);
}

KELO_API int kelo_bias_supply_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    return id_of(ctx, index, id, supplies);
}

KELO_API int kelo_bias_get(kelo_ctx_t* ctx, const char* id, float* volts) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(volts);
    return with_unit(ctx, id, supplies, [&](Supply& s, Model&) { return put(ctx, volts, s.volts, "volts"); });
}

KELO_API int kelo_bias_set(kelo_ctx_t* ctx, const char* id, float volts) {
    SIM_ENTER(ctx, id, volts);
    SIM_SCRIPTED();
    return with_unit(ctx, id, supplies, [&](Supply& s, Model&) {
        if (!within(s, volts))
            return sim::fail(ctx, -3, "bias " + num(volts) + " V is outside the range " + bounds(s) + " V of supply '" + s.id + "'");
        s.volts = volts;
        return 0;
    });
}

KELO_API int kelo_bias_range(kelo_ctx_t* ctx, const char* id, float* min, float* max) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(min, max);
    return with_unit(ctx, id, supplies, [&](Supply& s, Model&) { return range(ctx, s, min, max); });
}

KELO_API int kelo_cooling_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    return count_of(ctx, count, coolers);
}

KELO_API int kelo_cooling_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    return id_of(ctx, index, id, coolers);
}

KELO_API int kelo_cooling_value_unit(kelo_ctx_t* ctx, const char* id, const char** unit) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(unit);
    return with_unit(ctx, id, coolers, [&](Cooler&, Model&) { return put(ctx, unit, "DegreeCelsius", "unit"); });
}

KELO_API int kelo_cooling_get_actual(kelo_ctx_t* ctx, const char* id, float* temperature) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(temperature);
    return with_unit(ctx, id, coolers, [&](Cooler& c, Model&) { return put(ctx, temperature, c.actual(now()), "temperature"); });
}

KELO_API int kelo_cooling_get_desired(kelo_ctx_t* ctx, const char* id, float* temperature) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(temperature);
    return with_unit(ctx, id, coolers, [&](Cooler& c, Model&) { return put(ctx, temperature, c.desired, "temperature"); });
}

KELO_API int kelo_cooling_set_desired(kelo_ctx_t* ctx, const char* id, float temperature) {
    SIM_ENTER(ctx, id, temperature);
    SIM_SCRIPTED();
    return with_unit(ctx, id, coolers, [&](Cooler& c, Model&) {
        if (!within(c, temperature))
            return sim::fail(ctx, -3, "temperature " + num(temperature) + " is outside the limits " + bounds(c) + " DegreeCelsius of cooling unit '" + c.id + "'");
        double t = now();
        c.from = c.actual(t);  // the ramp goes on from where it is now
        c.since = t;
        c.desired = temperature;
        return 0;
    });
}

KELO_API int kelo_cooling_limits(kelo_ctx_t* ctx, const char* id, float* min, float* max) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(min, max);
    return with_unit(ctx, id, coolers, [&](Cooler& c, Model&) { return range(ctx, c, min, max); });
}

KELO_API int kelo_board_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    return count_of(ctx, count, boards);
}

KELO_API int kelo_board_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    return id_of(ctx, index, id, boards);
}

KELO_API int kelo_board_power_on(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    return power(ctx, id, true);
}

KELO_API int kelo_board_power_off(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    return power(ctx, id, false);
}

KELO_API int kelo_board_is_powered(kelo_ctx_t* ctx, const char* id, int* powered) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(powered);
    return with_unit(ctx, id, boards, [&](Board& b, Model&) { return put(ctx, powered, b.powered ? 1 : 0, "powered"); });
}

KELO_API int kelo_trigger_mode_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    return count_of(ctx, count, modes);
}

KELO_API int kelo_trigger_mode_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    return id_of(ctx, index, id, modes);
}

KELO_API int kelo_trigger_mode_select(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    return with_unit(ctx, id, modes, [&](Named& n, Model& m) {
        m.mode = (size_t)(&n - m.modes.data());
        return 0;
    });
}

// The acquisition part decides whether anything waits for the trigger; it
// is asked without any lock of this part held.
KELO_API int kelo_trigger(kelo_ctx_t* ctx) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED();
    if (int s = sim::need_open(ctx)) return s;
    if (sim::software_trigger(ctx)) return 0;
    return sim::fail(ctx, -2, "no acquisition waits for a software trigger (trigger mode '" + sim::trigger_mode(ctx) + "')");
}

KELO_API int kelo_trigger_set_shutter_duration(kelo_ctx_t* ctx, float seconds) {
    SIM_ENTER(ctx, seconds);
    SIM_SCRIPTED();
    if (int s = sim::need_open(ctx)) return s;
    if (!(seconds >= 0) || std::isinf(seconds))
        return sim::fail(ctx, -3, "shutter duration " + num(seconds) + " s refused: give 0 (until aborted) or a finite positive number of seconds");
    Locked(ctx)->shutter = seconds;
    return 0;
}

KELO_API int kelo_tandem_option_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    return count_of(ctx, count, options);
}

KELO_API int kelo_tandem_option_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    return id_of(ctx, index, id, options);
}

KELO_API int kelo_tandem_option_select(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    return with_unit(ctx, id, options, [&](Named& n, Model& m) {
        m.option = (size_t)(&n - m.options.data());
        return 0;
    });
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_units_advance(double seconds) { skipped.fetch_add(seconds); }

}  // extern "C"
