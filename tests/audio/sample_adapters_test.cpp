// Sample conversions at their edges, and whole-block conversion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio/sample_adapters.h"

namespace mixengine {
namespace {

TEST(SampleAdapters, IntegersToFloatByFullScale) {
    const struct {
        int16_t s;
        float x;
    } i16[] = {
        {16384, 0.5f}, {-32768, -1.0f}, {32767, 32767.0f / 32768.0f}, {0, 0.0f}, {1, 1.0f / 32768}};
    for (const auto& c : i16) EXPECT_EQ(i16_to_f32(c.s), c.x) << c.s;

    EXPECT_EQ(i32_to_f32(std::numeric_limits<int32_t>::min()), -1.0f);
    EXPECT_EQ(i32_to_f32(1 << 30), 0.5f);
    EXPECT_EQ(i32_to_f32(0), 0.0f);
    EXPECT_LE(i32_to_f32(std::numeric_limits<int32_t>::max()), 1.0f);
}

TEST(SampleAdapters, FloatToIntegersTruncatesAndSaturates) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float x;
        int16_t s16;
        int32_t s32;
    } cases[] = {
        {1.0f, 32767, 2147483647},
        {-1.0f, -32768, -2147483647 - 1},
        {0.99999f, 32767, 2147462144},  // 0.99999f * 2^31, exact in float
        {-0.00001f, 0, -21474},
        {0.5f, 16384, 1 << 30},
        {1.0f / 32768 * 1.5f, 1, 3 << 15},
        {-1.0f / 32768 * 1.5f, -1, -(3 << 15)},
        {4.0f, 32767, 2147483647},
        {-4.0f, -32768, -2147483647 - 1},
        {inf, 32767, 2147483647},
        {-inf, -32768, -2147483647 - 1},
        {nan, 0, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(f32_to_i16(c.x), c.s16) << c.x;
        EXPECT_EQ(f32_to_i32(c.x), c.s32) << c.x;
    }
}

TEST(SampleAdapters, BlocksConvertInOrderAndPadWithSilence) {
    const std::vector<int16_t> in16 = {-32768, 0, 16384, 8192};
    std::vector<float> out(3);
    block_to_f32(InputBlock(std::span<const int16_t>(in16)), 1, 3, out.data());
    EXPECT_EQ(out, (std::vector<float>{0.0f, 0.5f, 0.25f}));

    const std::vector<float> x = {1.0f, -1.0f, 0.5f};
    std::vector<int32_t> dev32(5, 7);
    f32_to_block(x.data(), 3, OutputBlock(std::span<int32_t>(dev32)));
    EXPECT_EQ(dev32, (std::vector<int32_t>{2147483647, -2147483647 - 1, 1 << 30, 0, 0}));

    std::vector<float> devf(2, 7.0f);
    f32_to_block(x.data(), 3, OutputBlock(std::span<float>(devf)));  // longer than the block
    EXPECT_EQ(devf, (std::vector<float>{1.0f, -1.0f}));
}

}  // namespace
}  // namespace mixengine
