// The console's block processor. A device block is cut into chunks of at most 2048 frames; each
// chunk reads every strip's input, runs the strips in index order, then the buses, main and mono,
// and once the outputs are final, the loudness meter, the listen feed and the output routing.
// Every gain change is a linear ramp across one chunk, so configuration never clicks; filter
// coefficients change between chunks (mix_engine_config.cpp).
//
// Each stage of the strips and of the outputs is written twice: in lanes, eight channels side by
// side, which is what runs, and one channel at a time, which is what the lanes are held to. Both
// call the same helpers for everything but their filter, gate and compressor runs.
#include "mix_engine.h"

#include <algorithm>
#include <cmath>

#include "denormals.h"
#include "mix_engine_state.h"
#include "numeric.h"
#include "room_margin.h"
#include "simd.h"

namespace mixengine {

namespace {

using State = MixEngine::State;

// buf *= ramp. The last sample takes the target itself, so a fade to 0 ends at exactly 0.
MIXENGINE_SIMD_CLONES
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

// One strip's share of a sum: its ramp times its signal.
struct SumJob {
    Ramp* ramp;
    const float* sig;
};

// R values V of sum_jobs' frames from frame `at`: c, t and step are the jobs' ramps, n the
// chunk's frames.
template <std::size_t R, class V>
MIXENGINE_LANE_INLINE void sum_run(float* sum, const SumJob* jobs, std::size_t count,
                                   const float* c, const float* t, const float* step, std::size_t n,
                                   std::size_t at) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    V acc[R];
    for (std::size_t v = 0; v < R; ++v) acc[v] = simd::load<V>(sum + at + v * kWidth);
    V first;  // i + 1 for each lane, exact: frames are far fewer than 2^24
    for (std::size_t l = 0; l < kWidth; ++l) first[l] = static_cast<float>(l + 1);
    for (std::size_t j = 0; j < count; ++j) {
        const float* x = jobs[j].sig + at;
        if (c[j] == t[j]) {
            for (std::size_t v = 0; v < R; ++v) acc[v] += c[j] * simd::load<V>(x + v * kWidth);
            continue;
        }
        for (std::size_t v = 0; v < R; ++v) {
            const V k = first + static_cast<float>(at + v * kWidth);
            const V g = k < static_cast<float>(n) ? c[j] + k * step[j] : V{} + t[j];
            acc[v] += g * simd::load<V>(x + v * kWidth);
        }
    }
    for (std::size_t v = 0; v < R; ++v) simd::store(sum + at + v * kWidth, acc[v]);
}

// The frames from `at` in runs of eight, four, two and one values V; gives where it stopped.
// Runs of one alone would chain every job's addition to the one before, which at 32 frames took
// three times as long as the arithmetic.
template <class V>
MIXENGINE_LANE_INLINE std::size_t sum_runs(float* sum, const SumJob* jobs, std::size_t count,
                                           const float* c, const float* t, const float* step,
                                           std::size_t n, std::size_t at) noexcept {
    constexpr std::size_t kWidth = sizeof(V) / sizeof(float);
    for (; at + 8 * kWidth <= n; at += 8 * kWidth)
        sum_run<8, V>(sum, jobs, count, c, t, step, n, at);
    if (at + 4 * kWidth <= n) {
        sum_run<4, V>(sum, jobs, count, c, t, step, n, at);
        at += 4 * kWidth;
    }
    if (at + 2 * kWidth <= n) {
        sum_run<2, V>(sum, jobs, count, c, t, step, n, at);
        at += 2 * kWidth;
    }
    if (at + kWidth <= n) {
        sum_run<1, V>(sum, jobs, count, c, t, step, n, at);
        at += kWidth;
    }
    return at;
}

// The ragged end, one frame at a time.
void sum_rest(float* sum, const SumJob* jobs, std::size_t count, const float* c, const float* t,
              const float* step, std::size_t n, std::size_t at) noexcept {
    for (; at < n; ++at) {
        float a = sum[at];
        for (std::size_t j = 0; j < count; ++j) {
            const float g = c[j] == t[j] ? c[j]
                            : at + 1 < n ? c[j] + static_cast<float>(at + 1) * step[j]
                                         : t[j];
            a += g * jobs[j].sig[at];
        }
        sum[at] = a;
    }
}

MIXENGINE_SIMD_CLONES
void sum_lanes(float* sum, const SumJob* jobs, std::size_t count, const float* c, const float* t,
               const float* step, std::size_t n) noexcept {
    sum_rest(sum, jobs, count, c, t, step, n,
             sum_runs<simd::Lanes>(sum, jobs, count, c, t, step, n, 0));
}

#if MIXENGINE_HAS_WIDE
// Sixteen frames to a value where 512-bit registers are: the sums are bound by the additions and
// multiplications, which these cores issue as many of per cycle at either width. Lane for lane
// the same arithmetic.
MIXENGINE_WIDE
void sum_wide(float* sum, const SumJob* jobs, std::size_t count, const float* c, const float* t,
              const float* step, std::size_t n) noexcept {
    std::size_t at = sum_runs<simd::Wide>(sum, jobs, count, c, t, step, n, 0);
    if (at + simd::kLanes <= n) {
        sum_run<1, simd::Lanes>(sum, jobs, count, c, t, step, n, at);
        at += simd::kLanes;
    }
    sum_rest(sum, jobs, count, c, t, step, n, at);
}
#endif

// sum += ramp * signal for each job in turn: the ramp goes from its value to its target over the
// chunk, the last sample at the target itself. Each frame's running sum is held in registers
// across the jobs instead of loaded and stored by each, with the same products added in the same
// order as job after job. At most kStrips jobs, none silent.
void sum_jobs(float* sum, const SumJob* jobs, std::size_t count, std::size_t n) noexcept {
    float c[kStrips], t[kStrips], step[kStrips];
    for (std::size_t j = 0; j < count; ++j) {
        Ramp& r = *jobs[j].ramp;
        c[j] = r.cur, t[j] = r.target;
        step[j] = n > 0 ? (t[j] - c[j]) / static_cast<float>(n) : 0.0f;
        r.cur = r.target;
    }
#if MIXENGINE_HAS_WIDE
    if (simd::wide()) return sum_wide(sum, jobs, count, c, t, step, n);
#endif
    sum_lanes(sum, jobs, count, c, t, step, n);
}

// dst += ramp * src; a ramp that stays at 0 adds nothing and is skipped.
void ramp_add(Ramp& r, float* dst, const float* src, std::size_t n) noexcept {
    if (r.silent()) return;
    const SumJob job{&r, src};
    sum_jobs(dst, &job, 1, n);
}

void mid_of(const float* left, const float* right, float* mid, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) mid[i] = 0.5f * (left[i] + right[i]);
}

