// Acquisition channels and the acquisition engine: a native thread per
// begun acquisition delivers detector-like data of the selected mode to the
// handler registered for its channel.
#include "sim.hpp"

#include "acquisition_control.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <latch>
#include <map>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kSide = 512, kChip = 256;  // 2x2 chips
constexpr uint64_t kFrame = kChip * kChip;
constexpr double kTicksPerNs = 0.64;  // ToA ticks of 1.5625 ns

uint64_t now_ticks() { return (uint64_t)(std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count() * kTicksPerNs); }

// ------------------------------------------------------------- settings

struct Settings {
    std::vector<std::string> channels{"ch0", "ch1"};
    double rate = 2e6;  // hits a second; <= 0: as fast as possible
    uint64_t size = 4096;
    bool replay = false;
    uint64_t seed = 1;
};

std::mutex settings_mutex;
Settings& settings() {
    static auto* s = new Settings();
    return *s;
}
Settings snapshot() {
    std::lock_guard<std::mutex> lock(settings_mutex);
    return settings();
}
std::atomic<uint64_t> delivered{0}, runs{0};

bool known_channel(const std::string& id) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    auto& c = settings().channels;
    return std::find(c.begin(), c.end(), id) != c.end();
}

// ----------------------------------------------------------------- data

enum class Kind { None, SeqToaTot, SeqToaTotVec, SeqItotEvent, SeqItotEventVec, DdToaTot, DdToaTotVec, SortedDdToaTot, Medipix, Raw, BinnedPackets, BinnedCountSums, BinnedItotSums };

Kind kind_of(const std::string& mode) {
    static const std::pair<const char*, Kind> kinds[] = {
        {"0:tpx3-seq-toa-tot", Kind::SeqToaTot},       {"0:tpx3-seq-toa-tot-vec", Kind::SeqToaTotVec},
        {"0:tpx3-seq-itot-event", Kind::SeqItotEvent}, {"0:tpx3-seq-itot-event-vec", Kind::SeqItotEventVec},
        {"0:tpx3-dd-toa-tot", Kind::DdToaTot},         {"0:tpx3-dd-toa-tot-vec", Kind::DdToaTotVec},
        {"0:tpx3-sorted-dd-toa-tot", Kind::SortedDdToaTot}, {"0:tpx-medipix", Kind::Medipix},
        {"0:raw-data", Kind::Raw},                     {"0:tpx3-binned-packets", Kind::BinnedPackets},
        {"0:tpx3-binned-count-sums", Kind::BinnedCountSums}, {"0:tpx3-binned-itot-sums", Kind::BinnedItotSums},
    };
    for (auto& [id, kind] : kinds)
        if (mode == id) return kind;
    return Kind::None;
}

// One buffer of a delivery; `has` is false when the mode has no such data.
struct View {
    const void* p = nullptr;
    uint64_t n = 0;
    bool has = false;
};
template <class T>
View view(const std::vector<T>& v, uint64_t n) {
    return {v.data(), n, true};
}
template <class T>
View view(const std::vector<T>& v) {
    return view(v, v.size());
}

// One delivery in the forms of its mode; the getters answer from it.
struct Delivery {
    std::string mode;
    View packets, addresses, toas, tots, events, itots, bins, hitcounters, itot_sums, frames, raw, tdcs[3];
    uint64_t shutter = 0;
    // What the views show.
    std::vector<toa_tot_struct> toa_tot;
    std::vector<itot_event_struct> itot_event;
    std::vector<binned_dd_toa_tot_struct> binned;
    std::vector<binning_metadata_struct> descriptors;
    std::vector<uint32_t> address_vec, toa32;
    std::vector<uint64_t> toa64, hit_sums, itot_totals, words, tdc[3];
    std::vector<uint16_t> tot16, event16, itot16, frame_counts;
};

// What an acquisition reads from its context when it starts.
struct Source {
    sim::ModeSelection selection;
    std::vector<uint8_t> mask;
    size_t mask_w = 0, mask_h = 0;
};

Source source_of(kelo_ctx_t* ctx) {
    Source s;
    s.selection = sim::selected_mode(ctx);
    s.mask = sim::pixel_mask(ctx, &s.mask_w, &s.mask_h);
    if (s.mask.size() < s.mask_w * s.mask_h) s.mask_w = s.mask_h = 0;
    return s;
}

