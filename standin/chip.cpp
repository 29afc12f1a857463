// Chips of the simulated device: ids, DACs, sense DACs, the threshold,
// polarity and the acquisition modes.
#include "sim.hpp"

#include "chip_control.h"

#include <cmath>
#include <cstdio>

namespace {

struct Dac {
    const char* name;
    int min, max, def;
};
const Dac kDacs[] = {
    {"Ibias_Preamp_ON", 0, 255, 128},  {"Ibias_Preamp_OFF", 0, 15, 8},   {"VPreamp_NCAS", 0, 255, 128},
    {"Ibias_Ikrum", 0, 255, 15},       {"Vfbk", 0, 255, 164},            {"Vthreshold_fine", 0, 511, 255},
    {"Vthreshold_coarse", 0, 15, 7},   {"Ibias_DiscS1_ON", 0, 255, 100}, {"Ibias_DiscS1_OFF", 0, 15, 8},
    {"Ibias_DiscS2_ON", 0, 255, 128},  {"Ibias_DiscS2_OFF", 0, 15, 8},   {"Ibias_PixelDAC", 0, 255, 128},
    {"Ibias_TPbufferIn", 0, 255, 128}, {"Ibias_TPbufferOut", 0, 255, 128}, {"VTP_coarse", 0, 255, 128},
    {"VTP_fine", 0, 511, 256},         {"Ibias_CP_PLL", 0, 255, 128},    {"PLL_Vcntrl", 0, 255, 128},
};
constexpr int kDacCount = sizeof kDacs / sizeof kDacs[0];

// What the sense output can show besides the DACs themselves.
const char* const kSenseExtra[] = {"Bandgap_output", "Bandgap_Temp", "Ibias_dac", "Ibias_dac_cas"};

// The one threshold of a Timepix3, linear in energy.
const char* const kThreshold = "THL";
constexpr int kRawMin = 0, kRawMax = 4095, kRawDefault = 200;
constexpr double kKevPerStep = 0.025, kNoiseKev = 0.8;

// Modes in the order the library lists them: every mode the binding knows.
const char* const kModes[] = {"0:tpx3-seq-toa-tot",     "0:tpx3-seq-toa-tot-vec", "0:tpx3-seq-itot-event",  "0:tpx3-seq-itot-event-vec",
                              "0:tpx3-dd-toa-tot-vec",  "0:tpx3-dd-toa-tot",      "0:tpx-medipix",          "0:raw-data",
                              "0:tpx3-sorted-dd-toa-tot", "0:tpx3-binned-packets", "0:tpx3-binned-count-sums", "0:tpx3-binned-itot-sums"};

constexpr scan_params kDefaultBinning{256, 256, 1000};
constexpr uint32_t kMaxBins = 1024;
constexpr uint64_t kMaxDwell = 1000000000;

// ------------------------------------------------------------------ model

struct Model {
    int chips = 4;
    std::vector<std::string> extra_modes;
    bool calibrated = true;
};
std::mutex model_mutex;
Model& model() {
    static auto* m = new Model();
    return *m;
}
template <class F>
auto with_model(F f) {
    std::lock_guard<std::mutex> lock(model_mutex);
    return f(model());
}

std::string chip_name(int i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "W0042_%c%02d", 'E' + i % 2, 5 + i / 2);
    return buf;
}

std::vector<std::string> chip_ids() {
    std::vector<std::string> v;
    for (int i = 0, n = with_model([](Model& m) { return m.chips; }); i < n; ++i) v.push_back(chip_name(i));
    return v;
}
std::vector<std::string> dac_names() {
    std::vector<std::string> v;
    for (auto& d : kDacs) v.push_back(d.name);
    return v;
}
std::vector<std::string> sense_dac_names() {
    auto v = dac_names();
    v.insert(v.end(), std::begin(kSenseExtra), std::end(kSenseExtra));
    return v;
}
std::vector<std::string> mode_ids() {
    std::vector<std::string> v(std::begin(kModes), std::end(kModes));
    auto extra = with_model([](Model& m) { return m.extra_modes; });
    v.insert(v.end(), extra.begin(), extra.end());
    return v;
}

