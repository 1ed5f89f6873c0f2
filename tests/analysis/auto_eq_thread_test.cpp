// One auto-EQ pass at a time: requests and feed rings in, curve updates and "aeq" lines out.
#include "analysis/auto_eq_thread.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <string>
#include <variant>
#include <vector>

#include "control/telemetry.h"
#include "support/fed_worker_rig.h"

namespace mixengine {
namespace {

constexpr float kThreadRate = 48000.0f;

// The analysis is `worker`, its requests go on `links.commands`.
struct Rig : testing::FedWorkerRig<AutoEqAnalysis> {
    Rig() : FedWorkerRig(kThreadRate) { capture_output_for_tests(&output); }
    ~Rig() { capture_output_for_tests(nullptr); }

    // Pushes `n` samples of a 1 kHz tone with a 3 kHz partial into target t's ring.
    void feed(std::size_t t, std::size_t n, float amp = 0.3f) {
        std::vector<float> x(n);
        for (std::size_t i = 0; i < n; ++i, ++frame) {
            const double ph = 2.0 * std::numbers::pi * double(frame) / kThreadRate;
            x[i] = amp * static_cast<float>(std::sin(1000.0 * ph) + 0.2 * std::sin(3150.0 * ph));
        }
        links.feeds[t].push_some(x.data(), x.size());
    }

    std::vector<Json> lines() {
        std::vector<Json> out;
        std::size_t start = 0;
        for (std::size_t end; (end = output.find('\n', start)) != std::string::npos;
             start = end + 1)
            out.push_back(Json::parse(output.substr(start, end - start)));
        output.clear();
        return out;
    }

    std::vector<update::AutoEqCurve> curves() {
        std::vector<update::AutoEqCurve> out;
        EngineUpdate u;
        while (updates.pop(u)) out.push_back(std::get<update::AutoEqCurve>(u));
        return out;
    }