struct Hit {
    uint32_t x, y;
    uint64_t toa;
    uint32_t tot;
    uint32_t address() const { return y * kSide + x; }
};

class Generator {
    Kind kind_;
    std::string mode_;
    scan_params bin_;
    Source src_;
    uint64_t size_;
    double gap_;  // mean ticks between clusters
    uint64_t rng_;
    uint64_t shutter_, tick_ = 0;

    uint64_t random() {  // splitmix64
        uint64_t z = (rng_ += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    double uniform() { return (double)(random() >> 11) * 0x1p-53; }
    uint32_t below(uint64_t n) { return (uint32_t)((random() >> 32) * n >> 32); }
    double exponential(double mean) { return -mean * std::log1p(-uniform()); }

    bool masked(uint32_t x, uint32_t y) const { return x < src_.mask_w && y < src_.mask_h && src_.mask[x * src_.mask_h + y]; }

    // Clusters of up to four neighbouring pixels sharing one energy; ToAs
    // grow from cluster to cluster, with a little jitter inside one.
    std::vector<Hit> hits() {
        static const uint32_t dx[] = {0, 1, 0, 1}, dy[] = {0, 0, 1, 1};
        std::vector<Hit> out;
        out.reserve(size_);
        for (uint64_t tries = 0; out.size() < size_ && tries < 64 * size_ + 64; ++tries) {  // bounded: all may be masked
            uint32_t x = below(kSide), y = below(kSide);
            if (masked(x, y)) continue;
            tick_ += 1 + (uint64_t)exponential(gap_);
            double energy = 8 + exponential(60);
            int n = 1 + (uniform() < 0.5) + (uniform() < 0.3) + (uniform() < 0.15);
            for (int k = 0; k < n && out.size() < size_; ++k) {
                uint32_t px = x + dx[k], py = y + dy[k];
                if (px >= kSide || py >= kSide || masked(px, py)) continue;
                double share = n == 1 ? 1.0 : k == 0 ? 0.55 : 0.45 / (n - 1);
                out.push_back({px, py, shutter_ + tick_ + below(24), (uint32_t)std::clamp(energy * share, 1.0, 1023.0)});
            }
        }
        return out;
    }

    // Hits of each pixel: address, number of hits, ToT sum.
    template <class It, class F>
    static void per_pixel(It b, It e, F f) {
        std::sort(b, e, [](const Hit& l, const Hit& r) { return l.address() < r.address(); });
        for (It i = b; i != e;) {
            uint64_t sum = 0;
            It j = i;
            for (; j != e && j->address() == i->address(); ++j) sum += j->tot;
            f(i->address(), (uint64_t)(j - i), sum);
            i = j;
        }
    }

    // One scan line: width bins of dwell time each.
    void bin(std::vector<Hit>& h, Delivery& d) {
        uint64_t w = bin_.width_, dwell = (uint64_t)((double)bin_.dwell_time_ * kTicksPerNs), start = shutter_ + tick_;
        for (uint64_t b = 0; b < w; ++b) {
            auto lo = h.begin() + (ptrdiff_t)(h.size() * b / w), hi = h.begin() + (ptrdiff_t)(h.size() * (b + 1) / w);
            for (auto i = lo; i != hi; ++i) i->toa = start + b * dwell + dwell * (uint64_t)(i - lo) / (uint64_t)(hi - lo);
            uint32_t offset = (uint32_t)d.binned.size();
            uint64_t itot = 0;
            per_pixel(lo, hi, [&](uint32_t a, uint64_t n, uint64_t sum) {
                d.binned.push_back({a, (uint32_t)n, (uint32_t)sum});
                itot += sum;
            });
            d.descriptors.push_back({offset, (uint32_t)d.binned.size() - offset});
            d.hit_sums.push_back((uint64_t)(hi - lo));
            d.itot_totals.push_back(itot);
        }
        tick_ += w * dwell;
    }

public:
    Generator(Source src, const Settings& s, uint64_t shutter)
        : kind_(kind_of(src.selection.mode)),
          mode_(src.selection.mode),
          bin_(src.selection.with_params ? src.selection.params : scan_params{256, 256, 1000}),
          src_(std::move(src)),
          size_(s.size),
          gap_(s.rate > 0 ? 1e9 * kTicksPerNs / s.rate : 640),
          rng_(s.seed + runs.fetch_add(1)),
          shutter_(shutter) {}

    void open_shutter(uint64_t ticks) { shutter_ = ticks, tick_ = 0; }

    std::unique_ptr<Delivery> delivery() {
        auto d = std::make_unique<Delivery>();
        d->mode = mode_;
        d->shutter = shutter_;
        std::vector<Hit> h = hits();
        bool dd = kind_ == Kind::DdToaTot || kind_ == Kind::DdToaTotVec || kind_ == Kind::SortedDdToaTot;
        switch (kind_) {
        case Kind::SortedDdToaTot:
            std::stable_sort(h.begin(), h.end(), [](const Hit& l, const Hit& r) { return l.toa < r.toa; });
            [[fallthrough]];
        case Kind::SeqToaTot:
        case Kind::DdToaTot:
            for (auto& x : h) d->toa_tot.push_back({x.address(), x.tot, x.toa});
            d->packets = view(d->toa_tot);
            break;
        case Kind::SeqToaTotVec:
        case Kind::DdToaTotVec:
            for (auto& x : h) {
                d->address_vec.push_back(x.address());
                d->tot16.push_back((uint16_t)x.tot);
                d->toa64.push_back(x.toa);
                d->toa32.push_back((uint32_t)x.toa);
            }
            d->addresses = view(d->address_vec);
            d->toas = dd ? view(d->toa64) : view(d->toa32);
            d->tots = view(d->tot16);
            break;
        case Kind::SeqItotEvent:
        case Kind::SeqItotEventVec:
            per_pixel(h.begin(), h.end(), [&](uint32_t a, uint64_t n, uint64_t sum) {
                d->itot_event.push_back({a, (uint32_t)sum, n});
                d->address_vec.push_back(a);
                d->event16.push_back((uint16_t)std::min<uint64_t>(n, UINT16_MAX));
                d->itot16.push_back((uint16_t)std::min<uint64_t>(sum, UINT16_MAX));
            });
            if (kind_ == Kind::SeqItotEvent) {
                d->packets = view(d->itot_event);
            } else {
                d->addresses = view(d->address_vec);
                d->events = view(d->event16);
                d->itots = view(d->itot16);
            }
            break;
        case Kind::Medipix:
            d->frame_counts.assign(4 * kFrame, 0);
            for (auto& x : h) {
                uint16_t& c = d->frame_counts[(x.y / kChip * 2 + x.x / kChip) * kFrame + (x.y % kChip) * kChip + x.x % kChip];
                c += c < UINT16_MAX;
            }
            d->frames = view(d->frame_counts, 4);
            break;
        case Kind::BinnedPackets:
        case Kind::BinnedCountSums:
        case Kind::BinnedItotSums:
            bin(h, *d);
            if (kind_ == Kind::BinnedPackets) d->packets = view(d->binned), d->bins = view(d->descriptors);
            if (kind_ != Kind::BinnedItotSums) d->hitcounters = view(d->hit_sums);
            if (kind_ != Kind::BinnedCountSums) d->itot_sums = view(d->itot_totals);
            break;
        case Kind::Raw:
        case Kind::None:
            break;
        }
        // TDC 0 sees a periodic signal, TDC 1 a rare one, TDC 2 nothing.
        if (dd && !h.empty()) {
            for (size_t k = 0; k < 4; ++k) d->tdc[0].push_back(h[h.size() * k / 4].toa - 40);
            if (uniform() < 0.25) d->tdc[1].push_back(h[below(h.size())].toa);
        }
        for (int i = 0; i < 3; ++i) d->tdcs[i] = view(d->tdc[i]);
        if (kind_ == Kind::Medipix) {
            d->raw = {d->frame_counts.data(), d->frame_counts.size() * sizeof(uint16_t), true};
        } else {
            for (auto& x : h)
                d->words.push_back(0xBull << 60 | (uint64_t)(x.y / kChip * 2 + x.x / kChip) << 56 | (uint64_t)(x.y % kChip) << 48 |
                                   (uint64_t)(x.x % kChip) << 40 | (x.toa & 0x3FFFFFFF) << 10 | (x.tot & 0x3FF));
            d->raw = {d->words.data(), d->words.size() * sizeof(uint64_t), true};
        }
        return d;
    }
};

}  // namespace

// One delivery, as its handler sees it.
struct kelo_acq : sim::Handle {
    const Delivery* d = nullptr;
};

namespace {

// ------------------------------------------------------------- channels

// One acquisition, shared by its worker and whoever waits for it.
struct Run {
    std::mutex m;
    std::condition_variable cv;
    bool stop = false, waits_trigger = false;
    std::atomic<bool> done{false};
    std::thread::id worker;

