// One absurd setting or one broken input sample must not silence the console for good: NaN in a
// recursive state would otherwise persist (filter states survive redesigns) and spread through
// every sum it reaches.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "engine/biquad.h"
#include "engine/mix_engine.h"

namespace mixengine {
namespace {

constexpr std::size_t kFrames = 256;

struct RecoveryConsole {
    MixEngine engine{48000.0f};
    Meters meters{2};

    // Two inputs: a steady 0.25 on input 0 and `x1` on input 1; returns main L.
    std::vector<float> run(float x1) {
        std::vector<float> in(kFrames * 2), out(kFrames * 2);
        for (std::size_t i = 0; i < kFrames; ++i) {
            in[2 * i] = 0.25f;
            in[2 * i + 1] = x1;
        }
        engine.process(in, 2, out, 2, meters, {});
        std::vector<float> left;
        for (std::size_t i = 0; i < kFrames; ++i) left.push_back(out[2 * i]);
        return left;
    }
};

bool all_finite(const std::vector<float>& v) {
    for (float x : v)
        if (!std::isfinite(x)) return false;
    return true;
}

StripCfg filtered() {
    StripCfg cfg;
    cfg.hpf = Hpf{};
    cfg.eq = {Band{"peq", 1000.0, 3.0, 1.0}};
    cfg.gate = GateCfg{};
    cfg.dyn = DynCfg{};
    cfg.amix = AmixCfg{1, 0.0f};
    return cfg;
}

TEST(EngineRecovery, NonFiniteInputSamplesAreSilenceAndTheStripKeepsWorking) {
    RecoveryConsole c;
    c.engine.apply_update(update::StripSettings{1, filtered()});
    for (float bad :
         {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        EXPECT_TRUE(all_finite(c.run(bad)));
    }
    // Strip 0 (no stages, centre pan) still reaches main at its level once the ramps settle.
    c.run(0.0f);
    const auto left = c.run(0.0f);
    EXPECT_NEAR(left.back(), 0.25f * 0.70710677f, 1e-4f);
}

TEST(EngineRecovery, OverflowingLevelsMuteTheirStripInsteadOfTheMix) {
    RecoveryConsole c;
    StripCfg loud = filtered();
    loud.gain_db = 1e30f;  // 10^(1e30/20) overflows single precision
    loud.fader = std::numeric_limits<float>::infinity();
    loud.sends = {SendCfg{std::numeric_limits<float>::infinity(), 2}};
    c.engine.apply_update(update::StripSettings{1, loud});
    c.run(0.5f);
    const auto left = c.run(0.5f);
    ASSERT_TRUE(all_finite(left));
    EXPECT_NEAR(left.back(), 0.25f * 0.70710677f, 1e-4f);
}

TEST(EngineRecovery, ACascadeForgetsAStateThatIsNotFinite) {
    BiquadCascade cascade;
    const std::vector<BiquadCoeffs> stages{design_biquad("peq", 1000.0, 6.0, 1.0, 48000.0)};
    cascade.set_stages(stages);
    std::vector<float> buf(64, std::numeric_limits<float>::quiet_NaN());
    cascade.run(buf.data(), buf.size());  // the states are now NaN, and are dropped at the end
    std::vector<float> clean(64, 0.5f);
    cascade.run(clean.data(), clean.size());
    EXPECT_TRUE(all_finite(clean));
}

}  // namespace
}  // namespace mixengine
