// Scripting, call recording, blocking and the part registry of the
// simulated device library.
#include "sim.hpp"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <dlfcn.h>
#include <map>

namespace sim {

std::atomic<bool> recording{false};
std::atomic<int> armed{0};

namespace {

struct State {
    std::mutex m;
    std::condition_variable cv;
    std::map<std::string, std::deque<Script>> scripts;
    std::map<std::string, int> blocks;   // pending blocks per function
    std::map<std::string, int> waiting;  // calls waiting in a block
    std::map<std::string, int> released;
    std::string log;
    // Texts of used-up scripts: the binding may still be reading them.
    std::vector<std::shared_ptr<std::string>> spent;
    Script building;
    std::string building_func;
};

State& state() {
    static State* s = new State();  // never destroyed: threads may outlive exit
    return *s;
}

std::vector<Part>& parts() {
    static auto* p = new std::vector<Part>();
    return *p;
}

int gil_held() {
    using Check = int (*)();
    static Check check = (Check)dlsym(RTLD_DEFAULT, "PyGILState_Check");
    return check ? check() : -1;
}

std::string hex(const unsigned char* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

void rearm_count(State& s) {
    size_t n = s.blocks.size();
    for (auto& [k, q] : s.scripts) n += q.size();
    armed.store((int)n);
}

}  // namespace

std::string fmt_arg(const char* s) { return s ? "s:" + hex((const unsigned char*)s, std::strlen(s)) : "s:null"; }
std::string fmt_arg(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "p:%llx", (unsigned long long)(uintptr_t)p);
    return buf;
}
std::string fmt_arg(double d) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "f:%.17g", d);
    return buf;
}
std::string fmt_arg(int64_t i) { return "i:" + std::to_string(i); }
std::string fmt_arg(uint64_t u) { return "u:" + std::to_string(u); }

void Handle::set_error(const char* text, bool null) {
    std::lock_guard<std::mutex> lock(err_mutex);
    err_null = null;
    err = text ? text : "";
}

void Handle::get_error(const char** out) {
    if (!out) return;
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(err_mutex);
    if (err_null) {
        *out = nullptr;
        return;
    }
    copy = err;
    *out = copy.c_str();
}

bool is_open(kelo_ctx_t* ctx) {
    std::lock_guard<std::mutex> lock(ctx->m);
    return !ctx->opened.empty();
}

int need_open(kelo_ctx_t* ctx) {
    if (!ctx) return -5;
    return is_open(ctx) ? 0 : fail(ctx, -2, "no device is open");
}

int fail(Handle* h, int status, const std::string& text) {
    if (h) h->set_error(text.c_str());
    return status;
}

Entry::Entry(const char* name, Handle* handle, std::vector<std::string> args) : handle_(handle) {
    if (recording.load(std::memory_order_relaxed)) {
        std::string line = name;
        line += '\t' + std::to_string(gil_held());
        line += '\t' + std::to_string((unsigned long long)std::hash<std::thread::id>()(std::this_thread::get_id()));
        for (auto& a : args) line += '\t' + a;
        line += '\n';
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        s.log += line;
    }
    if (armed.load(std::memory_order_relaxed) == 0) return;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.m);
    auto b = s.blocks.find(name);
    if (b != s.blocks.end()) {
        if (--b->second == 0) s.blocks.erase(b);
        rearm_count(s);
        s.waiting[name]++;
        s.cv.notify_all();
        s.cv.wait(lock, [&] { return s.released[name] > 0; });
        s.released[name]--;
        s.waiting[name]--;
    }
    auto it = s.scripts.find(name);
    if (it == s.scripts.end() || it->second.empty()) return;
    Script& front = it->second.front();
    script_ = front;
    if (front.times > 0 && --front.times == 0) {
        for (auto& slot : front.outs)
            if (slot.s) s.spent.push_back(slot.s);
        it->second.pop_front();
        if (it->second.empty()) s.scripts.erase(it);
        rearm_count(s);
    }
}