// ---------------------------------------------------------- context state

struct Chip {
    int dac[kDacCount];
    int raw = kRawDefault;
    float kev = (float)(kRawDefault * kKevPerStep);
    kelo_chip_polarity_t polarity = positive_polarity;
    Chip() {
        for (int i = 0; i < kDacCount; ++i) dac[i] = kDacs[i].def;
    }
};

struct State {
    std::mutex m;
    std::vector<Chip> chips;  // as many as the model has now
    std::string sense;
    sim::ModeSelection mode;
};

void reset_model() {
    with_model([](Model& m) { m = Model(); });
}

const int part = sim::add_part({"chip", reset_model, nullptr});

// Runs f on the context's chip state, locked, sized to the model.
template <class F>
auto with_state(kelo_ctx_t* ctx, F f) {
    State& st = ctx->part<State>(part);
    size_t n = (size_t)with_model([](Model& m) { return m.chips; });
    std::lock_guard<std::mutex> lock(st.m);
    st.chips.resize(n);
    return f(st);
}

// ------------------------------------------------------------- settings

enum Kind { DacValue, Threshold, RawThreshold, Polarity, KindCount };

int find(const std::vector<std::string>& names, const char* name) {
    for (size_t i = 0; i < names.size(); ++i)
        if (names[i] == name) return (int)i;
    return -1;
}

std::string num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

int refuse(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return -3;
}

// Applies one setting to chip `chip` (-1: every chip). Returns 0 or a
// failure status with *error; nothing changes on failure.
int apply(State& st, Kind kind, int chip, const std::string& name, double v, std::string* error) {
    if (chip < -1 || chip >= (int)st.chips.size())
        return refuse(error, "chip index " + std::to_string(chip) + " is out of range (" + std::to_string(st.chips.size()) + " chips)");
    auto each = [&](auto set) {
        for (int i = 0; i < (int)st.chips.size(); ++i)
            if (chip < 0 || chip == i) set(st.chips[i]);
        return 0;
    };
    bool whole = v == std::floor(v);
    switch (kind) {
        case DacValue: {
            int d = find(dac_names(), name.c_str());
            if (d < 0) return refuse(error, "unknown DAC '" + name + "'");
            if (!whole || v < kDacs[d].min || v > kDacs[d].max)
                return refuse(error, "DAC " + name + " value " + num(v) + " is outside " + std::to_string(kDacs[d].min) + " to " +
                                         std::to_string(kDacs[d].max));
            return each([&](Chip& c) { c.dac[d] = (int)v; });
        }
        case Threshold:
        case RawThreshold: {
            if (name != kThreshold) return refuse(error, "unknown threshold '" + name + "'");
            if (kind == Threshold) {
                if (!with_model([](Model& m) { return m.calibrated; })) {
                    if (error) *error = "threshold " + name + " is not calibrated";
                    return -2;
                }
                if (!(v >= kRawMin * kKevPerStep && v <= kRawMax * kKevPerStep))
                    return refuse(error, "threshold " + num(v) + " keV is outside " + num(kRawMin * kKevPerStep) + " to " +
                                             num(kRawMax * kKevPerStep) + " keV");
                return each([&](Chip& c) { c.kev = (float)v, c.raw = (int)std::lround(v / kKevPerStep); });
            }
            if (!whole || v < kRawMin || v > kRawMax)
                return refuse(error, "raw threshold " + num(v) + " is outside " + std::to_string(kRawMin) + " to " + std::to_string(kRawMax));
            return each([&](Chip& c) { c.raw = (int)v, c.kev = (float)(v * kKevPerStep); });
        }
        case Polarity:
            if (v != 0 && v != 1) return refuse(error, "polarity " + num(v) + " is neither 0 nor 1");
            return each([&](Chip& c) { c.polarity = v == 0 ? positive_polarity : negative_polarity; });
        default:
            return refuse(error, "unknown setting kind");
    }
}