    std::string output;
    uint64_t frame = 0;
};

AutoEqCfg on_cfg() {
    AutoEqCfg c;
    c.on = true;
    c.curve = "flat";
    c.speed_s = 1.0f;  // corrections after 1 s of signal
    return c;
}

TEST(AutoEqAnalysis, TargetNamesFollowTheirIndices) {
    const std::pair<std::size_t, const char*> names[] = {
        {0, "in.1"}, {31, "in.32"}, {32, "bus.1"}, {39, "bus.8"}, {40, "main"}, {41, "mono"}};
    for (const auto& [t, name] : names) EXPECT_EQ(auto_eq_target_name(t), name);
}

// Every target's correction travels as a curve update for its own index and an "aeq" line with its
// name; targets that are off are drained without a word; a request for an unknown target is
// dropped.
TEST(AutoEqAnalysis, CorrectionsReachTheEngineAndTheFrontEndPerTarget) {
    Rig rig;
    const std::size_t on_targets[] = {3, 35, 40, 41};
    for (std::size_t t : on_targets) rig.links.commands.send({t, on_cfg()});
    rig.links.commands.send({42, on_cfg()});
    rig.links.commands.send({1000, on_cfg()});
    for (int pass = 0; pass < 15; ++pass) {
        for (std::size_t t = 0; t < kAutoEqTargets; ++t) rig.feed(t, 4800);
        rig.worker->pass();
        for (std::size_t t = 0; t < kAutoEqTargets; ++t)
            ASSERT_EQ(rig.worker->analyzer(t).elapsed_s() > 0.0f,
                      t == 3 || t == 35 || t == 40 || t == 41)
                << t;
    }
    for (std::size_t t = 0; t < kAutoEqTargets; ++t) {
        EXPECT_EQ(rig.worker->config(t).on, t == 3 || t == 35 || t == 40 || t == 41) << t;
    }
    const auto curves = rig.curves();
    const auto lines = rig.lines();
    ASSERT_EQ(curves.size(), lines.size());
    ASSERT_FALSE(curves.empty());
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const std::size_t t = curves[k].target;
        EXPECT_EQ(lines[k]["t"], "aeq");
        EXPECT_EQ(lines[k]["id"], auto_eq_target_name(t));
        EXPECT_EQ(lines[k]["on"], true);
        ASSERT_EQ(lines[k]["g"].size(), kAutoEqBands);
        ASSERT_EQ(curves[k].gains_db.size(), kAutoEqBands);
        for (std::size_t i = 0; i < kAutoEqBands; ++i) {
            EXPECT_EQ(lines[k]["g"][i].get<double>(), double(curves[k].gains_db[i]));
            EXPECT_LE(curves[k].gains_db[i], 0.0f);
        }
    }
    for (std::size_t t : on_targets) {
        const auto& g = rig.worker->analyzer(t).corrections();
        EXPECT_EQ(std::vector<float>(g.begin(), g.end()),
                  [&] {
                      std::vector<float> last;
                      for (const auto& c : curves)
                          if (c.target == t) last = c.gains_db;
                      return last;
                  }())
            << "the last update carries the current correction of " << t;
    }
    // Every ring was emptied, on or off.
    for (const auto& f : rig.links.feeds)
        EXPECT_EQ(f.free_slots(), AutoEqAnalysis::kThread.samples);
}

// Switching off says so once, with 31 zeros and no engine update; switching on again starts the
// measurement afresh.
TEST(AutoEqAnalysis, SwitchingOffReportsZerosOnceAndForgetsTheMeasurement) {
    Rig rig;
    rig.links.commands.send({7, on_cfg()});
    for (int pass = 0; pass < 15; ++pass) {
        rig.feed(7, 4800);
        rig.worker->pass();
    }
    ASSERT_FALSE(rig.curves().empty());
    rig.lines();

    AutoEqCfg off = on_cfg();
    off.on = false;
    rig.links.commands.send({7, off});
    rig.links.commands.send({7, off});
    for (int pass = 0; pass < 5; ++pass) {
        rig.feed(7, 4800);
        rig.worker->pass();
    }
    const auto lines = rig.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["id"], "in.8");
    EXPECT_EQ(lines[0]["on"], false);
    ASSERT_EQ(lines[0]["g"].size(), kAutoEqBands);
    for (const auto& g : lines[0]["g"]) EXPECT_EQ(g.get<double>(), 0.0);
    EXPECT_TRUE(rig.curves().empty());
    EXPECT_EQ(rig.worker->analyzer(7).elapsed_s(), 0.0f);
    EXPECT_EQ(rig.worker->analyzer(7).smoothed_db()[17], -100.0f);

    rig.links.commands.send({7, on_cfg()});
    for (int pass = 0; pass < 9; ++pass) {
        rig.feed(7, 4800);
        rig.worker->pass();
    }
    EXPECT_TRUE(rig.lines().empty()) << "corrections wait for a second of signal again";
    rig.feed(7, 4800);
    rig.worker->pass();
    EXPECT_EQ(rig.lines().size(), 1u);
}

// Changing a field while on keeps the measurement; a quiet target says nothing.
TEST(AutoEqAnalysis, RetuningKeepsTheMeasurementAndQuietTargetsStaySilent) {
    Rig rig;
    rig.links.commands.send({0, on_cfg()});
    rig.links.commands.send({1, on_cfg()});
    for (int pass = 0; pass < 8; ++pass) {
        rig.feed(0, 4800);
        rig.feed(1, 4800, 0.0003f);
        rig.worker->pass();
    }
    AutoEqCfg retuned = on_cfg();
    retuned.amount = 0.3f;
    rig.links.commands.send({0, retuned});
    for (int pass = 0; pass < 3; ++pass) {
        rig.feed(0, 4800);
        rig.feed(1, 4800, 0.0003f);
        rig.worker->pass();
    }
    EXPECT_FLOAT_EQ(rig.worker->analyzer(0).elapsed_s(), 1.1f);
    EXPECT_EQ(rig.worker->config(0).amount, 0.3f);
    EXPECT_EQ(rig.worker->analyzer(1).elapsed_s(), 0.0f);
    for (const auto& line : rig.lines()) EXPECT_EQ(line["id"], "in.1");
}

}  // namespace
}  // namespace mixengine
