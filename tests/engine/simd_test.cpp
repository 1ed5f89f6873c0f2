// The engine's vector helpers against their one-sample-at-a-time definitions, at every length
// around the eight-sample stride and with the values that trip vector code up: NaN, infinities,
// negative zero and denormals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/simd.h"

namespace mixengine {
namespace {

std::vector<float> awkward_samples(std::size_t n, std::mt19937& rng) {
    const float special[] = {std::numeric_limits<float>::quiet_NaN(),
                             -std::numeric_limits<float>::infinity(), -0.0f, 1e-40f, -3.5f};
    std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = rng() % 7 == 0 ? special[rng() % 5] : uni(rng);
    return v;
}

TEST(Simd, PeakIsTheLargestMagnitudeIgnoringNaN) {
    std::mt19937 rng(7);
    for (std::size_t n = 0; n < 40; ++n) {
        const auto v = awkward_samples(n, rng);
        float expected = 0.0f;
        for (float x : v) expected = std::fabs(x) > expected ? std::fabs(x) : expected;
        const float got = simd::peak(v.data(), n);
        EXPECT_EQ(std::signbit(got), false) << n;
        EXPECT_EQ(got, expected) << n;
    }
}

TEST(Simd, InterleavingAndBackIsExactWithSilentAbsentChannels) {
    std::mt19937 rng(11);
    for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 23u, 64u}) {
        const std::size_t at = 3;
        std::vector<std::vector<float>> data(simd::kLanes);
        float* channels[simd::kLanes] = {};
        for (std::size_t l = 0; l < simd::kLanes; ++l) {
            data[l] = awkward_samples(at + n, rng);
            if (l != 2 && l != 7) channels[l] = data[l].data();  // two lanes have no channel
        }
        std::vector<float> frames(n * simd::kLanes, 99.0f);
        simd::interleave(channels, at, n, frames.data());
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t l = 0; l < simd::kLanes; ++l) {
                const float want = channels[l] ? data[l][at + i] : 0.0f;
                const float got = frames[i * simd::kLanes + l];
                ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want)))
                    << "n " << n << ", frame " << i << ", lane " << l;
                ASSERT_EQ(std::signbit(got), std::signbit(want));
            }

        for (float& x : frames) x = -x;
        auto before = data;
        simd::deinterleave(frames.data(), at, n, channels);
        for (std::size_t l = 0; l < simd::kLanes; ++l)
            for (std::size_t i = 0; i < at + n; ++i) {
                const float want = !channels[l] || i < at ? before[l][i] : -before[l][i];
                const float got = data[l][i];
                ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want)))
                    << "n " << n << ", sample " << i << ", lane " << l;
                ASSERT_EQ(std::signbit(got), std::signbit(want));
            }
    }
}

}  // namespace
}  // namespace mixengine
