// The 4096-point transform: made without throwing, forward and unnormalised, and each transform
// planned on its own.
#include "engine/fft4096.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace mixengine {
namespace {

static_assert(noexcept(Fft4096::create()));

TEST(Fft4096, IsForwardAndUnnormalised) {
    constexpr double kN = Fft4096::kSize;
    // x[i] = exp(2 pi j k i / N) gathers in bin k with magnitude N; the forward sign puts it at
    // bin k, not N - k.
    for (std::size_t k : {0u, 1u, 7u, 2048u, 4095u}) {
        auto fft = Fft4096::create();
        ASSERT_TRUE(fft);
        for (std::size_t i = 0; i < Fft4096::kSize; ++i) {
            const double ph = 2.0 * std::numbers::pi * double(k) * double(i) / kN;
            fft->data()[i] = {float(std::cos(ph)), float(std::sin(ph))};
        }
        fft->execute();
        for (std::size_t j = 0; j < Fft4096::kSize; ++j) {
            const double want = j == k ? kN : 0.0;
            ASSERT_NEAR(std::abs(fft->data()[j]), want, 0.05) << "tone at " << k << ", bin " << j;
        }
    }
}

TEST(Fft4096, StartsFromAZeroedBufferOfItsOwn) {
    auto a = Fft4096::create(), b = Fft4096::create();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a->data(), b->data());
    for (std::size_t i = 0; i < Fft4096::kSize; ++i) ASSERT_EQ(a->data()[i], std::complex<float>{});
    b->data()[0] = {1.0f, 0.0f};  // an impulse reads 1 in every bin; the other stays silent
    a->execute();
    b->execute();
    for (std::size_t j = 0; j < Fft4096::kSize; j += 511) {
        EXPECT_EQ(b->data()[j], std::complex<float>(1.0f, 0.0f)) << j;
        EXPECT_EQ(a->data()[j], std::complex<float>{}) << j;
    }
}

}  // namespace
}  // namespace mixengine
