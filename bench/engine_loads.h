// The console loads the engine benchmarks run: a typical show (16 strips), the worst case with
// every stage of every channel on (32 strips), and everything at once: the worst case plus bleed
// cancelling on every strip and 12 notches on each of the ten outputs. Each load is the list of
// records a front end would send, so the same list can be applied once or timed as a scene recall.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "engine/mix_engine.h"

namespace mixengine::bench {

inline std::vector<Band> bands(const char* type, int count) {
    std::vector<Band> b;
    for (int i = 0; i < count; ++i)
        b.push_back(Band{type, 80.0 * (i + 1) * (i + 1), (i % 2 ? 4.0 : -3.0), 1.2});
    return b;
}

inline std::vector<float> graphic() {
    std::vector<float> g(31);
    for (std::size_t i = 0; i < g.size(); ++i) g[i] = (i % 2 ? 1.5f : -2.0f);
    return g;
}

struct Load {
    const char* name;
    std::size_t channels;  // device inputs the strips read
    std::vector<EngineUpdate> (*records)();
};

inline std::vector<EngineUpdate> typical_records() {
    std::vector<EngineUpdate> r;
    for (std::size_t s = 0; s < 16; ++s) {
        StripCfg c;
        c.hpf = Hpf{100.0, 12};
        c.eq = bands("peq", 4);
        c.gate = GateCfg{};
        c.dyn = DynCfg{};
        c.sends = {SendCfg{0.5f, 1}, SendCfg{0.3f, 2}};
        r.push_back(update::StripSettings{s, c});
    }
    StripCfg bus;
    bus.eq = bands("peq", 4);
    bus.dyn = DynCfg{};
    for (std::size_t b = 0; b < 4; ++b) r.push_back(update::BusSettings{b, bus});
    StripCfg main;
    main.geq = graphic();
    main.dyn = DynCfg{};
    r.push_back(update::MainSettings{main});
    return r;
}

inline StripCfg worst_strip(std::size_t s) {
    StripCfg c;
    c.hpf = Hpf{100.0, 24};
    c.gate = GateCfg{};
    c.eq = bands("peq", 8);
    c.peq32 = bands("peq", 8);
    c.geq = graphic();
    c.dyn = DynCfg{};
    c.amix = AmixCfg{uint8_t(1 + s % 2), 0.0f};
    for (int k = 0; k < 8; ++k) c.sends.push_back(SendCfg{0.2f, uint8_t(k % 3)});
    return c;
}

inline void add_worst_outputs(std::vector<EngineUpdate>& r) {
    StripCfg out;
    out.eq = bands("peq", 8);
    out.peq32 = bands("lshv", 8);
    out.geq = graphic();
    out.dyn = DynCfg{};
    out.pan = 0.2f;
    for (std::size_t b = 0; b < kBuses; ++b) r.push_back(update::BusSettings{b, out});
    r.push_back(update::MonoSettings{out});
    r.push_back(update::MainSettings{out});
}

inline std::vector<EngineUpdate> worst_records() {
    std::vector<EngineUpdate> r;
    for (std::size_t s = 0; s < kStrips; ++s) r.push_back(update::StripSettings{s, worst_strip(s)});
    add_worst_outputs(r);
    return r;
}

inline std::vector<EngineUpdate> everything_records() {
    std::vector<EngineUpdate> r;
    for (std::size_t s = 0; s < kStrips; ++s) {
        StripCfg c = worst_strip(s);
        c.bleed = BleedCfg{};
        c.bleed->on = true;
        c.bleed->ref = (s + 1) % kStrips;
        r.push_back(update::StripSettings{s, c});
    }
    add_worst_outputs(r);
    for (std::size_t o = 0; o < kOutputsWatched; ++o)
        for (int k = 0; k < 12; ++k)
            r.push_back(update::SetNotch{
                o, 100.0f * std::pow(1.3f, float(k)) * (1.0f + 0.05f * float(o)), -9.0f});
    return r;
}

inline const Load kTypical{"typical", 16, typical_records};
inline const Load kWorst{"worst", 32, worst_records};
inline const Load kEverything{"everything", 32, everything_records};

inline void configure(MixEngine& engine, const Load& load) {
    for (EngineUpdate& u : load.records()) engine.apply_update(std::move(u));
}

// Uniform noise in [-0.25, 0.25), the same sequence every run.
inline std::vector<float> noise(std::size_t count) {
    std::vector<float> v(count);
    uint32_t seed = 1;
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        x = float(seed >> 8) / float(1u << 24) * 0.5f - 0.25f;
    }
    return v;
}

}  // namespace mixengine::bench