    void request_stop() {
        {
            std::lock_guard<std::mutex> lock(m);
            stop = true;
        }
        cv.notify_all();
    }
    void wait_done() {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return done.load(); });
    }
};

// A channel of one context. Deliveries hold it, so it outlives the context.
struct Channel {
    std::mutex m;
    std::condition_variable idle;
    kelo_acq_data_func func = nullptr;
    void* userdata = nullptr;
    Source fired;       // the data of fired deliveries: as at registration
    int busy = 0;       // handler calls in progress
    bool closed = false;  // the context is going
    std::shared_ptr<Run> run;  // begun and not yet ended
    std::thread worker;
};

// Channels by context. A registry rather than context parts, so that
// fire() and the triggers reach them while a context is being deleted.
std::mutex registry_mutex;
std::map<kelo_ctx_t*, std::map<std::string, std::shared_ptr<Channel>>>& registry() {
    static auto* r = new std::map<kelo_ctx_t*, std::map<std::string, std::shared_ptr<Channel>>>();
    return *r;
}

thread_local std::vector<const Channel*> t_inside;  // channels this thread is delivering on

// The state of a channel of the device; fails the call for another id.
int find(kelo_ctx_t* ctx, const char* id, std::shared_ptr<Channel>* out) {
    if (!id) return sim::fail(ctx, -5, "channel is null");
    if (!known_channel(id)) return sim::fail(ctx, -3, std::string("no acquisition channel '") + id + "'");
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto& ch = registry()[ctx][id];
    if (!ch) ch = std::make_shared<Channel>();
    *out = ch;
    return 0;
}

