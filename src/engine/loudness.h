// BS.1770 loudness measurement inside the engine: K-weighting in double precision and the mean
// square of consecutive 100 ms blocks, published through Meters. Turning blocks into LUFS is the
// reader's job.
#pragma once

#include <cstddef>

#include "meters.h"

namespace mixengine {

class LoudnessMeter {
public:
    explicit LoudnessMeter(float sample_rate);

    // Forgets everything: filter memories, the partial block and the coefficients.
    void reset() noexcept;

    // One chunk of the selected signal. `right` is null for single-channel sources, whose power
    // is counted once.
    void run(const float* left, const float* right, std::size_t frames, Meters& meters) noexcept;

private:
    float sample_rate_;
};

}  // namespace mixengine
