#include "analysis/meter_reading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

namespace mixengine {
namespace {

struct Reading {
    Meters meters{4};
    LoudnessIntegrator loudness;
    std::atomic<bool> loud_reset{false};
    Json read(std::size_t outputs = 4, uint64_t xruns = 0) {
        return read_meter_message(meters, loudness, loud_reset, outputs, xruns);
    }
};

double f32(float v) {
    return static_cast<double>(v);
}

TEST(MeterReading, ReportsTheExtremesSinceTheLastReadAndResetsThem) {
    Reading r;
    meter_max(r.meters.strip_peak[5], 0.5f);
    meter_min(r.meters.strip_gate[6], 0.25f);
    meter_min(r.meters.strip_comp[7], 0.125f);
    meter_min(r.meters.strip_amix[31], 0.75f);
    meter_max(r.meters.bus_peak[7], 0.5f);
    meter_min(r.meters.bus_comp[0], 0.5f);
    meter_max(r.meters.out_peak[3], 1.0f);
    meter_max(r.meters.main_l_peak, 0.25f);
    meter_max(r.meters.main_r_peak, 0.75f);
    meter_min(r.meters.main_comp, 0.5f);
    meter_max(r.meters.mono_peak, 0.125f);
    meter_min(r.meters.mono_comp, 0.25f);

    const Json first = r.read();
    EXPECT_EQ(first["in"][5], 0.5);
    EXPECT_EQ(first["in"][4], 0.0);
    EXPECT_EQ(first["gate"][6], 0.25);
    EXPECT_EQ(first["gate"][5], 1.0);
    EXPECT_EQ(first["dyn"][7], 0.125);
    EXPECT_EQ(first["amix"][31], 0.75);
    EXPECT_EQ(first["bus"][7], 0.5);
    EXPECT_EQ(first["busGR"][0], 0.5);
    EXPECT_EQ(first["out"][3], 1.0);
    EXPECT_EQ(first["main"], Json::array({0.25, 0.75}));
    EXPECT_EQ(first["mainGR"], 0.5);
    EXPECT_EQ(first["mono"], 0.125);
    EXPECT_EQ(first["monoGR"], 0.25);

    const Json second = r.read();
    for (const char* peak : {"in", "bus", "out", "main"})
        for (const auto& v : second[peak]) EXPECT_EQ(v, 0.0) << peak;
    for (const char* gain : {"gate", "dyn", "amix", "busGR"})
        for (const auto& v : second[gain]) EXPECT_EQ(v, 1.0) << gain;
    EXPECT_EQ(second["mainGR"], 1.0);
    EXPECT_EQ(second["mono"], 0.0);
    EXPECT_EQ(second["monoGR"], 1.0);
}

TEST(MeterReading, HasEveryKeyAtItsLength) {
    Reading r;
    const Json m = r.read(4, 17);
    std::set<std::string> keys;
    for (const auto& [k, v] : m.items()) keys.insert(k);
    EXPECT_EQ(keys,
              (std::set<std::string>{"amix", "bus", "busGR", "dyn", "gate", "in", "loud", "main",
                                     "mainGR", "mono", "monoGR", "out", "t", "xruns"}));
    EXPECT_EQ(m["t"], "m");
    for (const char* k : {"in", "gate", "dyn", "amix"}) EXPECT_EQ(m[k].size(), 32u) << k;
    for (const char* k : {"bus", "busGR"}) EXPECT_EQ(m[k].size(), 8u) << k;
    EXPECT_TRUE(m["xruns"].is_number_unsigned());
    EXPECT_EQ(m["xruns"], 17u);
    EXPECT_TRUE(m["loud"].is_null());
    // Integers stay integers, single-precision values are widened, 1.0 keeps its fraction.
    const std::string line = to_line(m);
    EXPECT_NE(line.find("\"xruns\":17"), std::string::npos) << line;
    EXPECT_NE(line.find("\"mainGR\":1.0"), std::string::npos) << line;
    EXPECT_NE(line.find("\"loud\":null"), std::string::npos) << line;
}

TEST(MeterReading, ReportsOnlyTheOutputsAskedFor) {
    struct Case {
        std::size_t outputs, reported;
    };
    for (const Case c : {Case{0, 0}, Case{2, 2}, Case{4, 4}, Case{10, 4}}) {
        Reading r;
        for (auto& cell : r.meters.out_peak) meter_max(cell, 0.5f);
        EXPECT_EQ(r.read(c.outputs)["out"].size(), c.reported) << c.outputs;
        // Entries beyond the reported ones keep their value for later.
        for (std::size_t i = c.reported; i < r.meters.out_peak.size(); ++i)
            EXPECT_EQ(meter_load(r.meters.out_peak[i]), 0.5f) << c.outputs;
    }
}

TEST(MeterReading, RoundsToFourDecimalsInSinglePrecision) {
    struct Case {
        float raw, expected;
    };
    for (const Case c : {Case{0.12345678f, 0.1235f}, Case{0.12344f, 0.1234f}, Case{0.00004f, 0.0f},
                         Case{0.00005f, 0.0001f}, Case{1.0f, 1.0f}, Case{0.99999f, 1.0f}}) {
        Reading r;
        meter_max(r.meters.strip_peak[0], c.raw);
        const Json m = r.read();
        EXPECT_EQ(m["in"][0].get<double>(), f32(c.expected)) << c.raw;
        EXPECT_EQ(round_meter(c.raw), c.expected) << c.raw;
    }
    // The printed text is the double expansion of the single-precision value.
    Reading r;
    meter_max(r.meters.mono_peak, 0.1234f);
    EXPECT_NE(to_line(r.read()).find("\"mono\":0.1234000027179718"), std::string::npos);
}

TEST(MeterReading, LoudnessIsNullUntilABlockAndAfterAReset) {
    Reading r;
    EXPECT_TRUE(r.read()["loud"].is_null());
    meter_store(r.meters.loud_ms, 0.5f);
    r.meters.loud_blocks.fetch_add(1);
    const Json with_block = r.read();
    ASSERT_TRUE(with_block["loud"].is_array());
    const double m = std::round(10.0 * (-0.691 + 10.0 * std::log10(0.5))) / 10.0;
    EXPECT_EQ(with_block["loud"], Json::array({m, m, -120.0}));
    EXPECT_EQ(r.read()["loud"], with_block["loud"]) << "repeated while no block arrives";

    r.loud_reset = true;
    EXPECT_TRUE(r.read()["loud"].is_null());
    EXPECT_FALSE(r.loud_reset.load()) << "the request is consumed";
    EXPECT_TRUE(r.read()["loud"].is_null());
    r.meters.loud_blocks.fetch_add(1);
    EXPECT_EQ(r.read()["loud"], Json::array({m, m, -120.0}));
}

}  // namespace
}  // namespace mixengine