// Calls the channel's handler, outside every lock of the simulation.
bool deliver(Channel& ch, const Delivery& d) {
    kelo_acq_data_func fn;
    void* userdata;
    {
        std::lock_guard<std::mutex> lock(ch.m);
        if (ch.closed || !(fn = ch.func)) return false;
        userdata = ch.userdata;
        ++ch.busy;
    }
    t_inside.push_back(&ch);
    kelo_acq acq;
    acq.d = &d;
    fn(&acq, userdata);
    t_inside.pop_back();
    delivered.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(ch.m);
        --ch.busy;
    }
    ch.idle.notify_all();
    return true;
}

// The worker: waits for a trigger if the trigger mode wants one, then
// delivers every size/rate seconds until the shutter closes or the run
// is stopped.
void work(std::shared_ptr<Channel> ch, std::shared_ptr<Run> run, Generator gen, Settings s, double shutter) {
    {
        std::unique_lock<std::mutex> lock(run->m);
        run->cv.wait(lock, [&] { return run->stop || !run->waits_trigger; });
    }
    gen.open_shutter(now_ticks());
    auto start = Clock::now();
    auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(shutter));
    std::chrono::duration<double> interval(s.rate > 0 ? (double)s.size / s.rate : 0);
    std::unique_ptr<Delivery> d;
    for (uint64_t k = 1;; ++k) {
        auto due = start + std::chrono::duration_cast<Clock::duration>(interval * (double)k);
        if (shutter > 0 && due > end) break;
        {
            std::unique_lock<std::mutex> lock(run->m);
            if (run->cv.wait_until(lock, due, [&] { return run->stop; })) break;
        }
        if (!d || !s.replay) d = gen.delivery();
        deliver(*ch, *d);
        if (shutter > 0 && Clock::now() >= end) break;
    }
    {
        std::lock_guard<std::mutex> lock(run->m);
        run->done = true;
    }
    run->cv.notify_all();
}

void reset() {
    {
        std::lock_guard<std::mutex> lock(settings_mutex);
        settings() = Settings();
    }
    delivered = 0;
    runs = 0;
}

