// The practice loop stands in for the audio callback, so its ordinary blocks must not touch the
// heap. This binary replaces the global allocator to count every allocation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "practice_fixture.h"
#include "support/allocation_counter.h"
#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;

long allocations_over_blocks(PracticeLoop& loop, int blocks) {
    testing::start_counting_heap();
    for (int i = 0; i < blocks; ++i) loop.run_block();
    return testing::stop_counting_heap().allocations;
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
