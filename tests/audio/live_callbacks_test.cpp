// The live callbacks' ring handling: input queueing and overflow, the latency trim, late input,
// update draining and output conversion, with the callbacks driven by hand.
#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "audio/live_callbacks.h"

namespace mixengine {
namespace {

struct Rig {
    // `input_capacity` 0: no input ring at all.
    Rig(uint16_t in_ch, uint16_t out_ch, std::size_t input_capacity = 16384) {
        auto [in_w, in_r] = make_spsc_ring<float>(input_capacity);
        auto [up_w, up_r] = make_spsc_ring<EngineUpdate>(kUpdateRingCapacity);
        auto [an_w, an_r] = make_spsc_ring<float>(48000);
        input_writer = std::move(in_w);
        updates = std::move(up_w);
        LiveOutputParts parts;
        parts.engine = std::make_unique<MixEngine>(48000.0f);
        parts.updates = std::move(up_r);
        if (input_capacity > 0) parts.input = std::move(in_r);
        parts.analyser = std::move(an_w);
        parts.meters = std::make_shared<Meters>(out_ch);
        parts.xruns = xruns;
        parts.in_channels = in_ch;
        parts.out_channels = out_ch;
        output = std::make_unique<LiveOutput>(std::move(parts));
    }

    void queue(std::size_t samples) {
        std::vector<float> v(samples, 0.25f);
        ASSERT_EQ(input_writer.push_some(v.data(), v.size()), samples);
    }
    std::vector<float> play(std::size_t samples) {
        std::vector<float> block(samples, 9.0f);
        (*output)(OutputBlock(std::span<float>(block)));
        return block;
    }

    std::shared_ptr<XrunCounter> xruns = std::make_shared<XrunCounter>(0);
    RingProducer<float> input_writer;
    // What the output callback has not taken yet, seen from the producer's end between blocks.
    std::size_t queued() const { return input_writer.capacity() - input_writer.free_slots(); }
    RingProducer<EngineUpdate> updates;
    std::unique_ptr<LiveOutput> output;
};

TEST(LiveInput, QueuesConvertedSamplesAndCountsOneXrunPerOverflowingBlock) {
    auto xruns = std::make_shared<XrunCounter>(0);
    auto [writer, reader] = make_spsc_ring<float>(1000);
    LiveInput input(std::move(writer), xruns, 1);

    const std::vector<int16_t> block = {16384, -32768, 0, 8192};
    input(InputBlock(std::span<const int16_t>(block)));
    std::vector<float> got(4);
    ASSERT_EQ(reader.pop_some(got.data(), 4), 4u);
    EXPECT_EQ(got, (std::vector<float>{0.5f, -1.0f, 0.0f, 0.25f}));
    EXPECT_EQ(xruns->load(), 0u);

    // 600 + 600 samples into room for 1000: the second block stops at the brim, counted once.
    std::vector<float> big(600);
    std::iota(big.begin(), big.end(), 0.0f);
    input(InputBlock(std::span<const float>(big)));
    input(InputBlock(std::span<const float>(big)));
    EXPECT_EQ(xruns->load(), 1u);
    EXPECT_EQ(reader.available(), 1000u);
    std::vector<float> all(1000);
    reader.pop_some(all.data(), 1000);
    EXPECT_EQ(all[599], 599.0f);
    EXPECT_EQ(all[600], 0.0f);
    EXPECT_EQ(all[999], 399.0f);
}

TEST(LiveInput, AnOverflowKeepsEveryLaterFrameOnItsOwnChannels) {
    // Four channels, each sample holding its channel number, into room for 10 samples: the
    // second block finds room for half a frame and must queue none of it.
    auto xruns = std::make_shared<XrunCounter>(0);
    auto [writer, reader] = make_spsc_ring<float>(10);
    LiveInput input(std::move(writer), xruns, 4);
    const std::vector<float> two_frames = {0, 1, 2, 3, 0, 1, 2, 3};
    input(InputBlock(std::span<const float>(two_frames)));
    input(InputBlock(std::span<const float>(two_frames)));
    EXPECT_EQ(xruns->load(), 1u);
    EXPECT_EQ(reader.available(), 8u);

    // One frame read leaves room for 6: the next block queues its first whole frame only.
    std::vector<float> frame(4);
    reader.pop_some(frame.data(), 4);
    input(InputBlock(std::span<const float>(two_frames)));
    EXPECT_EQ(xruns->load(), 2u);
    std::vector<float> queued(reader.available());
    ASSERT_EQ(queued.size(), 8u);
    reader.pop_some(queued.data(), queued.size());
    for (std::size_t i = 0; i < queued.size(); ++i)
        EXPECT_EQ(queued[i], static_cast<float>(i % 4)) << i;
}

TEST(LiveOutput, TrimsQueuedInputToFourBlocksOfWholeFrames) {
    // 2 input channels, a 256-frame block of 8 output channels: need = 512, keep at most 2048.
    const struct {
        std::size_t queued;
        std::size_t left_after_block;
    } cases[] = {{2048, 2048 - 512},
                 {2050, 2048 - 512},
                 {2051, 2047 - 512},
                 {600, 600 - 512},
                 {16384, 2048 - 512}};
    for (const auto& c : cases) {
        Rig rig(2, 8);
        rig.queue(c.queued);
        rig.play(256 * 8);
        EXPECT_EQ(rig.queued(), c.left_after_block) << c.queued;
        EXPECT_EQ(rig.xruns->load(), 0u) << c.queued;
    }
}

TEST(LiveOutput, LateInputPlaysSilenceCountsAnXrunAndKeepsWhatArrived) {
    Rig rig(2, 2);
    rig.queue(300);
    const auto block = rig.play(256 * 2);  // needs 512
    EXPECT_EQ(rig.xruns->load(), 1u);
    EXPECT_EQ(rig.queued(), 300u);
    EXPECT_EQ(block, std::vector<float>(512, 0.0f));

    rig.queue(300);
    rig.play(256 * 2);
    EXPECT_EQ(rig.xruns->load(), 1u);
    EXPECT_EQ(rig.queued(), 600u - 512u);
}

TEST(LiveOutput, AppliesEveryQueuedUpdateBeforeTheBlock) {
    Rig rig(2, 2);
    rig.queue(4096);
    for (std::size_t i = 0; i < 10; ++i)
        rig.updates.push(EngineUpdate(update::StripSettings{i, {}}));
    rig.play(64 * 2);
    EXPECT_EQ(rig.updates.free_slots(), kUpdateRingCapacity);
}

TEST(LiveOutput, WritesEveryDeviceSampleWhateverTheBlockShape) {
    // Oversized blocks compute 16384 frames and leave silence after them; a block that is not a
    // whole number of frames gets its tail silenced; a stream without inputs never starves.
    const struct {
        uint16_t in_ch;
        uint16_t out_ch;
        std::size_t samples;
        uint64_t xruns;
        std::size_t input_capacity = 16384;
    } cases[] = {{2, 2, 2 * 20000, 1},
                 {2, 3, 100, 1},
                 {0, 2, 512, 0},
                 {2, 0, 64, 0},
                 {2, 2, 512, 1, 0}};  // no input ring: silence, counted, no crash
    for (const auto& c : cases) {
        Rig rig(c.in_ch, c.out_ch, c.input_capacity);
        EXPECT_EQ(rig.play(c.samples), std::vector<float>(c.samples, 0.0f)) << c.samples;
        EXPECT_EQ(rig.xruns->load(), c.xruns) << c.samples;
    }
}

}  // namespace
}  // namespace mixengine
