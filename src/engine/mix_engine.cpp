// The console's block processor and the application of updates. A device block is cut into
// chunks of at most 2048 frames; each chunk runs the strips in index order, then the buses, main
// and mono, then the loudness meter, the listen feed and the output routing. Every gain change is
// a linear ramp across one chunk, so configuration never clicks; filter coefficients change
// between chunks.
#include "mix_engine.h"

#include <algorithm>
#include <cmath>

#include "denormals.h"
#include "mix_engine_state.h"
#include "numeric.h"
#include "simd.h"

namespace mixengine {

namespace {

using State = MixEngine::State;

// buf *= ramp. The last sample takes the target itself, so a fade to 0 ends at exactly 0.
void ramp_scale(Ramp& r, float* buf, std::size_t n) noexcept {
    const float c = r.cur, t = r.target;
    if (c == t) {
        if (c != 1.0f)
            for (std::size_t i = 0; i < n; ++i) buf[i] *= c;
    } else if (n > 0) {
        const float step = (t - c) / static_cast<float>(n);
        for (std::size_t i = 0; i + 1 < n; ++i) buf[i] *= c + static_cast<float>(i + 1) * step;
        buf[n - 1] *= t;
    }
    r.cur = t;
}

// Both channels of main under one ramp.
void ramp_scale2(Ramp& r, float* left, float* right, std::size_t n) noexcept {
    Ramp copy = r;
    ramp_scale(copy, left, n);
    ramp_scale(r, right, n);
}

// dst += ramp * src; a ramp that stays at 0 adds nothing and is skipped.
void ramp_add(Ramp& r, float* dst, const float* src, std::size_t n) noexcept {
    if (r.silent()) return;
    const float c = r.cur, t = r.target;
    r.cur = t;
    if (c == t) {
        for (std::size_t i = 0; i < n; ++i) dst[i] += c * src[i];
    } else if (n > 0) {
        const float step = (t - c) / static_cast<float>(n);
        for (std::size_t i = 0; i + 1 < n; ++i)
            dst[i] += (c + static_cast<float>(i + 1) * step) * src[i];
        dst[n - 1] += t * src[n - 1];
    }
}

void mid_of(const float* left, const float* right, float* mid, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) mid[i] = 0.5f * (left[i] + right[i]);
}

// Clamps to [-1, 1]; a NaN becomes silence rather than a full-scale sample.
inline float clamp_output(float x) noexcept {
    if (x >= -1.0f) return x <= 1.0f ? x : 1.0f;
    return x < -1.0f ? -1.0f : 0.0f;
}

void push_feed(std::vector<RingProducer<float>>& rings, std::size_t slot, const float* samples,
               std::size_t n) noexcept {
    if (slot < rings.size() && rings[slot].valid()) rings[slot].push_some(samples, n);
}

// Selections name strips below 32 and buses below 8; anything else is no signal (null).
const float* strip_signal(const State& s, uint32_t index, bool post) noexcept {
    if (index >= kStrips) return nullptr;
    const Strip& st = s.strips[index];
    return post ? st.buf_out.data() : st.buf_proc.data();
}
const float* bus_signal(const State& s, uint32_t index) noexcept {
    return index < kBuses ? s.buses[index].work.data() : nullptr;
}

// Mono view of a signal source; Main gives its left side here (callers handle the pair).
const float* source_signal(const State& s, const SignalSource& src) noexcept {
    switch (src.kind) {
        case SignalSource::Kind::Main:
            return s.main_l.data();
        case SignalSource::Kind::Mono:
            return s.mono.work.data();
        case SignalSource::Kind::Bus:
            return bus_signal(s, src.index);
        case SignalSource::Kind::Strip:
            return strip_signal(s, src.index, src.post);
    }
    return nullptr;
}

const float* route_signal(const State& s, const OutputRoute& r) noexcept {
    switch (r.kind) {
        case OutputRoute::Kind::Off:
            return nullptr;
        case OutputRoute::Kind::MainL:
            return s.main_l.data();
        case OutputRoute::Kind::MainR:
            return s.main_r.data();
        case OutputRoute::Kind::Mono:
            return s.mono.work.data();
        case OutputRoute::Kind::Bus:
            return bus_signal(s, r.index);
        case OutputRoute::Kind::Strip:
            return strip_signal(s, r.index, r.post);
    }
    return nullptr;
}

bool analyser_is(const State& s, AnalyserSource::Kind kind, uint32_t index = 0,
                 bool post = false) noexcept {
    const AnalyserSource& a = s.analyser_select;
    if (a.kind != kind) return false;
    if (kind == AnalyserSource::Kind::Strip) return a.index == index && a.post == post;
    if (kind == AnalyserSource::Kind::Bus) return a.index == index;
    return true;
}

// After an output's fader: the practice howl, then the feedback detector's feed.
void howl_and_feed(State& s, std::size_t index, float* left, float* right, std::size_t n) noexcept {
    HowlSim& howl = s.howl[index];
    howl.advance(s.notch_cascades[index]);
    howl.add(left, right, n, s.sample_rate);
    if (!s.fba_feed_on[index]) return;
    if (right) {
        mid_of(left, right, s.scratch_mid.data(), n);
        push_feed(s.fba_rings, index, s.scratch_mid.data(), n);
    } else {
        push_feed(s.fba_rings, index, left, n);
    }
}

// Copies the input channel that strip `idx` maps to; false when it maps to none the device has.
bool read_input(const State& s, std::size_t idx, std::span<const float> input, std::size_t in_ch,
                std::size_t n, float* dst) noexcept {
    const int32_t ch = idx < s.input_map.size() ? s.input_map[idx] : -1;
    if (ch < 0 || input.empty() || static_cast<std::size_t>(ch) >= in_ch) return false;
    const float* src = input.data() + ch;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = src[i * in_ch];
        dst[i] = std::isfinite(x) ? x : 0.0f;  // a broken device sample is silence
    }
    return true;
}