// Stops the context's acquisitions and waits for every delivery on it.
void context_gone(kelo_ctx_t* ctx) {
    std::map<std::string, std::shared_ptr<Channel>> channels;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        auto it = registry().find(ctx);
        if (it == registry().end()) return;
        channels = std::move(it->second);
        registry().erase(it);
    }
    for (auto& [id, ch] : channels) {
        std::shared_ptr<Run> run;
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(ch->m);
            ch->closed = true;
            run = ch->run;
            worker = std::move(ch->worker);
        }
        if (run) run->request_stop();
        if (worker.joinable()) {
            if (worker.get_id() == std::this_thread::get_id())
                worker.detach();  // deleted from its own delivery: it ends on return
            else
                worker.join();
        }
        long mine = std::count(t_inside.begin(), t_inside.end(), ch.get());
        std::unique_lock<std::mutex> lock(ch->m);
        ch->idle.wait(lock, [&] { return ch->busy <= mine; });
    }
}

[[maybe_unused]] const int acquisition_part = sim::add_part({"acquisition", reset, context_gone});

// Getters: the count or the pointer of one buffer of the delivery.
int count_of(kelo_acq_t* acq, uint64_t* out, const View& v, const char* what) {
    if (!out) return sim::fail(acq, -5, std::string(what) + ": the out-parameter is null");
    if (!v.has) return sim::fail(acq, -2, "a delivery of mode '" + acq->d->mode + "' has no " + what);
    *out = v.n;
    return 0;
}
template <class T>
int pointer_of(kelo_acq_t* acq, T** out, const View& v, const char* what) {
    if (!out) return sim::fail(acq, -5, std::string(what) + ": the out-parameter is null");
    if (!v.has) return sim::fail(acq, -2, "a delivery of mode '" + acq->d->mode + "' has no " + what);
    *out = static_cast<T*>(v.p);
    return 0;
}
int pointer_of(kelo_acq_t* acq, void* out, const View& v, const char* what) { return pointer_of(acq, static_cast<const void**>(out), v, what); }

}  // namespace

bool sim::software_trigger(kelo_ctx_t* ctx) {
    std::vector<std::shared_ptr<Run>> waiting;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        auto it = registry().find(ctx);
        if (it == registry().end()) return false;
        for (auto& [id, ch] : it->second) {
            std::lock_guard<std::mutex> chl(ch->m);
            if (ch->run) waiting.push_back(ch->run);
        }
    }
    bool any = false;
    for (auto& run : waiting) {
        std::lock_guard<std::mutex> lock(run->m);
        any = any || (run->waits_trigger && !run->stop);
        run->waits_trigger = false;
        run->cv.notify_all();
    }
    return any;
}

extern "C" {

KELO_API int kelo_acq_ch_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    SIM_NEED(ctx);
    if (!count) return sim::fail(ctx, -5, "count is null");
    std::lock_guard<std::mutex> lock(settings_mutex);
    *count = (int)settings().channels.size();
    return 0;
}

KELO_API int kelo_acq_ch_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    SIM_NEED(ctx);
    if (!id) return sim::fail(ctx, -5, "id is null");
    thread_local std::string copy;
    std::lock_guard<std::mutex> lock(settings_mutex);
    auto& c = settings().channels;
    if (index < 0 || (size_t)index >= c.size()) return sim::fail(ctx, -3, "no acquisition channel has index " + std::to_string(index));
    copy = c[index];
    *id = copy.c_str();
    return 0;
}

KELO_API int kelo_acq_set_data_callback(kelo_ctx_t* ctx, const char* channel, kelo_acq_data_func func, void* userdata) {
    SIM_ENTER(ctx, channel, (const void*)func, userdata);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    std::shared_ptr<Channel> ch;
    if (int status = find(ctx, channel, &ch)) return status;
    Source src = source_of(ctx);
    std::lock_guard<std::mutex> lock(ch->m);
    ch->func = func;
    ch->userdata = userdata;
    ch->fired = std::move(src);
    return 0;
}

