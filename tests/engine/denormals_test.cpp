// The guard flushes denormals while it lives and restores the caller's mode afterwards.
#include "engine/denormals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mixengine {
namespace {

float product(float a, float b) {
    volatile float x = a, y = b;
    return x * y;
}

TEST(Denormals, GuardFlushesInsideAndRestoresOutside) {
#if defined(__x86_64__) || defined(__aarch64__)
    const float tiny = std::numeric_limits<float>::min();  // smallest normal
    ASSERT_EQ(std::fpclassify(product(tiny, 0.5f)), FP_SUBNORMAL);
    {
        ScopedFlushDenormals guard;
        EXPECT_EQ(product(tiny, 0.5f), 0.0f);
    }
    EXPECT_EQ(std::fpclassify(product(tiny, 0.5f)), FP_SUBNORMAL);
#else
    GTEST_SKIP() << "no flush-to-zero control on this processor";
#endif
}

}  // namespace
}  // namespace mixengine