void push_feed(std::vector<RingProducer<float>>& rings, std::size_t slot, const float* samples,
               std::size_t n) noexcept {
    if (slot < rings.size() && rings[slot].valid()) rings[slot].push_some(samples, n);
}

// The one lookup of a selected signal. Strips below 32 and buses below 8; anything else is no
// signal (null).
const float* route_signal(const State& s, const OutputRoute& r) noexcept {
    using Kind = OutputRoute::Kind;
    switch (r.kind) {
        case Kind::Off:
            return nullptr;
        case Kind::MainL:
            return s.main_l.data();
        case Kind::MainR:
            return s.main_r.data();
        case Kind::Mono:
            return s.mono.work.data();
        case Kind::Bus:
            return r.index < kBuses ? s.buses[r.index].work.data() : nullptr;
        case Kind::Strip:
            if (r.index >= kStrips) return nullptr;
            return r.post_fader ? s.strips[r.index].buf_out.data()
                                : s.strips[r.index].buf_proc.data();
    }
    return nullptr;
}

// A source is found as the route that would play it; main gives its left side here (callers
// handle the pair).
const float* source_signal(const State& s, const SignalSource& src) noexcept {
    using Kind = SignalSource::Kind;
    const OutputRoute::Kind route = src.kind == Kind::Main   ? OutputRoute::Kind::MainL
                                    : src.kind == Kind::Mono ? OutputRoute::Kind::Mono
                                    : src.kind == Kind::Bus  ? OutputRoute::Kind::Bus
                                                             : OutputRoute::Kind::Strip;
    return route_signal(s, OutputRoute{route, src.index, src.post_fader});
}