KELO_API int kelo_acq_begin(kelo_ctx_t* ctx, const char* channel) {
    SIM_ENTER(ctx, channel);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    std::shared_ptr<Channel> ch;
    if (int status = find(ctx, channel, &ch)) return status;
    Source src = source_of(ctx);
    std::string mode = src.selection.mode;
    if (mode.empty()) return sim::fail(ctx, -2, "no acquisition mode is selected");
    if (kind_of(mode) == Kind::None) return sim::fail(ctx, -2, "mode '" + mode + "' cannot acquire");
    Settings s = snapshot();
    double shutter = sim::shutter_seconds(ctx);
    auto run = std::make_shared<Run>();
    run->waits_trigger = sim::trigger_mode(ctx) != "internal";
    Generator gen(std::move(src), s, now_ticks());
    std::thread finished;
    {
        std::lock_guard<std::mutex> lock(ch->m);
        if (ch->run && !ch->run->done) return sim::fail(ctx, -2, std::string("an acquisition is running on channel '") + channel + "'");
        finished = std::move(ch->worker);
        ch->run = run;
        ch->worker = std::thread(work, ch, run, std::move(gen), std::move(s), shutter);
        run->worker = ch->worker.get_id();
    }
    if (finished.joinable()) finished.join();
    return 0;
}

KELO_API int kelo_acq_end(kelo_ctx_t* ctx, const char* channel) {
    SIM_ENTER(ctx, channel);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    std::shared_ptr<Channel> ch;
    if (int status = find(ctx, channel, &ch)) return status;
    std::shared_ptr<Run> run;
    std::thread worker;
    {
        std::lock_guard<std::mutex> lock(ch->m);
        run = ch->run;
        if (!run) return sim::fail(ctx, -2, std::string("no acquisition was begun on channel '") + channel + "'");
        if (run->worker == std::this_thread::get_id())
            return sim::fail(ctx, -2, std::string("end() in a delivery of channel '") + channel + "' would wait for itself");
        worker = std::move(ch->worker);
    }
    if (worker.joinable())
        worker.join();
    else
        run->wait_done();  // another end() joins it
    std::lock_guard<std::mutex> lock(ch->m);
    if (ch->run == run) ch->run.reset();
    return 0;
}

KELO_API int kelo_acq_abort(kelo_ctx_t* ctx, const char* channel) {
    SIM_ENTER(ctx, channel);
    SIM_SCRIPTED();
    SIM_NEED(ctx);
    std::shared_ptr<Channel> ch;
    if (int status = find(ctx, channel, &ch)) return status;
    std::shared_ptr<Run> run;
    {
        std::lock_guard<std::mutex> lock(ch->m);
        run = ch->run;
    }
    if (!run) return sim::fail(ctx, -2, std::string("no acquisition was begun on channel '") + channel + "'");
    run->request_stop();
    if (run->worker != std::this_thread::get_id()) run->wait_done();
    return 0;
}

KELO_API int kelo_acq_get_last_error(kelo_acq_t* acq, const char** message) {
    SIM_ENTER(acq);
    SIM_SCRIPTED(message);
    SIM_NEED(acq);
    acq->get_error(message);
    return 0;
}

#define SIM_ACQ_GETTER(fn, Out, answer, field, what)  \
    KELO_API int fn(kelo_acq_t* acq, Out out) {       \
        SIM_ENTER(acq);                               \
        SIM_SCRIPTED(out);                            \
        SIM_NEED(acq);                                \
        return answer(acq, out, acq->d->field, what); \
    }
SIM_ACQ_GETTER(kelo_acq_tpx3_get_packet_count, uint64_t*, count_of, packets, "packets")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_packets, void*, pointer_of, packets, "packets")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_vec_length, uint64_t*, count_of, addresses, "vectors")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_pixel_address_vec, const uint32_t**, pointer_of, addresses, "address vector")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_toa_vec, const void**, pointer_of, toas, "ToA vector")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_tot_vec, const uint16_t**, pointer_of, tots, "ToT vector")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_event_vec, const uint16_t**, pointer_of, events, "event vector")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_itot_vec, const uint16_t**, pointer_of, itots, "iToT vector")
SIM_ACQ_GETTER(kelo_acq_meta_get_bin_descriptor_count, uint64_t*, count_of, bins, "bin descriptors")
SIM_ACQ_GETTER(kelo_acq_meta_get_bin_descriptors, void*, pointer_of, bins, "bin descriptors")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_binned_hitcounters_count, uint64_t*, count_of, hitcounters, "hit counters")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_binned_hitcounters, const uint64_t**, pointer_of, hitcounters, "hit counters")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_binned_itots_count, uint64_t*, count_of, itot_sums, "iToT sums")
SIM_ACQ_GETTER(kelo_acq_tpx3_get_binned_itots, const uint64_t**, pointer_of, itot_sums, "iToT sums")
SIM_ACQ_GETTER(kelo_acq_tpx_get_frame_count, uint64_t*, count_of, frames, "frames")
SIM_ACQ_GETTER(kelo_acq_tpx_get_frames, void*, pointer_of, frames, "frames")

