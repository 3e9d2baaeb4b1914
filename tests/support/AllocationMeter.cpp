#include "support/AllocationMeter.h"

#include <malloc.h>
#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> gMetering{false};
std::atomic<std::int64_t> gLive{0};
std::atomic<std::int64_t> gPeak{0};
std::atomic<std::int64_t> gTotal{0};
std::int64_t gSqliteStart = 0;

void* counted(std::size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    if (gMetering.load(std::memory_order_relaxed)) {
        const auto size = std::int64_t(malloc_usable_size(p));
        gTotal += size;
        const std::int64_t live = gLive += size;
        for (std::int64_t peak = gPeak.load(); live > peak && !gPeak.compare_exchange_weak(peak, live);) {
        }
    }
    return p;
}

void released(void* p) {
    if (p && gMetering.load(std::memory_order_relaxed)) gLive -= std::int64_t(malloc_usable_size(p));
    std::free(p);
}

}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void operator delete(void* p) noexcept { released(p); }
void operator delete[](void* p) noexcept { released(p); }
void operator delete(void* p, std::size_t) noexcept { released(p); }
void operator delete[](void* p, std::size_t) noexcept { released(p); }

namespace harbelle::testing {

AllocationMeter::AllocationMeter() {
    gLive = 0;
    gPeak = 0;
    gTotal = 0;
    gSqliteStart = sqlite3_memory_used();
    sqlite3_memory_highwater(1);
    gMetering = true;
}

AllocationMeter::~AllocationMeter() { gMetering = false; }

std::size_t AllocationMeter::totalBytes() const { return std::size_t(gTotal.load()); }

std::size_t AllocationMeter::peakBytes() const {
    const std::int64_t sqlite = std::max<std::int64_t>(0, sqlite3_memory_highwater(0) - gSqliteStart);
    return std::size_t(std::max<std::int64_t>(0, gPeak.load()) + sqlite);
}

}  // namespace harbelle::testing