bool analyser_is(const State& s, AnalyserSource::Kind kind, uint32_t index = 0,
                 bool after_compressor = false) noexcept {
    const AnalyserSource& a = s.analyser_select;
    if (a.kind != kind) return false;
    if (kind == AnalyserSource::Kind::Strip)
        return a.index == index && a.after_compressor == after_compressor;
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

// ---- Inputs

// A broken device sample is silence.
float heard(float x) noexcept {
    return std::isfinite(x) ? x : 0.0f;
}

// The same over a buffer, in the processor's widest vectors (this file is built for the
// baseline machine).
MIXENGINE_SIMD_CLONES
void hear_all(float* buf, std::size_t n) noexcept {
    for (std::size_t i = 0; i < n; ++i) buf[i] = heard(buf[i]);
}

// Copies the input channel that strip `idx` maps to; false when it maps to none the device has.
bool read_input(const State& s, std::size_t idx, std::span<const float> input, std::size_t in_ch,
                std::size_t n, float* dst) noexcept {
    const int32_t ch = idx < s.input_map.size() ? s.input_map[idx] : -1;
    if (ch < 0) return false;
    // A microphone in the practice room hears its channel and what the room brings back to it.
    if (const float* mic = s.room.active() ? s.room.channel(ch) : nullptr) {
        std::copy_n(mic, n, dst);
        return true;
    }
    if (input.empty() || static_cast<std::size_t>(ch) >= in_ch) return false;
    const float* src = input.data() + ch;
    for (std::size_t i = 0; i < n; ++i) dst[i] = heard(src[i * in_ch]);
    return true;
}

// Eight strips that hear eight consecutive channels of the device (as they do unless mapped
// otherwise) take them in one pass, eight frames at a time transposed in registers, instead of
// one strided read per strip. True when they did.
static_assert(kStrips % simd::kLanes == 0);
bool read_eight_inputs(State& s, std::size_t first, std::span<const float> input, std::size_t in_ch,
                       std::size_t n) noexcept {
    if (s.room.active() || input.empty() || first + simd::kLanes > s.input_map.size()) return false;
    const int64_t ch = s.input_map[first];  // wide enough for any map entry plus seven
    for (std::size_t l = 0; l < simd::kLanes; ++l)
        if (s.input_map[first + l] != ch + int64_t(l)) return false;
    if (ch < 0 || std::size_t(ch) + simd::kLanes > in_ch) return false;
    float* dst[simd::kLanes];
    for (std::size_t l = 0; l < simd::kLanes; ++l) dst[l] = s.strips[first + l].buf_in.data();
    simd::deinterleave(input.data() + ch, 0, n, dst, in_ch);
    for (std::size_t l = 0; l < simd::kLanes; ++l) {
        hear_all(dst[l], n);
        s.strips[first + l].has_input = true;
    }
    return true;
}

// Every strip's input, before any strip runs.
void read_inputs(State& s, std::span<const float> input, std::size_t in_ch,
                 std::size_t n) noexcept {
    for (std::size_t first = 0; first < kStrips; first += simd::kLanes) {
        if (read_eight_inputs(s, first, input, in_ch, n)) continue;
        for (std::size_t idx = first; idx < first + simd::kLanes; ++idx) {
            Strip& st = s.strips[idx];
            st.has_input = read_input(s, idx, input, in_ch, n, st.buf_in.data());
            if (!st.has_input) std::fill_n(st.buf_in.data(), n, 0.0f);
        }
    }
}

// A bleed reducer's reference is another strip's input as the strips hear it, whichever order
// they then run in: each reducer takes its copy before any strip runs.
void take_bleed_references(State& s, std::size_t n) noexcept {
    for (Strip& st : s.strips) {
        st.bleed_ref_taken = false;
        if (!st.bleed.on()) continue;
        const uint64_t ref = st.bleed.cfg().ref;
        if (ref >= kStrips || !s.strips[ref].has_input) continue;
        std::copy_n(s.strips[ref].buf_in.data(), n, st.bleed_ref.data());
        st.bleed_ref_taken = true;
    }
}

// Empties what the strips and buses sum into.
void clear_sums(State& s, std::size_t n) noexcept {
    for (Bus& bus : s.buses) std::fill_n(bus.sum.data(), n, 0.0f);
    std::fill_n(s.mono.sum.data(), n, 0.0f);
    std::fill_n(s.main_l.data(), n, 0.0f);
    std::fill_n(s.main_r.data(), n, 0.0f);
}

// ---- Strips

// Strip steps up to the high-pass: bleed reduction (unless `cancelled`: the lane path has run
// the cancelling reducers already), input gain, delay.
void strip_head(State& s, std::size_t idx, std::size_t n, bool cancelled = false) noexcept {
    Strip& st = s.strips[idx];
    float* in = st.buf_in.data();
    if (st.bleed_ref_taken && !(cancelled && st.bleed.cancels()))
        st.bleed.run(in, st.bleed_ref.data(), n);

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

// What a strip adds to main's sides, mono and the buses: `add(ramp, sum, signal)` for each, in
// this order.
template <class Add>
void strip_sums(State& s, Strip& st, Add add) noexcept {
    float* in = st.buf_in.data();
    float* proc = st.buf_proc.data();
    float* out = st.buf_out.data();
    add(st.to_l, s.main_l.data(), out);
    add(st.to_r, s.main_r.data(), out);
    add(st.to_mono, s.mono.sum.data(), out);
    for (std::size_t k = 0; k < kBuses; ++k) {
        const uint8_t tap = k < st.cfg.sends.size() ? st.cfg.sends[k].tap : 2;
        const float* sig = tap == 0 ? in : (tap == 1 ? proc : out);
        add(st.sends[k], s.buses[k].sum.data(), sig);
    }
}

// After the compressor (which gave `comp_gain` at least): meters, analyser tap, automixer and
// fader; then, unless `sums_now` is false (the lane path sums every strip afterwards), what the
// strip adds to the sums.
void strip_tail(State& s, std::size_t idx, float comp_gain, float amix_target, std::size_t n,
                Meters& m, const AnalyserSink& sink, bool sums_now = true) noexcept {
    Strip& st = s.strips[idx];
    float* proc = st.buf_proc.data();
    float* out = st.buf_out.data();
    meter_min(m.strip_comp[idx], comp_gain);
    if (analyser_is(s, AnalyserSource::Kind::Strip, static_cast<uint32_t>(idx), true))
        sink(proc, n);

    std::copy_n(proc, n, out);
    st.amix_gain.target = amix_target;
    meter_min(m.strip_amix[idx], st.amix_gain.target);
    ramp_scale(st.amix_gain, out, n);
    ramp_scale(st.fader, out, n);

    if (sums_now)
        strip_sums(s, st, [n](Ramp& r, float* sum, const float* sig) { ramp_add(r, sum, sig, n); });
}

// What every strip adds to the sums, one sum at a time: strip by strip, as strip_tail adds it.
void sum_strips(State& s, const std::array<bool, kStrips>& idle, std::size_t n) noexcept {
    constexpr std::size_t kSums = 3 + kBuses;
    std::array<std::array<SumJob, kStrips>, kSums> jobs;
    std::array<std::size_t, kSums> count{};
    std::array<float*, kSums> sums{};
    for (std::size_t idx = 0; idx < kStrips; ++idx) {
        if (idle[idx]) continue;
        std::size_t d = 0;
        strip_sums(s, s.strips[idx], [&](Ramp& r, float* sum, const float* sig) {
            sums[d] = sum;
            if (!r.silent()) jobs[d][count[d]++] = SumJob{&r, sig};
            ++d;
        });
    }
    for (std::size_t d = 0; d < kSums; ++d)
        if (count[d] > 0) sum_jobs(sums[d], jobs[d].data(), count[d], n);
}

// One strip after another: input, high-pass, gate, equaliser, auto-EQ feed and correction,
// compressor, tail.
void strips_one_at_a_time(State& s, std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    for (std::size_t idx = 0; idx < kStrips; ++idx) {
        Strip& st = s.strips[idx];
        strip_head(s, idx, n);
        st.hpf.run(st.buf_in.data(), n);
        after_gate(s, idx, st.gate.run(st.buf_in.data(), n), n, m, sink);
        float* proc = st.buf_proc.data();
        st.eq.run(proc, n);
        st.peq.run(proc, n);
        st.geq.run(proc, n);
        if (st.aeq_on) push_feed(s.aeq_rings, auto_eq_strip(idx), proc, n);
        st.aeq.run(proc, n);
        const float comp_gain = st.dyn.run(proc, n);
        strip_tail(s, idx, comp_gain, s.amix.strip_target(st.amix_member, proc, n, st.amix_power),
                   n, m, sink);
    }
}

// Runs the gate or compressor of every strip (or bus), sixteen at a time in SIMD lanes; `pick`
// gives a channel's lane, and the smallest gains go to `min_gain`. Groups marked in `done` are
// left alone.
template <class Lane, std::size_t N, class Channel, class Pick, class Run>
void dynamics_in_lanes(std::vector<Channel>& channels, std::size_t n,
                       std::array<float, N>& min_gain, Pick pick, Run run,
                       const bool* done = nullptr) noexcept {
    for (std::size_t first = 0; first < N; first += kDynamicsLanes) {
        if (done && done[first / kDynamicsLanes]) continue;
        const std::size_t count = std::min(kDynamicsLanes, N - first);
        std::array<Lane, kDynamicsLanes> lanes;
        for (std::size_t l = 0; l < count; ++l) lanes[l] = pick(channels[first + l]);
        run(std::span<const Lane>(lanes.data(), count), n,
            std::span<float>(min_gain.data() + first, count));
    }
}

// The gates or compressors of sixteen strips run on the frames their filters leave interleaved
// (see FramesHook), for the groups marked `ready`; `done` marks those that did.
template <class Lane, class Pick>
struct DynamicsOnFrames {
    static constexpr std::size_t kGroups = kStrips / kDynamicsLanes;
    std::vector<Strip>* strips;
    float* min_gain;
    Pick pick;
    void (*run)(std::span<const Lane>, float*, std::size_t, std::span<float>) noexcept;
    std::array<bool, kGroups> ready{}, done{};

    static void hook(void* context, std::size_t first, float* frames, std::size_t n) noexcept {
        auto& d = *static_cast<DynamicsOnFrames*>(context);
        const std::size_t g = first / kDynamicsLanes;
        if (first % kDynamicsLanes != 0 || g >= kGroups || !d.ready[g]) return;
        std::array<Lane, kDynamicsLanes> lanes;
        for (std::size_t l = 0; l < kDynamicsLanes; ++l) lanes[l] = d.pick((*d.strips)[first + l]);
        d.run(lanes, frames, n, std::span<float>(d.min_gain + first, kDynamicsLanes));
        d.done[g] = true;
    }
    FramesHook frames_hook() noexcept { return {&hook, this}; }
};

// Runs one set of cascades of every strip (or bus) in SIMD lanes, eight channels to a plan.
template <class Channel, std::size_t N, class Pick>
void in_lanes(State& s, std::vector<Channel>& channels, std::size_t n,
              std::array<LanePlan, N / kBiquadLanes>& plans, Pick pick,
              FramesHook then = {}) noexcept {
    static_assert(N % kBiquadLanes == 0);
    std::array<LaneChannel, N> lanes;
    // Field by field: copied whole, the fresh value is read back in wider pieces than it was
    // written, which the processor cannot forward from its stores, a stall per channel.
    for (std::size_t k = 0; k < N; ++k) {
        const LaneChannel c = pick(channels[k]);
        lanes[k].buf = c.buf;
        for (std::size_t j = 0; j < c.cascades.size(); ++j) lanes[k].cascades[j] = c.cascades[j];
    }
    run_sets_in_lanes(lanes, plans, n, s.lane_scratch.data(), then);
}

// The same steps in stages across strips: every filter cascade runs with eight strips side by
// side. Everything a strip publishes or feeds happens in the same order per strip, and no strip
// reads another's signal before its tail, so the result is that of strips_one_at_a_time.
bool settled(const Ramp& r) noexcept {
    return r.cur == r.target;
}

bool states_zero(const BiquadCascade& c) noexcept {
    for (const BiquadState& st : c.states())
        if (st.s1 != 0.0f || st.s2 != 0.0f) return false;
    return true;
}

// A strip that hears nothing and holds nothing: no input and no bleed reduction running, every
// gain settled and not inverted (a negative gain turns silence into negative zeros), no delay,
// gate, compressor, automixer or auto-EQ, no analyser on it, every filter state zero (flushed
// states are never negative zeros). Its buffers are then silence and stay so, and what it would
// add to main, mono and the buses is +0 on sums that start at +0 and so are never -0: nothing it
// does can change the output.
bool strip_is_idle(const State& s, std::size_t idx) noexcept {
    const Strip& st = s.strips[idx];
    if (st.has_input || st.bleed_ref_taken || st.delay != 0 || st.aeq_on) return false;
    if (st.gate.params().active || st.dyn.active()) return false;
    if (st.amix_member.group != 0) return false;
    if (analyser_is(s, AnalyserSource::Kind::Strip, static_cast<uint32_t>(idx), false) ||
        analyser_is(s, AnalyserSource::Kind::Strip, static_cast<uint32_t>(idx), true))
        return false;
    if (!settled(st.gain) || std::signbit(st.gain.cur) || !settled(st.fader) ||
        !settled(st.amix_gain) || !settled(st.to_l) || !settled(st.to_r) || !settled(st.to_mono))
        return false;
    for (const Ramp& r : st.sends)
        if (!settled(r)) return false;
    for (const BiquadCascade* c : {&st.hpf, &st.eq, &st.peq, &st.geq, &st.aeq})
        if (!states_zero(*c)) return false;
    return true;
}

void strips_in_lanes(State& s, std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    // Idle strips keep silent buffers and skip their heads and tails (their filters may still
    // run beside busy strips in lanes, on silence).
    std::array<bool, kStrips> idle;
    for (std::size_t idx = 0; idx < kStrips; ++idx) {
        Strip& st = s.strips[idx];
        idle[idx] = strip_is_idle(s, idx);
        if (!idle[idx]) {
            st.silent_len = 0;
        } else if (st.silent_len < n) {
            std::fill(st.buf_proc.begin() + std::ptrdiff_t(st.silent_len),
                      st.buf_proc.begin() + std::ptrdiff_t(n), 0.0f);
            std::fill(st.buf_out.begin() + std::ptrdiff_t(st.silent_len),
                      st.buf_out.begin() + std::ptrdiff_t(n), 0.0f);
            st.silent_len = n;
        }
    }
    // A bleed reducer reads only its own strip's input and its copy of the reference, so the
    // cancelling ones can all run first, side by side.
    std::array<CancelLane, kStrips> cancel;
    std::size_t cancelling = 0;
    for (Strip& st : s.strips)
        if (st.bleed_ref_taken && st.bleed.cancels())
            cancel[cancelling++] = CancelLane{&st.bleed, st.buf_in.data(), st.bleed_ref.data()};
    cancel_in_lanes(std::span<const CancelLane>(cancel.data(), cancelling), n,
                    s.lane_scratch.data());
    for (std::size_t idx = 0; idx < kStrips; ++idx)
        if (!idle[idx]) strip_head(s, idx, n, true);
    // The gates of sixteen strips whose high-passes ran side by side take the frames still
    // interleaved, and so do their compressors after the equalisers where no auto-EQ comes
    // between; the others take their strips' buffers afterwards.
    std::array<float, kStrips> gate_gain, comp_gain;
    auto gate_lane = [](Strip& st) { return st.gate.lane(st.buf_in.data()); };
    DynamicsOnFrames<GateLane, decltype(gate_lane)> gates{&s.strips, gate_gain.data(), gate_lane,
                                                          gate_run_frames};
    gates.ready.fill(true);
    in_lanes<Strip, kStrips>(
        s, s.strips, n, s.plans.strip_hpf,
        [](Strip& st) {
            return LaneChannel{st.buf_in.data(), {&st.hpf}};
        },
        gates.frames_hook());
    dynamics_in_lanes<GateLane>(s.strips, n, gate_gain, gate_lane, gate_run_lanes,
                                gates.done.data());
    for (std::size_t idx = 0; idx < kStrips; ++idx)
        if (!idle[idx]) after_gate(s, idx, gate_gain[idx], n, m, sink);
    auto comp_lane = [](Strip& st) { return st.dyn.lane(st.buf_proc.data()); };
    DynamicsOnFrames<CompLane, decltype(comp_lane)> comps{&s.strips, comp_gain.data(), comp_lane,
                                                          comp_run_frames};
    comps.ready.fill(true);
    for (std::size_t idx = 0; idx < kStrips; ++idx)
        if (s.strips[idx].aeq_on || !s.strips[idx].aeq.empty())
            comps.ready[idx / kDynamicsLanes] = false;
    in_lanes<Strip, kStrips>(
        s, s.strips, n, s.plans.strip_eq,
        [](Strip& st) {
            return LaneChannel{st.buf_proc.data(), {&st.eq, &st.peq, &st.geq}};
        },
        comps.frames_hook());
    for (std::size_t idx = 0; idx < kStrips; ++idx)
        if (s.strips[idx].aeq_on)
            push_feed(s.aeq_rings, auto_eq_strip(idx), s.strips[idx].buf_proc.data(), n);
    in_lanes<Strip, kStrips>(s, s.strips, n, s.plans.strip_aeq, [](Strip& st) {
        return LaneChannel{st.buf_proc.data(), {&st.aeq}};
    });
    dynamics_in_lanes<CompLane>(s.strips, n, comp_gain, comp_lane, comp_run_lanes,
                                comps.done.data());
    std::array<AutomixJob, kStrips> amix;
    std::array<float, kStrips> amix_target;
    std::size_t busy = 0;
    for (std::size_t idx = 0; idx < kStrips; ++idx) {
        Strip& st = s.strips[idx];
        if (!idle[idx])
            amix[busy++] = AutomixJob{&st.amix_member, st.buf_proc.data(), &st.amix_power};
    }
    s.amix.strip_targets(std::span(amix.data(), busy), n, amix_target.data());
    for (std::size_t idx = 0, k = 0; idx < kStrips; ++idx)
        if (!idle[idx]) strip_tail(s, idx, comp_gain[idx], amix_target[k++], n, m, sink, false);
    sum_strips(s, idle, n);
}

// ---- Buses, main and mono

// A bus (or mono) starts from its sum.
float* bus_start(Bus& bus, std::size_t n) noexcept {
    std::copy_n(bus.sum.data(), n, bus.work.data());
    return bus.work.data();
}

// What the auto-EQ analyses of a bus (or mono): the signal after the equaliser.
void feed_bus_auto_eq(State& s, const Bus& bus, std::size_t slot, std::size_t n) noexcept {
    if (bus.aeq_on) push_feed(s.aeq_rings, slot, bus.work.data(), n);
}

// Of main, the mid of its two sides.
void feed_main_auto_eq(State& s, std::size_t n) noexcept {
    if (!s.main_aeq_on || kAutoEqMain >= s.aeq_rings.size() || !s.aeq_rings[kAutoEqMain].valid())
        return;
    mid_of(s.main_l.data(), s.main_r.data(), s.scratch_mid.data(), n);
    push_feed(s.aeq_rings, kAutoEqMain, s.scratch_mid.data(), n);
}

// Watched outputs' notches side by side, each lane exactly its cascade's apply.
void notches_in_lanes(State& s, std::span<const LaneStages> lanes,
                      std::span<const std::size_t> watched, std::size_t n) noexcept {
    run_stages_in_lanes(lanes, n, s.lane_scratch.data());
    for (std::size_t w : watched) s.notch_cascades[w].restart();
}

// After a bus's (or mono's) compressor: the notches (unless `notched` already, in lanes), fader,
// howl and feed of its watched output.
void finish_bus(State& s, Bus& bus, std::size_t watched, std::size_t n,
                bool notched = false) noexcept {
    float* work = bus.work.data();
    if (!notched) s.notch_cascades[watched].apply(work, n);
    ramp_scale(bus.fader, work, n);
    howl_and_feed(s, watched, work, nullptr, n);
}

// After the buses' compressors (which gave `comp_gain` at least): their finish, meters and
// analyser tap, and each bus into main and mono.
void buses_tail(State& s, const std::array<float, kBuses>& comp_gain, std::size_t n, Meters& m,
                const AnalyserSink& sink, bool notched = false) noexcept {
    for (std::size_t b = 0; b < kBuses; ++b) {
        Bus& bus = s.buses[b];
        float* work = bus.work.data();
        meter_min(m.bus_comp[b], comp_gain[b]);
        finish_bus(s, bus, watched_bus(b), n, notched);
        meter_max(m.bus_peak[b], simd::peak(work, n));
        if (analyser_is(s, AnalyserSource::Kind::Bus, static_cast<uint32_t>(b))) sink(work, n);
        ramp_add(bus.to_l, s.main_l.data(), work, n);
        ramp_add(bus.to_r, s.main_r.data(), work, n);
        ramp_add(bus.to_mono, s.mono.sum.data(), work, n);
    }
}

// After main's and mono's filters: main's linked compressor, notches, fader, howl and feed, meters
// and analyser tap, then mono's. In `lanes`, mono's compressor runs first, so that main's two
// sides and mono take their notches side by side; nothing of one reads the other.
void main_and_mono_tail(State& s, std::size_t n, Meters& m, const AnalyserSink& sink,
                        bool lanes = false) noexcept {
    float* l = s.main_l.data();
    float* r = s.main_r.data();
    float* mono = s.mono.work.data();
    meter_min(m.main_comp, s.main_dyn.run_linked(l, r, n));
    if (lanes) {
        meter_min(m.mono_comp, s.mono.dyn.run(mono, n));
        NotchCascade& main = s.notch_cascades[kWatchedMain];
        const std::array<LaneStages, 3> notch = {main.lane(l), main.lane(r, true),
                                                 s.notch_cascades[kWatchedMono].lane(mono)};
        const std::array<std::size_t, 2> watched = {kWatchedMain, kWatchedMono};
        notches_in_lanes(s, notch, watched, n);
    } else {
        s.notch_cascades[kWatchedMain].apply(l, r, n);
    }
    ramp_scale2(s.main_fader, l, r, n);
    howl_and_feed(s, kWatchedMain, l, r, n);
    meter_max(m.main_l_peak, simd::peak(l, n));
    meter_max(m.main_r_peak, simd::peak(r, n));
    if (analyser_is(s, AnalyserSource::Kind::Main)) {
        mid_of(l, r, s.scratch_mid.data(), n);
        sink(s.scratch_mid.data(), n);
    }

    if (!lanes) meter_min(m.mono_comp, s.mono.dyn.run(mono, n));
    finish_bus(s, s.mono, kWatchedMono, n, lanes);
    meter_max(m.mono_peak, simd::peak(mono, n));
    if (analyser_is(s, AnalyserSource::Kind::Mono)) sink(mono, n);
}

// One output after another: each bus's equaliser, auto-EQ feed and correction, and compressor;
// then main's two sides and mono, each through equaliser, feed and correction.
void outputs_one_at_a_time(State& s, std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    std::array<float, kBuses> comp_gain;
    for (std::size_t b = 0; b < kBuses; ++b) {
        Bus& bus = s.buses[b];
        float* work = bus_start(bus, n);
        bus.eq.run(work, n);
        bus.peq.run(work, n);
        bus.geq.run(work, n);
        feed_bus_auto_eq(s, bus, auto_eq_bus(b), n);
        bus.aeq.run(work, n);
        comp_gain[b] = bus.dyn.run(work, n);
    }
    buses_tail(s, comp_gain, n, m, sink);

    float* l = s.main_l.data();
    float* r = s.main_r.data();
    float* mono = bus_start(s.mono, n);
    s.main_eq.run(l, r, n);
    s.main_peq.run(l, r, n);
    s.main_geq.run(l, r, n);
    s.mono.eq.run(mono, n);
    s.mono.peq.run(mono, n);
    s.mono.geq.run(mono, n);
    feed_bus_auto_eq(s, s.mono, kAutoEqMono, n);
    feed_main_auto_eq(s, n);
    s.main_aeq.run(l, r, n);
    s.mono.aeq.run(mono, n);
    main_and_mono_tail(s, n, m, sink);
}

// The same steps in stages: the eight buses side by side, then main's two sides and mono in one
// set of lanes (nothing of one reads the other).
void outputs_in_lanes(State& s, std::size_t n, Meters& m, const AnalyserSink& sink) noexcept {
    for (Bus& bus : s.buses) bus_start(bus, n);
    in_lanes<Bus, kBuses>(s, s.buses, n, s.plans.bus_eq, [](Bus& bus) {
        return LaneChannel{bus.work.data(), {&bus.eq, &bus.peq, &bus.geq}};
    });
    for (std::size_t b = 0; b < kBuses; ++b) feed_bus_auto_eq(s, s.buses[b], auto_eq_bus(b), n);
    in_lanes<Bus, kBuses>(s, s.buses, n, s.plans.bus_aeq, [](Bus& bus) {
        return LaneChannel{bus.work.data(), {&bus.aeq}};
    });
    std::array<float, kBuses> comp_gain;
    dynamics_in_lanes<CompLane>(
        s.buses, n, comp_gain, [](Bus& bus) { return bus.dyn.lane(bus.work.data()); },
        comp_run_lanes);
    std::array<LaneStages, kBuses> notch;
    std::array<std::size_t, kBuses> watched;
    for (std::size_t b = 0; b < kBuses; ++b) {
        watched[b] = watched_bus(b);
        notch[b] = s.notch_cascades[watched[b]].lane(s.buses[b].work.data());
    }
    notches_in_lanes(s, notch, watched, n);
    buses_tail(s, comp_gain, n, m, sink, true);

    float* l = s.main_l.data();
    float* r = s.main_r.data();
    Bus& mono = s.mono;
    bus_start(mono, n);
    const std::array<LaneChannel, 3> eqs = {
        LaneChannel{l, {&s.main_eq.left(), &s.main_peq.left(), &s.main_geq.left()}},
        LaneChannel{r, {&s.main_eq.right(), &s.main_peq.right(), &s.main_geq.right()}},
        LaneChannel{mono.work.data(), {&mono.eq, &mono.peq, &mono.geq}}};
    run_in_lanes(eqs, n, s.lane_scratch.data(), &s.plans.out_eq);
    feed_bus_auto_eq(s, mono, kAutoEqMono, n);
    feed_main_auto_eq(s, n);
    const std::array<LaneChannel, 3> aeqs = {LaneChannel{l, {&s.main_aeq.left()}},
                                             LaneChannel{r, {&s.main_aeq.right()}},
                                             LaneChannel{mono.work.data(), {&mono.aeq}}};
    run_in_lanes(aeqs, n, s.lane_scratch.data(), &s.plans.out_aeq);
    main_and_mono_tail(s, n, m, sink, true);
}

// ---- What reads the final outputs

void measure_loudness(State& s, std::size_t n, Meters& m) noexcept {
    if (!s.loud_select) return;
    if (s.loud_select->kind == SignalSource::Kind::Main) {
        s.loudness.run(s.main_l.data(), s.main_r.data(), n, m);
    } else if (const float* sig = source_signal(s, *s.loud_select)) {
        s.loudness.run(sig, nullptr, n, m);
    }
}

// The listen feed takes interleaved pairs, whole chunks or nothing; a mono source plays on both.
void feed_listen(State& s, std::size_t n) noexcept {
    if (!s.listen_select || !s.listen_ring.valid() || s.listen_ring.free_slots() < 2 * n) return;
    const bool main = s.listen_select->kind == SignalSource::Kind::Main;
    const float* left = source_signal(s, *s.listen_select);
    const float* right = main ? s.main_r.data() : left;
    if (!left) return;
    float* pairs = s.scratch_listen.data();
    for (std::size_t i = 0; i < n; ++i) {
        pairs[2 * i] = left[i];
        pairs[2 * i + 1] = right[i];
    }
    s.listen_ring.push_some(pairs, 2 * n);
}

// Each device output plays its route, clamped; an output without one is silent.
void route_outputs(const State& s, float* output, std::size_t out_ch, std::size_t n,
                   Meters& m) noexcept {
    for (std::size_t c = 0; c < out_ch; ++c) {
        const float* sig =
            c < s.output_routes.size() ? route_signal(s, s.output_routes[c]) : nullptr;
        float* dst = output + c;
        if (!sig) {
            for (std::size_t i = 0; i < n; ++i) dst[i * out_ch] = 0.0f;
            continue;
        }
        for (std::size_t i = 0; i < n; ++i) dst[i * out_ch] = clamp_output(sig[i]);
        // The clamp takes a magnitude above 1 to 1 and a NaN to 0, which the peak ignores, so
        // the peak of what plays is the signal's own, at most 1.
        if (c < m.out_peak.size()) meter_max(m.out_peak[c], std::min(simd::peak(sig, n), 1.0f));
    }
}

// What every loudspeaker of the practice room played, for the next chunk's microphones, and the
// dynamics' gains that the room's margin is computed with.
void play_room(State& s, std::size_t n, Meters& m) noexcept {
    std::array<const float*, kRoomPaths> played{};
    for (std::size_t p = 0; p < s.room.path_count(); ++p)
        played[p] = route_signal(s, s.room.path_source(p));
    s.room.play({played.data(), s.room.path_count()}, n);
    publish_loop_gains(present_loop_gains(s), m);
}

void process_chunk(State& s, std::span<const float> input, std::size_t in_ch, float* output,
                   std::size_t out_ch, std::size_t n, Meters& m,
                   const AnalyserSink& sink) noexcept {
    const bool lanes = s.path == BlockPath::Lanes;
    if (s.room.active()) s.room.hear(input, in_ch, n);
    read_inputs(s, input, in_ch, n);
    // Whatever changes what the strips hear belongs here, before the bleed references are taken.
    take_bleed_references(s, n);
    clear_sums(s, n);

    s.amix.begin_chunk(n, s.sample_rate);
    if (lanes)
        strips_in_lanes(s, n, m, sink);
    else
        strips_one_at_a_time(s, n, m, sink);
    s.amix.end_chunk();

    if (lanes)
        outputs_in_lanes(s, n, m, sink);
    else
        outputs_one_at_a_time(s, n, m, sink);

    // From here every signal is final.
    measure_loudness(s, n, m);
    feed_listen(s, n);
    if (s.room.active()) play_room(s, n, m);
    route_outputs(s, output, out_ch, n, m);
}

}  // namespace

Strip::Strip(float sample_rate)
    : delay_line(saturating_cast<std::size_t>(std::floor(double(sample_rate) * 0.5)) + 4),
      bleed(sample_rate),
      gate(sample_rate),
      dyn(sample_rate) {}

MixEngine::State::State(float fs)
    : sample_rate(fs), mono(fs), main_dyn(fs), loudness(fs), room(fs) {
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