#define SIM_ACQ_TDC_GETTER(fn, Out, answer)                                                         \
    KELO_API int fn(kelo_acq_t* acq, int tdc, Out out) {                                            \
        SIM_ENTER(acq, tdc);                                                                        \
        SIM_SCRIPTED(out);                                                                          \
        SIM_NEED(acq);                                                                              \
        if (tdc < 0 || tdc > 2) return sim::fail(acq, -3, "there is no TDC " + std::to_string(tdc)); \
        return answer(acq, out, acq->d->tdcs[tdc], "TDC ToAs");                                     \
    }
SIM_ACQ_TDC_GETTER(kelo_acq_meta_get_tdc_toas_count, uint64_t*, count_of)
SIM_ACQ_TDC_GETTER(kelo_acq_meta_get_tdc_toas, const uint64_t**, pointer_of)

KELO_API int kelo_acq_meta_get_shutter_rising_time_ticks(kelo_acq_t* acq, uint64_t* ticks) {
    SIM_ENTER(acq);
    SIM_SCRIPTED(ticks);
    SIM_NEED(acq);
    if (!ticks) return sim::fail(acq, -5, "ticks is null");
    *ticks = acq->d->shutter;
    return 0;
}

KELO_API int kelo_acq_raw_get_data(kelo_acq_t* acq, void* data, uint64_t* byteCount) {
    SIM_ENTER(acq);
    SIM_SCRIPTED(data, byteCount);
    SIM_NEED(acq);
    if (int status = pointer_of(acq, data, acq->d->raw, "raw data")) return status;
    return count_of(acq, byteCount, acq->d->raw, "raw data");
}

// ------------------------------------------------------------ control API

KELOSIM_API void kelosim_acq_channels_clear(void) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().channels.clear();
}

KELOSIM_API void kelosim_acq_channel_add(const char* id, size_t len) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().channels.emplace_back(id ? std::string(id, len) : std::string());
}

KELOSIM_API void kelosim_acq_set_rate(double hits_per_second) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().rate = hits_per_second;
}

KELOSIM_API void kelosim_acq_set_delivery_size(uint64_t hits) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().size = hits;
}

KELOSIM_API void kelosim_acq_set_replay(int on) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().replay = on != 0;
}

KELOSIM_API void kelosim_acq_set_seed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(settings_mutex);
    settings().seed = seed;
}

KELOSIM_API uint64_t kelosim_acq_deliveries(void) { return delivered.load(); }

KELOSIM_API uint64_t kelosim_acq_fire(const char* channel, uint64_t count, int threads, double* ns) {
    std::vector<std::shared_ptr<Channel>> targets;
    {
        std::lock_guard<std::mutex> lock(registry_mutex);
        for (auto& [ctx, channels] : registry()) {
            auto it = channels.find(channel ? channel : "");
            if (it != channels.end()) targets.push_back(it->second);
        }
    }
    Settings s = snapshot();
    std::atomic<uint64_t> calls{0};
    for (auto& ch : targets) {
        Source src;
        {
            std::lock_guard<std::mutex> lock(ch->m);
            if (!ch->func) continue;
            src = ch->fired;
        }
        std::unique_ptr<Delivery> d = Generator(std::move(src), s, now_ticks()).delivery();
        double* times = std::exchange(ns, nullptr);
        auto shoot = [&](int t) {
            for (uint64_t k = 0; k < count; ++k) {
                auto t0 = Clock::now();
                calls += deliver(*ch, *d);
                if (times) times[(uint64_t)t * count + k] = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
            }
        };
        if (threads <= 0) {
            shoot(0);
            continue;
        }
        std::latch start(threads);
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                start.arrive_and_wait();
                shoot(t);
            });
        for (auto& p : pool) p.join();
    }
    return calls;
}

}  // extern "C"
