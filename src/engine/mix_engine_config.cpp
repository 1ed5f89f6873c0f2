// Configuration between blocks: each update sets the targets of the ramps it touches and
// redesigns the filters it changes; the next chunk moves from the old values to the new ones.
#include <algorithm>
#include <cmath>
#include <variant>

#include "mix_engine.h"
#include "mix_engine_state.h"
#include "numeric.h"

namespace mixengine {

namespace {

// pan -1 is full left, 0 centres at -3 dB each side; `lr` false leaves main L/R out.
void set_pan(Ramp& to_l, Ramp& to_r, float pan, bool lr) noexcept {
    const float p = clamp_lohi(pan, -1.0f, 1.0f);
    const float theta = (p + 1.0f) * 0.7853982f;
    const float on = lr ? 1.0f : 0.0f;
    to_l.target = std::cos(theta) * on;
    to_r.target = std::sin(theta) * on;
}

// A level so large that it overflows single precision (a gain of 1e300 dB, say) would turn the
// channel, and everything summed after it, into NaN: such a setting mutes instead.
inline float finite_or_mute(float gain) noexcept {
    return std::isfinite(gain) ? gain : 0.0f;
}

template <class Cascade>
void configure_aeq(Cascade& aeq, bool& aeq_on, const StripCfg& cfg) noexcept {
    aeq_on = cfg.aeq && cfg.aeq->on;
    if (!aeq_on) aeq.clear();  // a later correction is ignored until it is switched on again
}

// The stages of a bus, mono or main (mono cascades, or main's stereo ones).
template <class Cascade>
struct OutputChain {
    Cascade &eq, &peq, &geq, &aeq;
    bool& aeq_on;
    Compressor& dyn;
    Ramp& fader;
};

// The one place that decides what the buses, mono and main read of a StripCfg: their chain (eq,
// peq32, geq, aeq, dyn, fader) and, for a bus, its routes to main and mono (pan, lr, mono). They
// ignore every other field (gain_db, invert, delay_ms, hpf, gate, sends, bleed, amix), and mono
// and main the routes as well.
template <class Cascade>
void configure_chain(OutputChain<Cascade> c, const StripCfg& cfg, float fs) {
    c.eq.set_stages(design_bands(cfg.eq, fs));
    c.peq.set_stages(design_bands(cfg.peq32, fs));
    c.geq.set_stages(design_graphic(cfg.geq, fs));
    configure_aeq(c.aeq, c.aeq_on, cfg);
    c.dyn.configure(cfg.dyn);
    c.fader.target = finite_or_mute(std::fmax(cfg.fader, 0.0f));
}

void configure_bus(Bus& bus, const StripCfg& cfg, float fs, bool routable) {
    configure_chain<BiquadCascade>(
        {bus.eq, bus.peq, bus.geq, bus.aeq, bus.aeq_on, bus.dyn, bus.fader}, cfg, fs);
    if (routable) {
        set_pan(bus.to_l, bus.to_r, cfg.pan, cfg.lr);
        bus.to_mono.target = finite_or_mute(std::fmax(cfg.mono, 0.0f));
    }
}

void configure_main(MixEngine::State& s, const StripCfg& cfg) {
    configure_chain<StereoBiquadCascade>({s.main_eq, s.main_peq, s.main_geq, s.main_aeq,
                                          s.main_aeq_on, s.main_dyn, s.main_fader},
                                         cfg, s.sample_rate);
}

void configure_strip(Strip& st, StripCfg&& cfg, float fs) {
    st.gain.target = finite_or_mute(db_to_lin(cfg.gain_db)) * (cfg.invert ? -1.0f : 1.0f);

    const double ms = std::fmin(std::fmax(double(cfg.delay_ms), 0.0), 500.0);
    const auto delay = saturating_cast<std::size_t>(std::floor(double(fs) * ms * 0.001));
    st.delay = std::min(delay, st.delay_line.size() - 1);

    if (cfg.hpf)
        st.hpf.set_stages(design_hpf(*cfg.hpf, fs));
    else
        st.hpf.clear();
    st.eq.set_stages(design_bands(cfg.eq, fs));
    st.peq.set_stages(design_bands(cfg.peq32, fs));
    st.geq.set_stages(design_graphic(cfg.geq, fs));
    st.gate.configure(cfg.gate);
    st.bleed.configure(cfg.bleed);
    configure_aeq(st.aeq, st.aeq_on, cfg);
    st.dyn.configure(cfg.dyn);
    st.fader.target = finite_or_mute(std::fmax(cfg.fader, 0.0f));
    set_pan(st.to_l, st.to_r, cfg.pan, cfg.lr);
    st.to_mono.target = finite_or_mute(std::fmax(cfg.mono, 0.0f));
    st.amix_member = automix_member(cfg.amix);
    for (std::size_t k = 0; k < kBuses; ++k)
        st.sends[k].target =
            k < cfg.sends.size() ? finite_or_mute(std::fmax(cfg.sends[k].lin, 0.0f)) : 0.0f;
    st.cfg = std::move(cfg);
}

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

}  // namespace

void MixEngine::apply_update(EngineUpdate&& update) {
    State& s = *s_;
    const float fs = s.sample_rate;
    std::visit(Overloaded{
                   [&](update::LoudnessSource& u) {
                       s.loud_select = u.source;
                       s.loudness.reset();
                   },
                   [&](update::StripSettings& u) {
                       if (u.index < kStrips)
                           configure_strip(s.strips[u.index], std::move(u.cfg), fs);
                   },
                   [&](update::BusSettings& u) {
                       if (u.index < kBuses) configure_bus(s.buses[u.index], u.cfg, fs, true);
                   },
                   [&](update::MonoSettings& u) { configure_bus(s.mono, u.cfg, fs, false); },
                   [&](update::MainSettings& u) { configure_main(s, u.cfg); },
                   [&](update::Patch& u) {
                       s.input_map = std::move(u.input_map);
                       s.output_routes = std::move(u.routes);
                   },
                   [&](update::AnalyserSelect& u) { s.analyser_select = u.source; },
                   [&](update::FeedSwitch& u) {
                       if (u.output < kOutputsWatched) s.fba_feed_on[u.output] = u.on;
                   },
                   // A frequency that is not finite would leave a notch no later update can find,
                   // or a howl whose phase turns into NaN and silences its output for good.
                   [&](update::SetNotch& u) {
                       if (u.output < kOutputsWatched && std::isfinite(u.freq_hz))
                           s.notch_cascades[u.output].set_notch(u.freq_hz, u.depth_db);
                   },
                   [&](update::ClearNotches& u) {
                       if (u.output < kOutputsWatched) s.notch_cascades[u.output].clear();
                   },
                   [&](update::RemoveNotch& u) {
                       if (u.output < kOutputsWatched)
                           s.notch_cascades[u.output].remove_notch(u.freq_hz);
                   },
                   [&](update::StartHowl& u) {
                       if (u.output < kOutputsWatched && std::isfinite(u.freq_hz))
                           s.howl[u.output].start(u.freq_hz);
                   },
                   // A target beyond the last is mono's.
                   [&](update::AutoEqCurve& u) {
                       const std::size_t t = u.target;
                       if (t < auto_eq_bus(0)) {
                           Strip& st = s.strips[t];
                           if (st.aeq_on) st.aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (t < kAutoEqMain) {
                           Bus& bus = s.buses[t - auto_eq_bus(0)];
                           if (bus.aeq_on) bus.aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (t == kAutoEqMain) {
                           if (s.main_aeq_on) s.main_aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (s.mono.aeq_on) {
                           s.mono.aeq.set_stages(design_graphic(u.gains_db, fs));
                       }
                   },
                   [&](update::ListenSource& u) { s.listen_select = u.source; },
                   [&](update::RoomSettings& u) { s.room.configure(u.cfg); },
               },
               update);
    // Whatever payload is left (a curve, a copied list) is freed here, between blocks: the
    // caller reuses the record for its next pop, which must not free on the audio thread.
    update = EngineUpdate{};
}

}  // namespace mixengine