// ------------------------------------------------------------ call frame


// Null handle, closed device and null out-parameters fail alike.
template <class... O>
int ready(kelo_ctx_t* ctx, O*... outs) {
    if (!ctx) return -5;
    if (int s = sim::need_open(ctx)) return s;
    if (((outs == nullptr) || ...)) return sim::fail(ctx, -5, "an out-parameter is null");
    return 0;
}

int setting(kelo_ctx_t* ctx, Kind kind, int chip, const char* name, double v) {
    if (!name) return sim::fail(ctx, -5, "id is null");
    std::string error;
    int s = with_state(ctx, [&](State& st) { return apply(st, kind, chip, name, v, &error); });
    return s ? sim::fail(ctx, s, error) : 0;
}

// Hands out one name of a list by index; valid on this thread until its next call.
int name_at(kelo_ctx_t* ctx, const std::vector<std::string>& names, int index, const char** out, const char* what) {
    if (index < 0 || index >= (int)names.size())
        return sim::fail(ctx, -3, std::string(what) + " index " + std::to_string(index) + " is out of range (" + std::to_string(names.size()) + ")");
    thread_local std::string copy;
    copy = names[index];
    *out = copy.c_str();
    return 0;
}

// Reads the first chip of the context, after checking the identifier.
template <class F>
int first_chip(kelo_ctx_t* ctx, F read) {
    bool any = with_state(ctx, [&](State& st) {
        if (st.chips.empty()) return false;
        read(st.chips[0]);
        return true;
    });
    return any ? 0 : sim::fail(ctx, -2, "the device has no chips");
}

int dac_index(kelo_ctx_t* ctx, const char* id, int* index) {
    if (!id) return sim::fail(ctx, -5, "DAC id is null");
    *index = find(dac_names(), id);
    return *index < 0 ? sim::fail(ctx, -3, std::string("unknown DAC '") + id + "'") : 0;
}

int threshold_known(kelo_ctx_t* ctx, const char* id, bool in_kev) {
    if (!id) return sim::fail(ctx, -5, "threshold id is null");
    if (std::strcmp(id, kThreshold) != 0) return sim::fail(ctx, -3, std::string("unknown threshold '") + id + "'");
    if (in_kev && !with_model([](Model& m) { return m.calibrated; })) return sim::fail(ctx, -2, std::string("threshold ") + id + " is not calibrated");
    return 0;
}

// Checks and records a mode selection; params null: the default binning.
int select_mode(kelo_ctx_t* ctx, const char* id, const scan_params* params) {
    if (!id) return sim::fail(ctx, -5, "mode id is null");
    if (find(mode_ids(), id) < 0) return sim::fail(ctx, -3, std::string("unknown acquisition mode '") + id + "'");
    if (params) {
        if (params->width_ < 1 || params->width_ > kMaxBins || params->height_ < 1 || params->height_ > kMaxBins)
            return sim::fail(ctx, -3, "binning " + std::to_string(params->width_) + " x " + std::to_string(params->height_) +
                                          " is outside 1 to " + std::to_string(kMaxBins) + " bins each way");
        if (params->dwell_time_ < 1 || params->dwell_time_ > kMaxDwell)
            return sim::fail(ctx, -3, "dwell time " + std::to_string(params->dwell_time_) + " ns is outside 1 to " + std::to_string(kMaxDwell) + " ns");
    }
    with_state(ctx, [&](State& st) {
        st.mode = {id, params != nullptr, params ? *params : kDefaultBinning};
        return 0;
    });
    return 0;
}

}  // namespace

// ---------------------------------------------------- what parts ask of us

namespace sim {

ModeSelection selected_mode(kelo_ctx_t* ctx) {
    return with_state(ctx, [](State& st) { return st.mode; });
}

int chip_setting(kelo_ctx_t* ctx, const std::string& kind, int chip, const std::string& name, double value, std::string* error) {
    static const char* const kinds[KindCount] = {"dac", "threshold", "raw_threshold", "polarity"};
    int k = 0;
    while (k < KindCount && kind != kinds[k]) ++k;
    if (k == KindCount) return refuse(error, "unknown setting kind '" + kind + "'");
    return with_state(ctx, [&](State& st) { return apply(st, (Kind)k, chip, name, value, error); });
}

}  // namespace sim

