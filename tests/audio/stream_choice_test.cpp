// Configuration choice for the recorder and the player.
#include <gtest/gtest.h>

#include "audio/stream_choice.h"

namespace mixengine {
namespace {

using F = SampleFormat;

StreamConfigRange range(uint16_t channels, uint32_t lo, uint32_t hi, F format) {
    return {channels, lo, hi, 0, 0, format};
}

TEST(ChooseStreamConfig, RanksChannelsThen48kThenF32AndPrefersTheLastOfEquals) {
    const struct {
        const char* what;
        std::vector<StreamConfigRange> ranges;
        std::optional<uint16_t> request;
        StreamChoice expected;
    } cases[] = {
        {"more channels win",
         {range(2, 44100, 48000, F::F32), range(8, 44100, 44100, F::I16)},
         std::nullopt,
         {{8, 44100, std::nullopt}, F::I16}},
        {"a request caps the channels",
         {range(2, 44100, 48000, F::F32), range(8, 44100, 44100, F::I16)},
         4,
         {{4, 44100, std::nullopt}, F::I16}},
        {"a request above the offer keeps the offer",
         {range(2, 44100, 48000, F::F32)},
         6,
         {{2, 48000, std::nullopt}, F::F32}},
        {"F32 wins a tie",
         {range(2, 8000, 96000, F::I16), range(2, 8000, 96000, F::F32)},
         std::nullopt,
         {{2, 48000, std::nullopt}, F::F32}},
        {"48 kHz beats F32",
         {range(2, 48000, 48000, F::I32), range(2, 96000, 192000, F::F32)},
         std::nullopt,
         {{2, 48000, std::nullopt}, F::I32}},
        {"without 48 kHz the top rate",
         {range(4, 88200, 96000, F::I32)},
         std::nullopt,
         {{4, 96000, std::nullopt}, F::I32}},
        {"equal keys: the last listed",
         {range(2, 44100, 48000, F::I16), range(2, 48000, 96000, F::I32)},
         std::nullopt,
         {{2, 48000, std::nullopt}, F::I32}},
    };
    for (const auto& c : cases) {
        const auto choice = choose_stream_config(c.ranges, c.request);
        ASSERT_TRUE(choice) << c.what;
        EXPECT_EQ(*choice, c.expected) << c.what;
    }
    EXPECT_EQ(choose_stream_config({}, std::nullopt), std::nullopt);
}

}  // namespace
}  // namespace mixengine
