// The rings under two real threads: whatever the interleaving, everything pushed arrives once and
// in order; and the meter cells' max, min and take semantics.
#include "engine/spsc_ring.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "engine/meters.h"
#include "engine/update.h"

namespace mixengine {
namespace {

TEST(SpscRing, FloatsArriveOnceAndInOrderUnderRandomBursts) {
    constexpr std::size_t kTotal = 400000;
    auto [prod, cons] = make_spsc_ring<float>(257);
    std::thread producer([&prod] {
        std::mt19937 rng(1);
        std::vector<float> burst(64);
        std::size_t next = 0;
        while (next < kTotal) {
            const std::size_t want = std::min<std::size_t>(rng() % 64 + 1, kTotal - next);
            if (rng() % 2) {
                for (std::size_t i = 0; i < want; ++i) burst[i] = float(next + i);
                next += prod.push_some(burst.data(), want);
            } else if (prod.push(float(next))) {
                ++next;
            }
            if (rng() % 8 == 0) std::this_thread::yield();
        }
    });
    std::mt19937 rng(2);
    std::vector<float> got(64);
    std::size_t expect = 0;
    bool ordered = true;
    while (expect < kTotal) {
        std::size_t n;
        if (rng() % 2) {
            n = cons.pop_some(got.data(), rng() % 64 + 1);
        } else {
            n = cons.pop(got[0]) ? 1 : 0;
        }
        for (std::size_t i = 0; i < n; ++i) ordered &= got[i] == float(expect + i);
        expect += n;
        if (rng() % 8 == 0) std::this_thread::yield();
    }
    producer.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(cons.available(), 0u);
}

TEST(SpscRing, UpdateRecordsArriveIntactAndInOrder) {
    constexpr std::size_t kTotal = 20000;
    auto [prod, cons] = make_spsc_ring<EngineUpdate>(64);
    std::thread producer([&prod] {
        for (std::size_t i = 0; i < kTotal;) {
            StripCfg cfg;
            cfg.gain_db = float(i);
            cfg.eq.resize(i % 5);
            EngineUpdate u = i % 3 ? EngineUpdate{update::StripSettings{i % 32, std::move(cfg)}}
                                   : EngineUpdate{update::SetNotch{i % 10, float(i), -6.0f}};
            if (prod.push(std::move(u)))
                ++i;
            else
                std::this_thread::yield();
        }
    });
    std::size_t expect = 0;
    bool intact = true;
    EngineUpdate u;
    while (expect < kTotal) {
        if (!cons.pop(u)) continue;
        if (expect % 3) {
            const auto* s = std::get_if<update::StripSettings>(&u);
            intact &= s && s->index == expect % 32 && s->cfg.gain_db == float(expect) &&
                      s->cfg.eq.size() == expect % 5;
        } else {
            const auto* n = std::get_if<update::SetNotch>(&u);
            intact &= n && n->output == expect % 10 && n->freq_hz == float(expect);
        }
        ++expect;
    }
    producer.join();
    EXPECT_TRUE(intact);
}

TEST(SpscRing, FullAndEmptyEdges) {
    auto [prod, cons] = make_spsc_ring<float>(3);
    const float v[5] = {1, 2, 3, 4, 5};
    EXPECT_EQ(prod.push_some(v, 5), 3u);
    EXPECT_FALSE(prod.push(9.0f));
    EXPECT_EQ(prod.free_slots(), 0u);
    EXPECT_EQ(cons.discard(1), 1u);
    EXPECT_TRUE(prod.push(4.0f));
    float out[4] = {};
    EXPECT_EQ(cons.pop_some(out, 4), 3u);
    EXPECT_EQ(out[0], 2.0f);
    EXPECT_EQ(out[2], 4.0f);
    float x;
    EXPECT_FALSE(cons.pop(x));
}

TEST(Meters, MaxMinAndTakeKeepTheExtremeSinceTheLastRead) {
    Meters m(2);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float v : {0.2f, 0.7f, 0.1f, nan, -3.0f}) meter_max(m.out_peak[1], v);
    EXPECT_EQ(meter_take(m.out_peak[1], kPeakReset), 0.7f);
    EXPECT_EQ(meter_load(m.out_peak[1]), 0.0f);

    EXPECT_EQ(meter_load(m.strip_comp[4]), 1.0f);
    meter_min(m.strip_comp[4], 1.5f);
    EXPECT_EQ(meter_load(m.strip_comp[4]), 1.0f);
    meter_min(m.strip_comp[4], 0.4f);
    meter_min(m.strip_comp[4], 0.6f);
    EXPECT_EQ(meter_take(m.strip_comp[4], kGainReset), 0.4f);
    meter_min(m.strip_comp[4], -0.5f);
    EXPECT_EQ(meter_take(m.strip_comp[4], kGainReset), 0.0f);
    meter_min(m.strip_comp[4], nan);
    EXPECT_EQ(meter_load(m.strip_comp[4]), 0.0f);
}

TEST(Meters, ConcurrentRaisesKeepTheLargest) {
    Meters m(1);
    auto raise = [&m](int offset) {
        for (int i = 0; i < 100000; ++i) meter_max(m.main_l_peak, float(i * 2 + offset) * 1e-6f);
    };
    std::thread a(raise, 0), b(raise, 1);
    a.join();
    b.join();
    EXPECT_EQ(meter_load(m.main_l_peak), float(199999) * 1e-6f);
}

}  // namespace
}  // namespace mixengine
