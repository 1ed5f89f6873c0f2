// Keeps denormal numbers off the audio thread. Decaying filter and envelope tails pass through the
// denormal range, where arithmetic can be a hundred times slower; flushing them to zero is
// inaudible. The guard switches flush-to-zero and denormals-are-zero on for the current thread and
// restores the previous mode when it goes out of scope, so whichever thread runs the engine is
// protected without the engine knowing about threads.
#pragma once

#include <cstdint>

namespace mixengine {

class ScopedFlushDenormals {
  public:
    ScopedFlushDenormals() noexcept;
    ~ScopedFlushDenormals();
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;

  private:
    uint64_t saved_ = 0;
};

}  // namespace mixengine
