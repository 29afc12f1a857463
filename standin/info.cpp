// Hardware revisions and the register bus of the simulated device (see
// info_control.h).
#include "info_control.h"
#include "sim.hpp"

#include <cstdio>
#include <iterator>

namespace {

struct Revision {
    std::string id, version;
};

struct Word {
    uint32_t address;
    uint32_t value;
    bool writable;
    int status;  // the success status the word answers
};
constexpr Word kWords[] = {
    {0x00, 0x4b454c4f, false, 0}, {0x04, 0x00020003, false, 0}, {0x08, 0x80000001, false, 0}, {0x10, 0, true, 0},
    {0x14, 0, true, 0},           {0x18, 0, true, 0},           {0x1c, 0, true, 0},           {0x20, 0, true, 101},
    {0x24, 0, true, 104},
};
constexpr int kWordCount = (int)std::size(kWords);

struct Model {
    std::mutex m;
    std::vector<Revision> revisions;
    uint32_t value[kWordCount];
};

Model& model() {
    static auto* r = new Model();  // never destroyed: threads may outlive exit
    return *r;
}

void reset_model() {
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    r.revisions = {{"firmware", "4.2.0"}, {"fpga", "2.10.0-7a3e"}, {"board", "C"}, {"readout", "1.3"}};
    for (int i = 0; i < kWordCount; ++i) r.value[i] = kWords[i].value;
}

[[maybe_unused]] const int info_part = sim::add_part({"info", reset_model, nullptr});

struct Init {
    Init() { reset_model(); }
} init;

// A text handed to the binding: valid on this thread until its next call.
const char* hand_out(const std::string& s) {
    thread_local std::string copy;
    copy = s;
    return copy.c_str();
}


std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

// The word at `address` (index into kWords), or the bus failure status with
// the last error set.
int decode(kelo_ctx_t* ctx, uint32_t address, bool write, int* index) {
    if (address % 4) return sim::fail(ctx, 102, "slave error: unaligned access at " + hex(address));
    if (address >> 16 == 0xdead) return sim::fail(ctx, 102, "slave error at " + hex(address));
    for (int i = 0; i < kWordCount; ++i)
        if (kWords[i].address == address) {
            if (write && !kWords[i].writable) return sim::fail(ctx, 102, "slave error: register " + hex(address) + " is read-only");
            *index = i;
            return 0;
        }
    return sim::fail(ctx, 103, "decode error: no slave at " + hex(address));
}

}  // namespace

extern "C" {

KELO_API int kelo_revisions_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = sim::need_open(ctx)) return s;
    if (!count) return sim::fail(ctx, -5, "count is null");
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    *count = (int)r.revisions.size();
    return 0;
}

KELO_API int kelo_revisions_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    if (int s = sim::need_open(ctx)) return s;
    if (!id) return sim::fail(ctx, -5, "id is null");
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    int n = (int)r.revisions.size();
    if (index < 0 || index >= n) return sim::fail(ctx, -3, "no revision at index " + std::to_string(index) + " (there are " + std::to_string(n) + ")");
    *id = hand_out(r.revisions[index].id);
    return 0;
}

KELO_API int kelo_revisions_string(kelo_ctx_t* ctx, const char* id, const char** version) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(version);
    if (int s = sim::need_open(ctx)) return s;
    if (!id || !version) return sim::fail(ctx, -5, "id or version is null");
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    for (auto& rev : r.revisions)
        if (rev.id == id) {
            *version = hand_out(rev.version);
            return 0;
        }
    return sim::fail(ctx, -3, std::string("no revision of '") + id + "'");
}

KELO_API int kelo_regbus_read(kelo_ctx_t* ctx, uint32_t address, uint32_t* data) {
    SIM_ENTER(ctx, address);
    SIM_SCRIPTED(data);
    if (int s = sim::need_open(ctx)) return s;
    if (!data) return sim::fail(ctx, -5, "data is null");
    int i;
    if (int s = decode(ctx, address, false, &i)) return s;
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    *data = r.value[i];
    return kWords[i].status;
}

KELO_API int kelo_regbus_write(kelo_ctx_t* ctx, uint32_t address, uint32_t data) {
    SIM_ENTER(ctx, address, data);
    SIM_SCRIPTED();
    if (int s = sim::need_open(ctx)) return s;
    int i;
    if (int s = decode(ctx, address, true, &i)) return s;
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    r.value[i] = data;
    return kWords[i].status;
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_revisions_clear(void) {
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    r.revisions.clear();
}

KELOSIM_API void kelosim_revision_add(const char* id, const char* version) {
    auto& r = model();
    std::lock_guard<std::mutex> lock(r.m);
    r.revisions.push_back({id ? id : "", version ? version : ""});
}

}  // extern "C"