// ------------------------------------------------------- library interface

extern "C" {

KELO_API int kelo_chip_refresh(kelo_ctx_t* ctx) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    return with_state(ctx, [](State& st) {
        for (auto& c : st.chips) c = Chip();
        st.sense.clear();
        return 0;
    });
}

KELO_API int kelo_chip_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = ready(ctx, count)) return s;
    *count = (int)chip_ids().size();
    return 0;
}

KELO_API int kelo_chip_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    if (int s = ready(ctx, id)) return s;
    return name_at(ctx, chip_ids(), index, id, "chip");
}

KELO_API int kelo_chip_get_polarity(kelo_ctx_t* ctx, int chip, kelo_chip_polarity_t* polarity) {
    SIM_ENTER(ctx, chip);
    SIM_SCRIPTED(polarity);
    if (int s = ready(ctx, polarity)) return s;
    bool known = with_state(ctx, [&](State& st) {
        if (chip < 0 || chip >= (int)st.chips.size()) return false;
        *polarity = st.chips[chip].polarity;
        return true;
    });
    return known ? 0 : sim::fail(ctx, -3, "chip index " + std::to_string(chip) + " is out of range");
}

KELO_API int kelo_chip_set_polarity(kelo_ctx_t* ctx, int chip, kelo_chip_polarity_t polarity) {
    SIM_ENTER(ctx, chip, polarity);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    if (chip < 0) return sim::fail(ctx, -3, "chip index " + std::to_string(chip) + " is out of range");
    return setting(ctx, Polarity, chip, "", (double)(unsigned)polarity);
}

KELO_API int kelo_chip_sense_dac_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = ready(ctx, count)) return s;
    *count = (int)sense_dac_names().size();
    return 0;
}

KELO_API int kelo_chip_sense_dac_name(kelo_ctx_t* ctx, int index, const char** name) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(name);
    if (int s = ready(ctx, name)) return s;
    return name_at(ctx, sense_dac_names(), index, name, "sense DAC");
}

KELO_API int kelo_chip_sense_dac_sel(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    if (!id) return sim::fail(ctx, -5, "sense DAC id is null");
    if (find(sense_dac_names(), id) < 0) return sim::fail(ctx, -3, std::string("unknown sense DAC '") + id + "'");
    return with_state(ctx, [&](State& st) {
        st.sense = id;
        return 0;
    });
}

KELO_API int kelo_chip_dac_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = ready(ctx, count)) return s;
    *count = kDacCount;
    return 0;
}

KELO_API int kelo_chip_dac_name(kelo_ctx_t* ctx, int index, const char** name) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(name);
    if (int s = ready(ctx, name)) return s;
    return name_at(ctx, dac_names(), index, name, "DAC");
}

KELO_API int kelo_chip_dac_value_get(kelo_ctx_t* ctx, const char* id, int* value) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(value);
    int d;
    if (int s = ready(ctx, value)) return s;
    if (int s = dac_index(ctx, id, &d)) return s;
    return first_chip(ctx, [&](Chip& c) { *value = c.dac[d]; });
}

KELO_API int kelo_chip_dac_value_set(kelo_ctx_t* ctx, const char* id, int value) {
    SIM_ENTER(ctx, id, value);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    return setting(ctx, DacValue, -1, id, value);
}

KELO_API int kelo_chip_dac_limits(kelo_ctx_t* ctx, const char* id, int* min, int* max) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(min, max);
    int d;
    if (int s = ready(ctx, min, max)) return s;
    if (int s = dac_index(ctx, id, &d)) return s;
    *min = kDacs[d].min, *max = kDacs[d].max;
    return 0;
}

KELO_API int kelo_chip_threshold_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = ready(ctx, count)) return s;
    *count = 1;
    return 0;
}

