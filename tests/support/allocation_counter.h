// Counts heap traffic in the *_alloc_test binaries, which replace the global allocator (the
// replacement lives in allocation_counter.cpp and is linked into those binaries only). Counting
// covers every thread while it is switched on.
#pragma once

namespace mixengine::testing {

struct HeapTraffic {
    long allocations = 0;
    long frees = 0;
};

// Starts counting from zero.
void start_counting_heap() noexcept;

// Stops counting and returns what was counted since the start.
HeapTraffic stop_counting_heap() noexcept;

}  // namespace mixengine::testing