void Entry::finish() {
    if (script_->set_error && handle_) handle_->set_error(script_->error.c_str(), script_->error_null);
}

void run_callback(bool native, const std::function<void()>& fn) {
    if (!native) {
        fn();
        return;
    }
    std::thread t(fn);
    t.join();
}

namespace {
std::atomic<bool> enum_native{false};
std::mutex contexts_mutex;
std::vector<kelo_ctx_t*>& contexts() {
    static auto* v = new std::vector<kelo_ctx_t*>();
    return *v;
}
}  // namespace

bool native_callbacks() { return enum_native.load(); }

int add_part(Part p) {
    parts().push_back(p);
    return (int)parts().size() - 1;
}

std::vector<kelo_ctx_t*> live_contexts() {
    std::lock_guard<std::mutex> lock(contexts_mutex);
    return contexts();
}

void context_born(kelo_ctx_t* ctx) {
    std::lock_guard<std::mutex> lock(contexts_mutex);
    contexts().push_back(ctx);
}

void context_gone(kelo_ctx_t* ctx) {
    {
        // Waits for a test's log line in flight to this context.
        std::lock_guard<std::mutex> lock(contexts_mutex);
        auto& v = contexts();
        v.erase(std::remove(v.begin(), v.end(), ctx), v.end());
    }
    for (auto& p : parts())
        if (p.context_gone) p.context_gone(ctx);
}

// Log lines fired by tests go to every live context. The list stays locked
// while they run, so no context is freed under them; no caller of the
// interface takes this lock while holding the interpreter lock.
void fire_log_all(const std::string& line, bool null, Severity severity) {
    std::lock_guard<std::mutex> lock(contexts_mutex);
    for (kelo_ctx_t* ctx : contexts()) {
        kelo_log_func fn;
        void* ud;
        {
            std::lock_guard<std::mutex> l(ctx->m);
            fn = ctx->log;
            ud = ctx->log_userdata;
        }
        if (fn) fn(null ? nullptr : line.c_str(), severity, ud);
    }
}

std::atomic<bool> storm{false};

void enum_set_native(bool native) { enum_native.store(native); }

void reset_parts() {
    for (auto& p : parts())
        if (p.reset) p.reset();
}

// Weak defaults of the interface between parts.
__attribute__((weak)) ModeSelection selected_mode(kelo_ctx_t*) { return {}; }
__attribute__((weak)) int chip_setting(kelo_ctx_t*, const std::string&, int, const std::string& name, double, std::string* error) {
    if (error) *error = "unknown setting '" + name + "'";
    return -3;
}
__attribute__((weak)) std::vector<uint8_t> pixel_mask(kelo_ctx_t*, size_t* width, size_t* height) {
    if (width) *width = 0;
    if (height) *height = 0;
    return {};
}
__attribute__((weak)) float shutter_seconds(kelo_ctx_t*) { return 0.1f; }
__attribute__((weak)) std::string trigger_mode(kelo_ctx_t*) { return "internal"; }
__attribute__((weak)) bool board_powered(kelo_ctx_t*, const std::string&) { return true; }
__attribute__((weak)) bool software_trigger(kelo_ctx_t*) { return false; }
__attribute__((weak)) void board_power_changed(kelo_ctx_t*, const std::string&, bool) {}

}  // namespace sim

void kelo_ctx::log_line(Severity severity, const std::string& line) {
    kelo_log_func fn;
    void* ud;
    {
        std::lock_guard<std::mutex> lock(m);
        fn = log;
        ud = log_userdata;
    }
    if (fn) fn(line.c_str(), severity, ud);
}

// ------------------------------------------------------------ control API

using sim::state;

extern "C" {

KELOSIM_API void kelosim_reset(void) {
    {
        auto& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        s.scripts.clear();
        s.blocks.clear();
        for (auto& [k, n] : s.waiting) s.released[k] += n;  // let blocked calls go
        s.log.clear();
        s.spent.clear();
        s.building = sim::Script();
        sim::rearm_count(s);
        s.cv.notify_all();
    }
    sim::enum_set_native(false);
    sim::storm.store(false);
    sim::reset_parts();
}

KELOSIM_API void kelosim_script_begin(const char* func, int status, int times) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.building = sim::Script();
    s.building.status = status;
    s.building.times = times;
    s.building_func = func ? func : "";
}

