#include "suppression/notch_bank.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace mixengine {
namespace {

FbaCfg with_mode(const char* mode) {
    FbaCfg cfg;
    cfg.mode = mode;
    return cfg;
}

// Frequencies a given number of octaves above 1 kHz.
float octaves_above_1k(double octaves) {
    return static_cast<float>(1000.0 * std::exp2(octaves));
}

std::string describe(const NotchOutcome& o) {
    if (const auto* p = std::get_if<notch::Placed>(&o))
        return "placed " + std::to_string(p->depth_db);
    if (const auto* r = std::get_if<notch::Replaced>(&o))
        return "replaced " + std::to_string(r->depth_db) + " evicting " +
               std::to_string(r->evicted_hz);
    return "exhausted";
}

TEST(NotchBank, ReportsWithinAWholeToneDeepenTheNotchUntilMaxCut) {
    const struct {
        const char* name;
        std::vector<float> reports;
        FbaCfg cfg;
        std::vector<std::string> outcomes;
        std::size_t notches;
    } cases[] = {
        {"1/7 octave deepens",
         {1000.0f, octaves_above_1k(1.0 / 7)},
         {},
         {"placed -6.000000", "placed -9.000000"},
         1},
        {"1/5 octave adds",
         {1000.0f, octaves_above_1k(1.0 / 5)},
         {},
         {"placed -6.000000", "placed -6.000000"},
         2},
        {"deepest, then exhausted",
         {1000, 1000, 1000, 1000, 1000, 1000, 1000},
         {},
         {"placed -6.000000", "placed -9.000000", "placed -12.000000", "placed -15.000000",
          "placed -18.000000", "exhausted", "exhausted"},
         1},
        {"a step past max_cut stops at it",
         {1000, 1000},
         [] {
             FbaCfg c;
             c.step = -20.0f;
             return c;
         }(),
         {"placed -6.000000", "placed -18.000000"},
         1},
        {"first_cut below max_cut starts at max_cut",
         {1000},
         [] {
             FbaCfg c;
             c.first_cut = -20.0f;
             return c;
         }(),
         {"placed -18.000000"},
         1},
        {"max_notches 0 in live has nothing to evict",
         {1000},
         [] {
             FbaCfg c;
             c.max_notches = 0;
             return c;
         }(),
         {"exhausted"},
         0},
    };
    for (const auto& c : cases) {
        NotchBank bank(48000.0);
        std::vector<std::string> got;
        double now = 0.0;
        for (const float f : c.reports) got.push_back(describe(bank.place(f, now += 1.0, c.cfg)));
        EXPECT_EQ(got, c.outcomes) << c.name;
        ASSERT_EQ(bank.notches().size(), c.notches) << c.name;
        if (!bank.notches().empty()) {
            EXPECT_EQ(bank.notches()[0].freq_hz, c.reports[0]) << "a notch keeps its frequency";
            if (c.notches == 1) {
                EXPECT_EQ(bank.notches()[0].time_s, now)
                    << c.name << ": every report refreshes the time, even an exhausted one";
            }
        }
    }
}

TEST(NotchBank, AFullBankEvictsTheOldestLiveNotchOrIsExhausted) {
    const struct {
        const char* name;
        const char* mode;
        uint64_t max_notches;
        std::size_t fixed_first;  // that many of the first notches are fixed
        std::string outcome;
    } cases[] = {
        {"live evicts the oldest", "live", 12, 0, "replaced -6.000000 evicting 100.000000"},
        {"live skips fixed notches", "live", 12, 2, "replaced -6.000000 evicting 156.250000"},
        {"live with every notch fixed", "live", 12, 12, "exhausted"},
        {"fixed never evicts", "fixed", 12, 0, "exhausted"},
        {"max_notches above 12 acts as 12", "fixed", 20, 0, "exhausted"},
        {"a lower max_notches fills sooner", "live", 3, 0,
         "replaced -6.000000 evicting 100.000000"},
    };
    for (const auto& c : cases) {
        NotchBank bank(48000.0);
        FbaCfg cfg = with_mode(c.mode);
        cfg.max_notches = c.max_notches;
        const std::size_t fill = std::min<uint64_t>(c.max_notches, 12);
        // 100 Hz * 1.25^k: each a third of an octave from the next. All placed at the same time,
        // so the earliest in bank order is the oldest.
        float f = 100.0f;
        for (std::size_t k = 0; k < fill; ++k, f *= 1.25f) {
            bank.place(f, 5.0, k < c.fixed_first ? with_mode("fixed") : cfg);
        }
        ASSERT_EQ(bank.notches().size(), fill) << c.name;
        EXPECT_EQ(describe(bank.place(f, 6.0, cfg)), c.outcome) << c.name;
        EXPECT_EQ(bank.notches().size(), fill) << c.name;
    }
}

TEST(NotchBank, EvictionPicksTheLeastRecentlyReportedNotch) {
    NotchBank bank(48000.0);
    FbaCfg cfg;
    cfg.max_notches = 3;
    bank.place(100.0f, 1.0, cfg);
    bank.place(200.0f, 2.0, cfg);
    bank.place(400.0f, 3.0, cfg);
    bank.place(100.0f, 4.0, cfg);  // refreshed: now the newest
    EXPECT_EQ(describe(bank.place(800.0f, 5.0, cfg)), "replaced -6.000000 evicting 200.000000");
    std::vector<float> order;
    for (const Notch& n : bank.notches()) order.push_back(n.freq_hz);
    EXPECT_EQ(order, (std::vector<float>{100.0f, 400.0f, 800.0f}));
}

TEST(NotchBank, AFixedReportMakesANotchFixedForGood) {
    NotchBank bank(48000.0);
    bank.place(1000.0f, 0.0, FbaCfg{});
    bank.place(1000.0f, 0.0, with_mode("fixed"));
    bank.place(1000.0f, 0.0, FbaCfg{});
    ASSERT_EQ(bank.notches().size(), 1u);
    EXPECT_TRUE(bank.notches()[0].fixed);
    EXPECT_TRUE(bank.release(1000.0, FbaCfg{}).empty());
}

TEST(NotchBank, ReleaseRaisesExpiredNotchesOneDbAPassAndRemovesThemAtMinus1_5) {
    using Changes = std::vector<std::string>;
    const struct {
        float hold_s;
        std::vector<std::pair<double, Changes>> passes;
    } cases[] = {
        {10.0f,
         {{9.9, {}},
          {10.0, {"remove 1000"}},  // -2.5 + 1 = -1.5: gone
          {14.9, {}},
          {15.0, {"raise 2000 -5.0"}},
          {17.0, {"raise 2000 -4.0"}},
          {19.0, {"raise 2000 -3.0"}},
          {21.0, {"raise 2000 -2.0"}},
          {23.0, {"remove 2000"}}}},
        {0.0f, {{0.0, {"remove 1000"}}, {0.0, {}}, {5.0, {"raise 2000 -5.0"}}}},
        {-1.0f, {{5.0, {"remove 1000", "raise 2000 -5.0"}}}},
    };
    for (const auto& c : cases) {
        FbaCfg cfg;
        cfg.hold_s = c.hold_s;
        NotchBank bank(48000.0);
        cfg.first_cut = -2.5f;
        bank.place(1000.0f, 0.0, cfg);
        cfg.first_cut = -6.0f;
        bank.place(2000.0f, 5.0, cfg);
        bank.place(4500.0f, 0.0, with_mode("fixed"));  // never released
        for (const auto& [now, expected] : c.passes) {
            Changes got;
            char text[64];
            for (const NotchChange& change : bank.release(now, cfg)) {
                if (const auto* r = std::get_if<notch::Raised>(&change)) {
                    std::snprintf(text, sizeof text, "raise %.0f %.1f", r->freq_hz, r->depth_db);
                } else {
                    std::snprintf(text, sizeof text, "remove %.0f",
                                  std::get<notch::Removed>(change).freq_hz);
                }
                got.push_back(text);
            }
            EXPECT_EQ(got, expected) << "hold " << c.hold_s << " at " << now;
        }
        EXPECT_EQ(bank.notches().back().freq_hz, 4500.0f);
        EXPECT_EQ(bank.notches().back().depth_db, -6.0f);
    }
}

TEST(NotchBank, ClearEmptiesTheBank) {
    NotchBank bank(48000.0);
    bank.place(1000.0f, 0.0, with_mode("fixed"));
    bank.place(3000.0f, 0.0, FbaCfg{});
    bank.clear();
    EXPECT_TRUE(bank.notches().empty());
    EXPECT_EQ(describe(bank.place(1000.0f, 0.0, FbaCfg{})), "placed -6.000000");
}

}  // namespace
}  // namespace mixengine
