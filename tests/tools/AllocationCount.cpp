#include "tools/AllocationCount.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<int64_t> liveBytes{0};
std::atomic<int64_t> peakBytes{0};

// Raises the peak to live unless it is already as high.
void notePeak(int64_t live) {
    int64_t peak = peakBytes.load(std::memory_order_relaxed);
    while (live > peak && !peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
    }
}

void* allocate(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    const auto bytes = static_cast<int64_t>(malloc_usable_size(p));
    notePeak(liveBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes);
    return p;
}

void release(void* p) noexcept {
    if (!p) return;
    liveBytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

namespace testtools {

int64_t liveAllocatedBytes() { return liveBytes.load(std::memory_order_relaxed); }

int64_t peakAllocatedBytes() { return peakBytes.load(std::memory_order_relaxed); }

int64_t resetPeakAllocatedBytes() {
    const int64_t live = liveBytes.load(std::memory_order_relaxed);
    peakBytes.store(live, std::memory_order_relaxed);
    return live;
}

}  // namespace testtools

// The aligned forms are left to the library: they pair with their own deletes.
void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
