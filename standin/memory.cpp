// Flash memories of the simulated device: fixed layouts, contents that
// programming changes and reading returns (see memory_control.h).
#include "memory_control.h"
#include "sim.hpp"

#include <cstdarg>
#include <cstdio>
#include <iterator>

namespace {

struct RegionSpec {
    int sectors;
    uint32_t sector_size;
    bool locked;  // write-protected
};

struct Layout {
    const char* id;
    const char* part;
    uint32_t base;
    int region_count;
    RegionSpec regions[2];

    // Calls f(global index, start, size, locked) for every sector in order.
    template <class F>
    void each_sector(F f) const {
        uint64_t start = base;
        int index = 0;
        for (int r = 0; r < region_count; ++r)
            for (int s = 0; s < regions[r].sectors; ++s, ++index, start += regions[r].sector_size)
                f(index, start, regions[r].sector_size, regions[r].locked);
    }
    uint64_t end() const {  // one past the last byte: up to 2**32
        uint64_t e = base;
        each_sector([&](int, uint64_t start, uint32_t size, bool) { e = start + size; });
        return e;
    }
    size_t size() const { return (size_t)(end() - base); }
    int sector_count() const {
        int n = 0;
        for (int r = 0; r < region_count; ++r) n += regions[r].sectors;
        return n;
    }
};

constexpr Layout kLayouts[] = {
    {"config", "KF25Q016", 0x00000000u, 2, {{4, 0x1000, false}, {2, 0x10000, false}}},
    {"boot", "KF25L512", 0xffff0000u, 2, {{8, 0x1000, true}, {2, 0x4000, false}}},
};
constexpr int kMemories = (int)std::size(kLayouts);

struct Contents {
    std::mutex m;
    std::vector<uint8_t> data[kMemories];
};

Contents& contents() {
    static auto* c = new Contents();  // never destroyed: threads may outlive exit
    return *c;
}

void erase_all() {
    auto& c = contents();
    std::lock_guard<std::mutex> lock(c.m);
    for (int i = 0; i < kMemories; ++i) c.data[i].assign(kLayouts[i].size(), 0xff);
}

[[maybe_unused]] const int memory_part = sim::add_part({"memory", erase_all, nullptr});

struct Init {
    Init() { erase_all(); }
} init;

__attribute__((format(printf, 1, 2))) std::string text(const char* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

int index_of(const char* id) {
    for (int i = 0; i < kMemories; ++i)
        if (id && std::strcmp(kLayouts[i].id, id) == 0) return i;
    return -1;
}


// Checks of the functions that name a memory; 0 and *index, or the status.
int need_memory(kelo_ctx_t* ctx, const char* id, int* index) {
    if (int s = sim::need_open(ctx)) return s;
    if (!id) return sim::fail(ctx, -5, "memory id is null");
    if ((*index = index_of(id)) < 0) return sim::fail(ctx, -3, text("no flash memory '%s'", id));
    return 0;
}

int need_region(kelo_ctx_t* ctx, const Layout& l, int region) {
    if (region < 0 || region >= l.region_count)
        return sim::fail(ctx, -3, text("flash memory '%s' has no region %d (it has %d)", l.id, region, l.region_count));
    return 0;
}

std::string extent(const Layout& l) { return text("0x%08llx-0x%08llx", (unsigned long long)l.base, (unsigned long long)l.end() - 1); }

// Whether [address, address + len) lies inside the memory.
bool inside(const Layout& l, uint64_t address, uint64_t len) { return address >= l.base && address <= l.end() && len <= l.end() - address; }

// The bytes of memory `id` at [address, address + len), or null.
uint8_t* span(const char* id, uint32_t address, size_t len) {
    int m = index_of(id);
    if (m < 0 || !inside(kLayouts[m], address, len)) return nullptr;
    return contents().data[m].data() + (address - kLayouts[m].base);
}

}  // namespace

extern "C" {

KELO_API int kelo_flash_count(kelo_ctx_t* ctx, int* count) {
    SIM_ENTER(ctx);
    SIM_SCRIPTED(count);
    if (int s = sim::need_open(ctx)) return s;
    if (!count) return sim::fail(ctx, -5, "count is null");
    *count = kMemories;
    return 0;
}

KELO_API int kelo_flash_id(kelo_ctx_t* ctx, int index, const char** id) {
    SIM_ENTER(ctx, index);
    SIM_SCRIPTED(id);
    if (int s = sim::need_open(ctx)) return s;
    if (!id) return sim::fail(ctx, -5, "id is null");
    if (index < 0 || index >= kMemories) return sim::fail(ctx, -3, text("no flash memory at index %d (there are %d)", index, kMemories));
    *id = kLayouts[index].id;
    return 0;
}

KELO_API int kelo_flash_part_nr(kelo_ctx_t* ctx, const char* id, const char** partNumber) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(partNumber);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    if (!partNumber) return sim::fail(ctx, -5, "partNumber is null");
    *partNumber = kLayouts[m].part;
    return 0;
}

KELO_API int kelo_flash_regions(kelo_ctx_t* ctx, const char* id, int* count) {
    SIM_ENTER(ctx, id);
    SIM_SCRIPTED(count);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    if (!count) return sim::fail(ctx, -5, "count is null");
    *count = kLayouts[m].region_count;
    return 0;
}

KELO_API int kelo_flash_sector_count(kelo_ctx_t* ctx, const char* id, int region, int* count) {
    SIM_ENTER(ctx, id, region);
    SIM_SCRIPTED(count);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    if (int s = need_region(ctx, kLayouts[m], region)) return s;
    if (!count) return sim::fail(ctx, -5, "count is null");
    *count = kLayouts[m].regions[region].sectors;
    return 0;
}

KELO_API int kelo_flash_sector_size(kelo_ctx_t* ctx, const char* id, int region, int* size) {
    SIM_ENTER(ctx, id, region);
    SIM_SCRIPTED(size);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    if (int s = need_region(ctx, kLayouts[m], region)) return s;
    if (!size) return sim::fail(ctx, -5, "size is null");
    *size = (int)kLayouts[m].regions[region].sector_size;
    return 0;
}

KELO_API int kelo_flash_sector_address_range(kelo_ctx_t* ctx, const char* id, int sector, uint32_t* start, uint32_t* end) {
    SIM_ENTER(ctx, id, sector);
    SIM_SCRIPTED(start, end);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    const Layout& l = kLayouts[m];
    if (sector < 0 || sector >= l.sector_count())
        return sim::fail(ctx, -3, text("flash memory '%s' has no sector %d (it has %d)", l.id, sector, l.sector_count()));
    if (!start || !end) return sim::fail(ctx, -5, "start or end is null");
    l.each_sector([&](int i, uint64_t first, uint32_t size, bool) {
        if (i == sector) *start = (uint32_t)first, *end = (uint32_t)(first + size - 1);
    });
    return 0;
}

KELO_API int kelo_flash_read(kelo_ctx_t* ctx, const char* id, uint32_t address, uint8_t* data, size_t* length) {
    SIM_ENTER(ctx, id, address, length ? *length : 0);
    SIM_SCRIPTED(length);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    const Layout& l = kLayouts[m];
    if (!data || !length) return sim::fail(ctx, -5, "data or length is null");
    if (address < l.base || address >= l.end())
        return sim::fail(ctx, -3, text("address 0x%08x is outside flash memory '%s' (%s)", address, l.id, extent(l).c_str()));
    size_t n = (size_t)std::min<uint64_t>(*length, l.end() - address);  // a span past the end is cut there
    auto& c = contents();
    std::lock_guard<std::mutex> lock(c.m);
    std::memcpy(data, c.data[m].data() + (address - l.base), n);
    *length = n;
    return 0;
}

KELO_API int kelo_flash_program(kelo_ctx_t* ctx, const char* id, uint32_t address, const uint8_t* data, size_t* length) {
    SIM_ENTER(ctx, id, address, length ? *length : 0);
    SIM_SCRIPTED(length);
    int m;
    if (int s = need_memory(ctx, id, &m)) return s;
    const Layout& l = kLayouts[m];
    if (!data || !length) return sim::fail(ctx, -5, "data or length is null");
    if (!inside(l, address, *length))
        return sim::fail(ctx, -3, text("programming %zu bytes at 0x%08x leaves flash memory '%s' (%s)", *length, address, l.id, extent(l).c_str()));
    std::string locked;
    l.each_sector([&](int i, uint64_t start, uint32_t size, bool is_locked) {
        if (is_locked && locked.empty() && address < start + size && start < address + *length)
            locked = text("sector %d of flash memory '%s' (0x%08llx-0x%08llx) is write-protected", i, l.id, (unsigned long long)start,
                          (unsigned long long)(start + size - 1));
    });
    if (!locked.empty()) return sim::fail(ctx, -2, locked);
    auto& c = contents();
    std::lock_guard<std::mutex> lock(c.m);
    std::memcpy(c.data[m].data() + (address - l.base), data, *length);
    return 0;
}

// ------------------------------------------------------------ control API


KELOSIM_API int kelosim_flash_poke(const char* id, uint32_t address, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(contents().m);
    uint8_t* p = span(id, address, len);
    if (!p || (len && !data)) return -1;
    std::copy_n(data, len, p);
    return 0;
}

KELOSIM_API int kelosim_flash_peek(const char* id, uint32_t address, uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(contents().m);
    const uint8_t* p = span(id, address, len);
    if (!p || (len && !data)) return -1;
    std::copy_n(p, len, data);
    return 0;
}

}  // extern "C"