// Strip steps up to the high-pass: input, bleed reduction, input gain, delay.
void strip_input(State& s, std::size_t idx, std::span<const float> input, std::size_t in_ch,
                 std::size_t n) noexcept {
    Strip& st = s.strips[idx];
    float* in = st.buf_in.data();
    if (!read_input(s, idx, input, in_ch, n, in)) std::fill_n(in, n, 0.0f);

    if (st.bleed.on()) {
        float* ref = s.scratch_ref.data();
        const uint64_t ref_strip = st.bleed.cfg().ref;
        if (ref_strip < s.input_map.size() && read_input(s, ref_strip, input, in_ch, n, ref))
            st.bleed.run(in, ref, n);
    }

    ramp_scale(st.gain, in, n);

    if (st.delay != 0) {
        float* line = st.delay_line.data();
        const std::size_t len = st.delay_line.size();
        std::size_t w = st.delay_write;
        std::size_t r = (w + len - st.delay) % len;
        for (std::size_t i = 0; i < n; ++i) {
            line[w] = in[i];
            in[i] = line[r];
            if (++w == len) w = 0;
            if (++r == len) r = 0;
        }
        st.delay_write = w;
    }
}

// After the high-pass: what reads the gate's output (which gave `gate_gain` at least); buf_proc
// starts as its copy.
void after_gate(State& s, std::size_t idx, float gate_gain, std::size_t n, Meters& m,
                const AnalyserSink& sink) noexcept {
    Strip& st = s.strips[idx];
    float* in = st.buf_in.data();
    meter_min(m.strip_gate[idx], gate_gain);
    meter_max(m.strip_peak[idx], simd::peak(in, n));
    if (analyser_is(s, AnalyserSource::Kind::Strip, static_cast<uint32_t>(idx), false)) sink(in, n);
    std::copy_n(in, n, st.buf_proc.data());
}

// After the compressor (which gave `comp_gain` at least): automixer, fader, summing and sends.
void strip_tail(State& s, std::size_t idx, float comp_gain, std::size_t n, Meters& m,
                const AnalyserSink& sink) noexcept {
    Strip& st = s.strips[idx];
    float* in = st.buf_in.data();
    float* proc = st.buf_proc.data();
    float* out = st.buf_out.data();
    meter_min(m.strip_comp[idx], comp_gain);
    if (analyser_is(s, AnalyserSource::Kind::Strip, static_cast<uint32_t>(idx), true))
        sink(proc, n);

    std::copy_n(proc, n, out);
    st.amix_gain.target = s.amix.strip_target(st.cfg.amix, proc, n, st.amix_power);
    meter_min(m.strip_amix[idx], st.amix_gain.target);
    ramp_scale(st.amix_gain, out, n);
    ramp_scale(st.fader, out, n);

    ramp_add(st.to_l, s.main_l.data(), out, n);
    ramp_add(st.to_r, s.main_r.data(), out, n);
    ramp_add(st.to_mono, s.mono.sum.data(), out, n);

    for (std::size_t k = 0; k < kBuses; ++k) {
        const uint8_t tap = k < st.cfg.sends.size() ? st.cfg.sends[k].tap : 2;
        const float* sig = tap == 0 ? in : (tap == 1 ? proc : out);
        ramp_add(st.sends[k], s.buses[k].sum.data(), sig, n);
    }
}