KELOSIM_API void kelosim_script_error(const char* text, size_t len, int is_null) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.building.set_error = true;
    s.building.error_null = is_null != 0;
    s.building.error = text ? std::string(text, len) : std::string();
}

namespace {
void push_slot(sim::Slot slot) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.building.outs.push_back(std::move(slot));
}
}  // namespace

KELOSIM_API void kelosim_script_out_keep(void) { push_slot({}); }
KELOSIM_API void kelosim_script_out_int(int64_t value) {
    sim::Slot s;
    s.kind = sim::Slot::Int;
    s.i = value;
    push_slot(s);
}
KELOSIM_API void kelosim_script_out_uint(uint64_t value) {
    sim::Slot s;
    s.kind = sim::Slot::Uint;
    s.u = value;
    push_slot(s);
}
KELOSIM_API void kelosim_script_out_real(double value) {
    sim::Slot s;
    s.kind = sim::Slot::Real;
    s.d = value;
    push_slot(s);
}
KELOSIM_API void kelosim_script_out_text(const char* text, size_t len) {
    sim::Slot s;
    s.kind = sim::Slot::Text;
    s.s = std::make_shared<std::string>(text ? std::string(text, len) : std::string());
    push_slot(s);
}
KELOSIM_API void kelosim_script_out_null(void) {
    sim::Slot s;
    s.kind = sim::Slot::Null;
    push_slot(s);
}
KELOSIM_API void kelosim_script_out_ptr(uintptr_t value) {
    sim::Slot s;
    s.kind = sim::Slot::Ptr;
    s.p = value;
    push_slot(s);
}

KELOSIM_API void kelosim_script_commit(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.scripts[s.building_func].push_back(std::move(s.building));
    s.building = sim::Script();
    sim::rearm_count(s);
}

KELOSIM_API void kelosim_unscript(const char* func) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.scripts.erase(func ? func : "");
    sim::rearm_count(s);
}

KELOSIM_API void kelosim_record(int on) { sim::recording.store(on != 0); }

KELOSIM_API size_t kelosim_calls(char* buf, size_t cap) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (buf && cap) std::memcpy(buf, s.log.data(), std::min(cap, s.log.size()));
    return s.log.size();
}

KELOSIM_API void kelosim_clear_calls(void) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.log.clear();
}

KELOSIM_API void kelosim_block(const char* func) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.blocks[func ? func : ""]++;
    sim::rearm_count(s);
}

KELOSIM_API int kelosim_wait_blocked(const char* func, int timeout_ms) {
    auto& s = state();
    std::unique_lock<std::mutex> lock(s.m);
    std::string name = func ? func : "";
    return s.cv.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return s.waiting[name] > 0; }) ? 1 : 0;
}

KELOSIM_API void kelosim_release(const char* func) {
    auto& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.released[func ? func : ""]++;
    s.cv.notify_all();
}

KELOSIM_API int kelosim_live_contexts(void) { return (int)sim::live_contexts().size(); }

KELOSIM_API void kelosim_enum_native(int native) { sim::enum_set_native(native != 0); }

KELOSIM_API void kelosim_fire_log(const char* text, size_t len, int is_null, int severity, int native) {
    std::string line = text ? std::string(text, len) : std::string();
    sim::run_callback(native != 0, [&] { sim::fire_log_all(line, is_null != 0, (Severity)severity); });
}

KELOSIM_API void kelosim_log_storm(int on) {
    if (!on) {
        sim::storm.store(false);
        return;
    }
    if (sim::storm.exchange(true)) return;
    // Detached: it must never hold up the exit of the process.
    std::thread([] {
        while (sim::storm.load()) {
            sim::fire_log_all("storm", false, Debug);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }).detach();
}

}  // extern "C"