KELO_API int kelo_chip_threshold_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    if (int s = ready(ctx, id)) return s;
    return name_at(ctx, {kThreshold}, index, id, "threshold");
}

KELO_API int kelo_chip_threshold_is_calibrated(kelo_ctx_t* ctx, const char* id, int* calibrated) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(calibrated);
    if (int s = ready(ctx, calibrated)) return s;
    if (int s = threshold_known(ctx, id, false)) return s;
    *calibrated = with_model([](Model& m) { return m.calibrated; }) ? 1 : 0;
    return 0;
}

KELO_API int kelo_chip_threshold_get(kelo_ctx_t* ctx, const char* id, float* kev) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(kev);
    if (int s = ready(ctx, kev)) return s;
    if (int s = threshold_known(ctx, id, true)) return s;
    return first_chip(ctx, [&](Chip& c) { *kev = c.kev; });
}

KELO_API int kelo_chip_threshold_set(kelo_ctx_t* ctx, const char* id, float kev) {
    SIM_ENTER(ctx, id, kev);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    return setting(ctx, Threshold, -1, id, kev);
}

KELO_API int kelo_chip_threshold_range(kelo_ctx_t* ctx, const char* id, float* min, float* max, float* noise) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(min, max, noise);
    if (int s = ready(ctx, min, max, noise)) return s;
    if (int s = threshold_known(ctx, id, true)) return s;
    *min = (float)(kRawMin * kKevPerStep), *max = (float)(kRawMax * kKevPerStep), *noise = (float)kNoiseKev;
    return 0;
}

KELO_API int kelo_chip_threshold_raw_get(kelo_ctx_t* ctx, const char* id, int* value) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(value);
    if (int s = ready(ctx, value)) return s;
    if (int s = threshold_known(ctx, id, false)) return s;
    return first_chip(ctx, [&](Chip& c) { *value = c.raw; });
}

KELO_API int kelo_chip_threshold_raw_set(kelo_ctx_t* ctx, const char* id, int value) {
    SIM_ENTER(ctx, id, value);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    return setting(ctx, RawThreshold, -1, id, value);
}

KELO_API int kelo_chip_threshold_raw_range(kelo_ctx_t* ctx, const char* id, int* min, int* max) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(min, max);
    if (int s = ready(ctx, min, max)) return s;
    if (int s = threshold_known(ctx, id, false)) return s;
    *min = kRawMin, *max = kRawMax;
    return 0;
}

KELO_API int kelo_chip_mode_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = ready(ctx, count)) return s;
    *count = (int)mode_ids().size();
    return 0;
}

KELO_API int kelo_chip_mode_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    if (int s = ready(ctx, id)) return s;
    return name_at(ctx, mode_ids(), index, id, "mode");
}

KELO_API int kelo_chip_mode_select(kelo_ctx_t* ctx, const char* id) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    return select_mode(ctx, id, nullptr);
}

// The record shows the binning parameters as width, height, dwell time.
KELO_API int kelo_chip_mode_select_ex(kelo_ctx_t* ctx, const char* id, const void* params) {
    auto* p = static_cast<const scan_params*>(params);
    SIM_ENTER(ctx, id, p ? p->width_ : 0u, p ? p->height_ : 0u, p ? p->dwell_time_ : (uint64_t)0);
    SIM_SCRIPTED();
    if (int s = ready(ctx)) return s;
    if (!p) return sim::fail(ctx, -5, "binning parameters are null");
    return select_mode(ctx, id, p);
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_chip_set_count(int count) {
    with_model([&](Model& m) { return m.chips = std::max(count, 0); });
}

KELOSIM_API void kelosim_chip_add_mode(const char* id) {
    with_model([&](Model& m) {
        m.extra_modes.emplace_back(id ? id : "");
        return 0;
    });
}

KELOSIM_API void kelosim_chip_set_calibrated(int calibrated) {
    with_model([&](Model& m) { return m.calibrated = calibrated != 0; });
}

}  // extern "C"