// The straightforward order, one strip after another: the reference the lane path is held to.
void process_strips_in_turn(State& s, std::span<const float> input, std::size_t in_ch,
                            std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    for (std::size_t idx = 0; idx < kStrips; ++idx) {
        Strip& st = s.strips[idx];
        strip_input(s, idx, input, in_ch, n);
        st.hpf.run(st.buf_in.data(), n);
        after_gate(s, idx, st.gate.run(st.buf_in.data(), n), n, m, sink);
        float* proc = st.buf_proc.data();
        st.eq.run(proc, n);
        st.peq.run(proc, n);
        st.geq.run(proc, n);
        if (st.aeq_on) push_feed(s.aeq_rings, idx, proc, n);
        st.aeq.run(proc, n);
        strip_tail(s, idx, st.dyn.run(proc, n), n, m, sink);
    }
}

// Runs the gate or compressor of every strip (or bus), eight at a time in SIMD lanes; `pick`
// gives a channel's lane, and the smallest gains go to `min_gain`.
template <class Lane, std::size_t N, class Channel, class Pick, class Run>
void dynamics_in_lanes(std::vector<Channel>& channels, std::size_t n,
                       std::array<float, N>& min_gain, Pick pick, Run run) noexcept {
    static_assert(N % kDynamicsLanes == 0);
    for (std::size_t first = 0; first < N; first += kDynamicsLanes) {
        std::array<Lane, kDynamicsLanes> lanes;
        for (std::size_t l = 0; l < kDynamicsLanes; ++l) lanes[l] = pick(channels[first + l]);
        run(std::span<const Lane>(lanes), n,
            std::span<float>(min_gain.data() + first, kDynamicsLanes));
    }
}

// Runs one set of cascades of every strip (or bus), eight channels at a time in SIMD lanes.
template <class Channel, std::size_t N, class Pick>
void in_lanes(State& s, std::vector<Channel>& channels, std::size_t n, Pick pick) noexcept {
    static_assert(N % kBiquadLanes == 0);
    for (std::size_t first = 0; first < N; first += kBiquadLanes) {
        std::array<LaneChannel, kBiquadLanes> lanes;
        for (std::size_t l = 0; l < kBiquadLanes; ++l) lanes[l] = pick(channels[first + l]);
        run_in_lanes(lanes, n, s.lane_scratch.data());
    }
}

// The same steps in stages across strips: every filter cascade runs with eight strips side by
// side. Everything a strip publishes or feeds happens in the same order per strip, and no strip
// reads another's signal before its tail, so the result is that of process_strips_in_turn.
void process_strips_in_lanes(State& s, std::span<const float> input, std::size_t in_ch,
                             std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    for (std::size_t idx = 0; idx < kStrips; ++idx) strip_input(s, idx, input, in_ch, n);
    in_lanes<Strip, kStrips>(s, s.strips, n, [](Strip& st) {
        return LaneChannel{st.buf_in.data(), {&st.hpf}};
    });
    std::array<float, kStrips> gate_gain, comp_gain;
    dynamics_in_lanes<GateLane>(
        s.strips, n, gate_gain, [](Strip& st) { return st.gate.lane(st.buf_in.data()); },
        gate_run_lanes);
    for (std::size_t idx = 0; idx < kStrips; ++idx) after_gate(s, idx, gate_gain[idx], n, m, sink);
    in_lanes<Strip, kStrips>(s, s.strips, n, [](Strip& st) {
        return LaneChannel{st.buf_proc.data(), {&st.eq, &st.peq, &st.geq}};
    });
    for (std::size_t idx = 0; idx < kStrips; ++idx)
        if (s.strips[idx].aeq_on) push_feed(s.aeq_rings, idx, s.strips[idx].buf_proc.data(), n);
    in_lanes<Strip, kStrips>(s, s.strips, n, [](Strip& st) {
        return LaneChannel{st.buf_proc.data(), {&st.aeq}};
    });
    dynamics_in_lanes<CompLane>(
        s.strips, n, comp_gain, [](Strip& st) { return st.dyn.lane(st.buf_proc.data()); },
        comp_run_lanes);
    for (std::size_t idx = 0; idx < kStrips; ++idx) strip_tail(s, idx, comp_gain[idx], n, m, sink);
}

