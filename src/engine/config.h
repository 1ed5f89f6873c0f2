// Configuration records: plain values that describe one channel strip (also used for buses, main
// and mono), its stages, and a feedback suppressor. Every field has its default here, so a
// default-constructed record is the "all defaults" record. Decoding from JSON lives in control.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace mixengine {

// High-pass filter.
struct Hpf {
    double f = 80.0;      // corner, Hz
    uint32_t slope = 12;  // dB per octave: 18 and 24 are built as such, anything else as 12
    bool operator==(const Hpf&) const = default;
};

// Gate, expander ("exp2", "exp3", "exp4") or ducker ("duck": the gate stage is skipped).
struct GateCfg {
    std::string mode = "gate";
    float thr = -50.0f;      // dBFS
    float range = 40.0f;     // largest attenuation, dB (sign ignored)
    float attack = 1.0f;     // ms
    float hold = 50.0f;      // ms
    float release = 200.0f;  // ms
    bool operator==(const GateCfg&) const = default;
};

// Compressor, or downward expander when `exp` is set.
struct DynCfg {
    bool exp = false;
    bool rms = false;
    float thr = -20.0f;  // dBFS
    float ratio = 3.0f;
    float knee = 2.0f;       // half-width of the soft knee, dB
    float mgain = 0.0f;      // make-up gain, dB
    float attack = 10.0f;    // ms
    float hold = 0.0f;       // ms
    float release = 150.0f;  // ms
    float mix = 100.0f;      // wet share, percent
    bool operator==(const DynCfg&) const = default;
};

// One equaliser band; `type` names a design_biquad shape ("peq", "hp", "lshv", ...).
struct Band {
    std::string type = "peq";
    double f = 1000.0;  // Hz
    double g = 0.0;     // dB
    double q = 2.0;
    bool operator==(const Band&) const = default;
};

// One send; its position in StripCfg::sends is the bus number.
struct SendCfg {
    float lin = 0.0f;  // linear level
    uint8_t tap = 0;   // 0 after the gate, 1 pre-fader, anything else post-fader
    bool operator==(const SendCfg&) const = default;
};

struct AutoEqCfg {
    bool on = false;
    std::vector<float> target;  // explicit target curve, dB
    std::string curve;          // built-in target curve name
    float amount = 0.6f;
    float max_cut = 6.0f;    // dB
    float max_boost = 0.0f;  // dB
    float speed_s = 8.0f;
    float lo = 60.0f;     // Hz
    float hi = 16000.0f;  // Hz
    bool operator==(const AutoEqCfg&) const = default;
};

struct BleedCfg {
    bool on = false;
    std::string mode = "cancel";  // "duck", anything else cancels
    uint64_t ref = 0;             // reference strip index
    float amount = 0.8f;
    float lo = 4000.0f;   // Hz
    float hi = 14000.0f;  // Hz
    float thr = -40.0f;   // dB
    bool operator==(const BleedCfg&) const = default;
};

struct AmixCfg {
    uint8_t group = 0;  // 1 or 2; anything else is outside the automixer
    float weight_db = 0.0f;
    bool operator==(const AmixCfg&) const = default;
};

// Settings of one strip, bus, main or mono; absent optional stages are switched off. A strip reads
// every field; the buses, mono and main read only some and ignore the rest, decided in one place
// (configure_chain in mix_engine_config.cpp).
struct StripCfg {
    float gain_db = 0.0f;
    bool invert = false;
    float delay_ms = 0.0f;
    std::optional<Hpf> hpf;
    std::optional<GateCfg> gate;
    std::vector<Band> eq;
    std::optional<DynCfg> dyn;
    float fader = 1.0f;  // linear
    float pan = 0.0f;    // -1 left .. +1 right
    bool lr = true;
    float mono = 0.0f;  // linear send to the mono bus
    std::vector<SendCfg> sends;
    std::vector<Band> peq32;
    std::vector<float> geq;  // graphic EQ gains, dB, first 31 used
    std::optional<AutoEqCfg> aeq;
    std::optional<BleedCfg> bleed;
    std::optional<AmixCfg> amix;
    bool operator==(const StripCfg&) const = default;
};

// Feedback suppressor of one output.
struct FbaCfg {
    bool on = false;
    std::string mode = "live";  // "live", "fixed" or "suggest"
    float sensitivity = 15.0f;  // dB
    uint32_t persist = 8;       // analysis frames
    float first_cut = -6.0f;    // dB
    float step = -3.0f;         // dB
    float max_cut = -18.0f;     // dB
    uint64_t max_notches = 12;
    float hold_s = 60.0f;
    std::string content = "mixed";
    bool operator==(const FbaCfg&) const = default;
};

}  // namespace mixengine
