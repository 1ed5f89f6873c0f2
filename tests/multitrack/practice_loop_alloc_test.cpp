// The practice loop stands in for the audio callback, so its ordinary blocks must not touch the
// heap. This binary replaces the global allocator to count every allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "practice_fixture.h"
#include "wav_fixture.h"

namespace {

std::atomic<long> g_allocations{0};

void* counted_alloc(std::size_t size, std::size_t align = 0) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    void* p = align > alignof(std::max_align_t)
                  ? std::aligned_alloc(align, (size + align - 1) / align * align)
                  : std::malloc(size);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) {
    return counted_alloc(n);
}
void* operator new[](std::size_t n) {
    return counted_alloc(n);
}
void* operator new(std::size_t n, std::align_val_t a) {
    return counted_alloc(n, std::size_t(a));
}
void* operator new[](std::size_t n, std::align_val_t a) {
    return counted_alloc(n, std::size_t(a));
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
    std::free(p);
}

namespace mixengine {
namespace {

using namespace testing;

long allocations_over_blocks(PracticeLoop& loop, int blocks) {
    const long before = g_allocations.load();
    for (int i = 0; i < blocks; ++i) loop.run_block();
    return g_allocations.load() - before;
}

TEST(PracticeLoopAllocations, OrdinaryBlocksNeverAllocate) {
    {
        PracticeRig rig(32, std::nullopt, 8);
        rig.loop->start();
        rig.loop->run_block();
        EXPECT_EQ(allocations_over_blocks(*rig.loop, 80), 0) << "test signals";
    }
    ScratchDir dir;
    std::vector<int16_t> samples(48000, 1000);
    write_bytes(dir.file("ch01.wav"), wav16(48000, samples));
    write_bytes(dir.file("ch02.wav"), wav16(48000, samples));
    PracticeRig rig(16, dir.path(), 8);
    rig.loop->start();
    rig.loop->run_block();
    // 80 blocks stay within the first 0.5 s, the file's second and the first progress line.
    EXPECT_EQ(allocations_over_blocks(*rig.loop, 80), 0) << "recording playback";
}

}  // namespace
}  // namespace mixengine