// Shared by the buses and the mono bus: the filters before the compressor...
float* process_bus(State& s, Bus& bus, std::size_t aeq_slot, std::size_t n) noexcept {
    float* work = bus.work.data();
    std::copy_n(bus.sum.data(), n, work);
    bus.eq.run(work, n);
    bus.peq.run(work, n);
    bus.geq.run(work, n);
    if (bus.aeq_on) push_feed(s.aeq_rings, aeq_slot, work, n);
    bus.aeq.run(work, n);
    return work;
}

// ...and the notches, fader, howl and feed after it.
void finish_bus(State& s, Bus& bus, std::size_t out_index, std::size_t n) noexcept {
    float* work = bus.work.data();
    s.notch_cascades[out_index].apply(work, n);
    ramp_scale(bus.fader, work, n);
    howl_and_feed(s, out_index, work, nullptr, n);
}

void process_chunk(State& s, std::span<const float> input, std::size_t in_ch, float* output,
                   std::size_t out_ch, std::size_t n, Meters& m,
                   const AnalyserSink& sink) noexcept {
    for (Bus& bus : s.buses) std::fill_n(bus.sum.data(), n, 0.0f);
    std::fill_n(s.mono.sum.data(), n, 0.0f);
    std::fill_n(s.main_l.data(), n, 0.0f);
    std::fill_n(s.main_r.data(), n, 0.0f);

    s.amix.begin_chunk(n, s.sample_rate);
    if (s.reference_path)
        process_strips_in_turn(s, input, in_ch, n, m, sink);
    else
        process_strips_in_lanes(s, input, in_ch, n, m, sink);
    s.amix.end_chunk();

    if (!s.reference_path) {
        for (Bus& bus : s.buses) std::copy_n(bus.sum.data(), n, bus.work.data());
        in_lanes<Bus, kBuses>(s, s.buses, n, [](Bus& bus) {
            return LaneChannel{bus.work.data(), {&bus.eq, &bus.peq, &bus.geq}};
        });
        for (std::size_t b = 0; b < kBuses; ++b)
            if (s.buses[b].aeq_on) push_feed(s.aeq_rings, 32 + b, s.buses[b].work.data(), n);
        in_lanes<Bus, kBuses>(s, s.buses, n, [](Bus& bus) {
            return LaneChannel{bus.work.data(), {&bus.aeq}};
        });
    }
    std::array<float, kBuses> bus_gain;
    if (s.reference_path) {
        for (std::size_t b = 0; b < kBuses; ++b)
            bus_gain[b] = s.buses[b].dyn.run(process_bus(s, s.buses[b], 32 + b, n), n);
    } else {
        dynamics_in_lanes<CompLane>(
            s.buses, n, bus_gain, [](Bus& bus) { return bus.dyn.lane(bus.work.data()); },
            comp_run_lanes);
    }
    for (std::size_t b = 0; b < kBuses; ++b) {
        Bus& bus = s.buses[b];
        float* work = bus.work.data();
        meter_min(m.bus_comp[b], bus_gain[b]);
        finish_bus(s, bus, 2 + b, n);
        meter_max(m.bus_peak[b], simd::peak(work, n));
        if (analyser_is(s, AnalyserSource::Kind::Bus, static_cast<uint32_t>(b))) sink(work, n);
        ramp_add(bus.to_l, s.main_l.data(), work, n);
        ramp_add(bus.to_r, s.main_r.data(), work, n);
        ramp_add(bus.to_mono, s.mono.sum.data(), work, n);
    }

    float* l = s.main_l.data();
    float* r = s.main_r.data();
    Bus& mono = s.mono;
    // Main's two sides and the mono bus share one set of lanes; nothing of one reads the other.
    const std::array<LaneChannel, 3> outs_eq = {
        LaneChannel{l, {&s.main_eq.left(), &s.main_peq.left(), &s.main_geq.left()}},
        LaneChannel{r, {&s.main_eq.right(), &s.main_peq.right(), &s.main_geq.right()}},
        LaneChannel{mono.work.data(), {&mono.eq, &mono.peq, &mono.geq}}};
    const std::array<LaneChannel, 3> outs_aeq = {LaneChannel{l, {&s.main_aeq.left()}},
                                                 LaneChannel{r, {&s.main_aeq.right()}},
                                                 LaneChannel{mono.work.data(), {&mono.aeq}}};
    if (s.reference_path) {
        s.main_eq.run(l, r, n);
        s.main_peq.run(l, r, n);
        s.main_geq.run(l, r, n);
    } else {
        std::copy_n(mono.sum.data(), n, mono.work.data());
        run_in_lanes(outs_eq, n, s.lane_scratch.data());
        if (mono.aeq_on) push_feed(s.aeq_rings, 41, mono.work.data(), n);
    }
    if (s.main_aeq_on && 40 < s.aeq_rings.size() && s.aeq_rings[40].valid()) {
        mid_of(l, r, s.scratch_mid.data(), n);
        push_feed(s.aeq_rings, 40, s.scratch_mid.data(), n);
    }
    if (s.reference_path)
        s.main_aeq.run(l, r, n);
    else
        run_in_lanes(outs_aeq, n, s.lane_scratch.data());
    meter_min(m.main_comp, s.main_dyn.run_linked(l, r, n));
    s.notch_cascades[0].apply(l, r, n);
    ramp_scale2(s.main_fader, l, r, n);
    howl_and_feed(s, 0, l, r, n);
    meter_max(m.main_l_peak, simd::peak(l, n));
    meter_max(m.main_r_peak, simd::peak(r, n));
    if (analyser_is(s, AnalyserSource::Kind::Main)) {
        mid_of(l, r, s.scratch_mid.data(), n);
        sink(s.scratch_mid.data(), n);
    }

    {
        float* work = s.reference_path ? process_bus(s, mono, 41, n) : mono.work.data();
        meter_min(m.mono_comp, mono.dyn.run(work, n));
        finish_bus(s, mono, 1, n);
        meter_max(m.mono_peak, simd::peak(work, n));
        if (analyser_is(s, AnalyserSource::Kind::Mono)) sink(work, n);
    }

    if (s.loud_select) {
        if (s.loud_select->kind == SignalSource::Kind::Main) {
            s.loudness.run(l, r, n, m);
        } else if (const float* sig = source_signal(s, *s.loud_select)) {
            s.loudness.run(sig, nullptr, n, m);
        }
    }

    if (s.listen_select && s.listen_ring.valid() && s.listen_ring.free_slots() >= 2 * n) {
        const bool main = s.listen_select->kind == SignalSource::Kind::Main;
        const float* left = source_signal(s, *s.listen_select);
        const float* right = main ? r : left;
        if (left) {
            float* pairs = s.scratch_listen.data();
            for (std::size_t i = 0; i < n; ++i) {
                pairs[2 * i] = left[i];
                pairs[2 * i + 1] = right[i];
            }
            s.listen_ring.push_some(pairs, 2 * n);
        }
    }

    for (std::size_t c = 0; c < out_ch; ++c) {
        const float* sig =
            c < s.output_routes.size() ? route_signal(s, s.output_routes[c]) : nullptr;
        float* dst = output + c;
        if (!sig) {
            for (std::size_t i = 0; i < n; ++i) dst[i * out_ch] = 0.0f;
            continue;
        }
        float peak = 0.0f;
        for (std::size_t i = 0; i < n; ++i) {
            const float v = clamp_output(sig[i]);
            dst[i * out_ch] = v;
            peak = std::fabs(v) > peak ? std::fabs(v) : peak;
        }
        if (c < m.out_peak.size()) meter_max(m.out_peak[c], peak);
    }
}

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

