// The global allocator of the *_alloc_test binaries: malloc and free underneath, counted while
// counting is switched on.
#include "support/allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
std::atomic<long> g_frees{0};

void* counted_alloc(std::size_t size, std::size_t align = 0) {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
    if (size == 0) size = 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (size + align - 1) / align * align)
                  : std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

void* counted_alloc_nothrow(std::size_t size, std::size_t align = 0) noexcept {
    try {
        return counted_alloc(size, align);
    } catch (...) {
        return nullptr;
    }
}

void counted_free(void* p) noexcept {
    if (!p) return;
    if (g_counting.load(std::memory_order_relaxed)) g_frees.fetch_add(1);
    std::free(p);
}

}  // namespace

namespace mixengine::testing {

void start_counting_heap() noexcept {
    g_allocations = 0;
    g_frees = 0;
    g_counting = true;
}

HeapTraffic stop_counting_heap() noexcept {
    g_counting = false;
    return {g_allocations.load(), g_frees.load()};
}

}  // namespace mixengine::testing

void* operator new(std::size_t n) { return counted_alloc(n); }
void* operator new[](std::size_t n) { return counted_alloc(n); }
void* operator new(std::size_t n, std::align_val_t a) { return counted_alloc(n, std::size_t(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return counted_alloc(n, std::size_t(a)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return counted_alloc_nothrow(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return counted_alloc_nothrow(n);
}
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted_alloc_nothrow(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return counted_alloc_nothrow(n, std::size_t(a));
}
void operator delete(void* p) noexcept { counted_free(p); }
void operator delete[](void* p) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t) noexcept { counted_free(p); }
void operator delete(void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { counted_free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { counted_free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { counted_free(p); }