void configure_aeq(BiquadCascade& aeq, bool& aeq_on, const StripCfg& cfg) noexcept {
    aeq_on = cfg.aeq && cfg.aeq->on;
    if (!aeq_on) aeq.clear();  // a later correction is ignored until it is switched on again
}

void configure_bus(Bus& bus, const StripCfg& cfg, float fs, bool routable) {
    bus.eq.set_stages(design_bands(cfg.eq, fs));
    bus.peq.set_stages(design_bands(cfg.peq32, fs));
    bus.geq.set_stages(design_graphic(cfg.geq, fs));
    configure_aeq(bus.aeq, bus.aeq_on, cfg);
    bus.dyn.configure(cfg.dyn);
    bus.fader.target = finite_or_mute(std::fmax(cfg.fader, 0.0f));
    if (routable) {
        set_pan(bus.to_l, bus.to_r, cfg.pan, cfg.lr);
        bus.to_mono.target = finite_or_mute(std::fmax(cfg.mono, 0.0f));
    }
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

Strip::Strip(float sample_rate)
    : delay_line(saturating_cast<std::size_t>(std::floor(double(sample_rate) * 0.5)) + 4),
      bleed(sample_rate),
      gate(sample_rate),
      dyn(sample_rate) {}

MixEngine::State::State(float fs) : sample_rate(fs), mono(fs), main_dyn(fs), loudness(fs) {
    strips.reserve(kStrips);
    for (std::size_t i = 0; i < kStrips; ++i) strips.emplace_back(fs);
    buses.reserve(kBuses);
    for (std::size_t i = 0; i < kBuses; ++i) buses.emplace_back(fs);
    input_map.resize(kStrips);
    for (std::size_t i = 0; i < kStrips; ++i) input_map[i] = static_cast<int32_t>(i);
    output_routes = {OutputRoute{OutputRoute::Kind::MainL}, OutputRoute{OutputRoute::Kind::MainR}};
    notch_cascades.reserve(kOutputsWatched);
    for (std::size_t i = 0; i < kOutputsWatched; ++i) notch_cascades.emplace_back(fs);
}

MixEngine::MixEngine(float sample_rate) : s_(std::make_unique<State>(sample_rate)) {}

void use_reference_path(MixEngine& engine, bool on) noexcept {
    // The engine's state is never const itself; the view handed out is read-only by convention.
    const_cast<MixEngine::State&>(engine.state()).reference_path = on;
}
MixEngine::~MixEngine() = default;

float MixEngine::sample_rate() const noexcept {
    return s_->sample_rate;
}

void MixEngine::install_fba_rings(std::vector<RingProducer<float>> rings) {
    s_->fba_rings = std::move(rings);
}
void MixEngine::install_aeq_rings(std::vector<RingProducer<float>> rings) {
    s_->aeq_rings = std::move(rings);
}
void MixEngine::install_listen_ring(RingProducer<float> ring) {
    s_->listen_ring = std::move(ring);
}

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
                   [&](update::MainSettings& u) {
                       s.main_eq.set_stages(design_bands(u.cfg.eq, fs));
                       s.main_peq.set_stages(design_bands(u.cfg.peq32, fs));
                       s.main_geq.set_stages(design_graphic(u.cfg.geq, fs));
                       s.main_aeq_on = u.cfg.aeq && u.cfg.aeq->on;
                       if (!s.main_aeq_on) s.main_aeq.clear();
                       s.main_dyn.configure(u.cfg.dyn);
                       s.main_fader.target = finite_or_mute(std::fmax(u.cfg.fader, 0.0f));
                   },
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
                   [&](update::AutoEqCurve& u) {
                       const std::size_t t = u.target;
                       if (t < kStrips) {
                           Strip& st = s.strips[t];
                           if (st.aeq_on) st.aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (t < kStrips + kBuses) {
                           Bus& bus = s.buses[t - kStrips];
                           if (bus.aeq_on) bus.aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (t == kStrips + kBuses) {
                           if (s.main_aeq_on) s.main_aeq.set_stages(design_graphic(u.gains_db, fs));
                       } else if (s.mono.aeq_on) {
                           s.mono.aeq.set_stages(design_graphic(u.gains_db, fs));
                       }
                   },
                   [&](update::ListenSource& u) { s.listen_select = u.source; },
               },
               update);
    // Whatever payload is left (a curve, a copied list) is freed here, between blocks: the
    // caller reuses the record for its next pop, which must not free on the audio thread.
    update = EngineUpdate{};
}

void MixEngine::process(std::span<const float> input, std::size_t in_channels,
                        std::span<float> output, std::size_t out_channels, Meters& meters,
                        AnalyserSink analyser) noexcept {
    ScopedFlushDenormals denormals_off;
    const std::size_t frames = out_channels > 0
                                   ? output.size() / out_channels
                                   : input.size() / std::max<std::size_t>(in_channels, 1);
    // A trailing partial frame cannot be routed; it is still written, as silence.
    std::fill(output.begin() + static_cast<std::ptrdiff_t>(frames * out_channels), output.end(),
              0.0f);
    const std::size_t in_frames = in_channels > 0 ? input.size() / in_channels : 0;
    for (std::size_t done = 0; done < frames;) {
        const std::size_t n = std::min(frames - done, kMaxChunk);
        std::span<const float> in_chunk;
        if (in_frames >= done + n) in_chunk = input.subspan(done * in_channels, n * in_channels);
        float* out_chunk = out_channels > 0 ? output.data() + done * out_channels : nullptr;
        process_chunk(*s_, in_chunk, in_channels, out_chunk, out_channels, n, meters, analyser);
        done += n;
    }
}

}  // namespace mixengine
