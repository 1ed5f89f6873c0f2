// Gain before feedback; see room_margin.h.
#include "room_margin.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <span>

namespace mixengine {

namespace {

using cplx = std::complex<double>;

constexpr double kLowHz = 20.0;
constexpr double kHighHz = 20000.0;
constexpr std::size_t kMaxPoints = 16384;
// Points per turn of the loop's phase: enough that an in-phase crossing is never stepped over.
constexpr double kPointsPerTurn = 6.0;
// Below this spacing a log grid (1/96 octave) resolves the narrowest filters better than the
// phase needs.
const double kLogStep = std::exp2(1.0 / 96.0) - 1.0;

struct Unit {
    cplx z1, z2;
    cplx stage(const BiquadCoeffs& c) const noexcept {
        const cplx num = double(c.b0) + double(c.b1) * z1 + double(c.b2) * z2;
        const cplx den = 1.0 + double(c.a1) * z1 + double(c.a2) * z2;
        return num / den;
    }
    cplx cascade(std::span<const BiquadCoeffs> stages) const noexcept {
        cplx h = 1.0;
        for (const BiquadCoeffs& c : stages) h *= stage(c);
        return h;
    }
    cplx notches(const NotchCascade& n) const noexcept { return cascade(n.stages()); }
};

// The linear state of a bus, main or mono stage is the same for every strip and frequency loop.
cplx bus_chain(const Unit& u, const Bus& b) noexcept {
    return u.cascade(b.eq.stages()) * u.cascade(b.peq.stages()) * u.cascade(b.geq.stages()) *
           u.cascade(b.aeq.stages());
}

float to_db(double mag) noexcept {
    if (!(mag > 0.0) || !std::isfinite(mag)) return kRoomFloorDb;
    return static_cast<float>(std::fmax(20.0 * std::log10(mag), double(kRoomFloorDb)));
}

struct Needs {
    bool left = false, right = false, mono = false;
    std::array<bool, kBuses> bus{};
};

// What the loop of one microphone channel needs computed, and how long the loop can be.
struct ChannelLoop {
    int32_t ch = -1;
    std::array<std::size_t, kStrips> strips{};
    std::size_t strip_count = 0;
    Needs needs;
    double longest_s = 0.0;
};

ChannelLoop channel_loop(const MixEngine::State& s, const Room& room, int32_t ch,
                         std::size_t latency, double fs) noexcept {
    ChannelLoop c;
    c.ch = ch;
    std::size_t strip_delay = 0;
    for (std::size_t i = 0; i < kStrips && i < s.input_map.size(); ++i) {
        if (s.input_map[i] != ch) continue;
        c.strips[c.strip_count++] = i;
        strip_delay = std::max(strip_delay, s.strips[i].delay);
    }
    std::size_t path_delay = 0;
    for (const RoomPathDesign& p : room.paths()) {
        if (p.ch != ch) continue;
        std::size_t longest = p.direct_delay;
        for (std::size_t r = 0; r < p.tap_count; ++r)
            longest = std::max<std::size_t>(longest, p.direct_delay + p.taps[r].delay);
        path_delay = std::max(path_delay, longest);
        switch (p.from.kind) {
            case OutputRoute::Kind::MainL:
                c.needs.left = true;
                break;
            case OutputRoute::Kind::MainR:
                c.needs.right = true;
                break;
            case OutputRoute::Kind::Mono:
                c.needs.mono = true;
                break;
            case OutputRoute::Kind::Bus:
                if (p.from.index < kBuses) c.needs.bus[p.from.index] = true;
                break;
            default:
                break;
        }
    }
    // A bus feeds main and mono: it is needed whenever they are and it reaches them.
    for (std::size_t b = 0; b < kBuses; ++b) {
        const Bus& bus = s.buses[b];
        if ((c.needs.left && bus.to_l.target != 0.0f) ||
            (c.needs.right && bus.to_r.target != 0.0f) ||
            (c.needs.mono && bus.to_mono.target != 0.0f))
            c.needs.bus[b] = true;
    }
    c.longest_s = double(latency + path_delay + strip_delay) / fs;
    return c;
}

// What the signal of microphone channel c brings, at one frequency, to each loudspeaker signal.
struct Speakers {
    cplx left = 0.0, right = 0.0, mono = 0.0;
    std::array<cplx, kBuses> bus{};

    cplx of(const OutputRoute& from) const noexcept {
        switch (from.kind) {
            case OutputRoute::Kind::MainL:
                return left;
            case OutputRoute::Kind::MainR:
                return right;
            case OutputRoute::Kind::Mono:
                return mono;
            case OutputRoute::Kind::Bus:
                return from.index < kBuses ? bus[from.index] : 0.0;
            default:
                return 0.0;
        }
    }
};

Speakers speakers(const MixEngine::State& s, const LoopGains& g, const ChannelLoop& c, double f_hz,
                  double fs) noexcept {
    const double w = 2.0 * std::numbers::pi * f_hz / fs;
    const Unit u{std::polar(1.0, -w), std::polar(1.0, -2.0 * w)};

    cplx left = 0.0, right = 0.0, mono = 0.0;
    std::array<cplx, kBuses> bus_in{};
    for (std::size_t k = 0; k < c.strip_count; ++k) {
        const std::size_t i = c.strips[k];
        const Strip& st = s.strips[i];
        const cplx in = double(st.gain.target) * std::polar(1.0, -w * double(st.delay)) *
                        u.cascade(st.hpf.stages()) * double(g.gate[i]);
        const cplx proc = in * u.cascade(st.eq.stages()) * u.cascade(st.peq.stages()) *
                          u.cascade(st.geq.stages()) * u.cascade(st.aeq.stages()) *
                          double(g.comp[i]);
        const cplx out = proc * double(g.amix[i]) * double(st.fader.target);
        left += out * double(st.to_l.target);
        right += out * double(st.to_r.target);
        mono += out * double(st.to_mono.target);
        for (std::size_t b = 0; b < kBuses; ++b) {
            const float send = st.sends[b].target;
            if (send == 0.0f || !c.needs.bus[b]) continue;
            const uint8_t tap = b < st.cfg.sends.size() ? st.cfg.sends[b].tap : 2;
            bus_in[b] += (tap == 0 ? in : (tap == 1 ? proc : out)) * double(send);
        }
    }
    std::array<cplx, kBuses> bus_out{};
    for (std::size_t b = 0; b < kBuses; ++b) {
        if (!c.needs.bus[b] || bus_in[b] == 0.0) continue;
        const Bus& bus = s.buses[b];
        bus_out[b] = bus_in[b] * bus_chain(u, bus) * double(g.bus_comp[b]) *
                     u.notches(s.notch_cascades[2 + b]) * double(bus.fader.target);
        left += bus_out[b] * double(bus.to_l.target);
        right += bus_out[b] * double(bus.to_r.target);
        mono += bus_out[b] * double(bus.to_mono.target);
    }
    cplx main_chain = 0.0;
    if ((c.needs.left && left != 0.0) || (c.needs.right && right != 0.0))
        main_chain = u.cascade(s.main_eq.stages()) * u.cascade(s.main_peq.stages()) *
                     u.cascade(s.main_geq.stages()) * u.cascade(s.main_aeq.stages()) *
                     double(g.main_comp) * u.notches(s.notch_cascades[0]) *
                     double(s.main_fader.target);
    cplx mono_out = 0.0;
    if (c.needs.mono && mono != 0.0)
        mono_out = mono * bus_chain(u, s.mono) * double(g.mono_comp) *
                   u.notches(s.notch_cascades[1]) * double(s.mono.fader.target);

    return Speakers{left * main_chain, right * main_chain, mono_out, bus_out};
}

// What the loudspeakers, carrying `from`, bring back into microphone channel `into`: with the
// loudspeakers of that very channel, its open-loop gain.
cplx heard(const Room& room, int32_t into, const Speakers& from, double f_hz, std::size_t latency,
           double fs) noexcept {
    cplx loop = 0.0;
    for (const RoomPathDesign& p : room.paths()) {
        if (p.ch != into) continue;
        const cplx speaker = from.of(p.from);
        if (speaker != 0.0) loop += speaker * room_path_response(p, f_hz, fs, latency);
    }
    return loop;
}

// The loop's gain at one frequency: one value, or the two eigenvalues of two microphones' loop,
// and the microphone whose own loop is the larger there.
struct LoopAt {
    std::array<cplx, 2> l{};
    std::size_t count = 1;
    int32_t ch = -1;
};

// Scans `at` over the grid the longest loop needs: the highest gain, and the highest where a
// branch of the loop is in phase (its imaginary part changes sign on the positive real side).
// Two branches are followed by continuity from one point of the grid to the next.
template <class At>
RoomMargin scan_margin(At at, double longest_s, double fs) noexcept {
    RoomMargin m;
    const double high = std::fmin(kHighHz, fs / 2.2);
    const double turn_step = 1.0 / (kPointsPerTurn * std::fmax(longest_s, 1e-6));
    const double floor_step = (high - kLowHz) / double(kMaxPoints);

    double best = 0.0, best_f = 0.0, ring = 0.0, ring_f = 0.0, ring_delay = 0.0;
    double f0 = kLowHz;
    LoopAt p0 = at(f0);
    m.ch = p0.ch;
    for (std::size_t k = 0; k < p0.count; ++k)
        if (std::abs(p0.l[k]) > best) best = std::abs(p0.l[k]), best_f = f0;
    while (f0 < high) {
        const double step = std::fmax(std::fmin(f0 * kLogStep, turn_step), floor_step);
        const double f1 = std::fmin(f0 + step, high);
        LoopAt p1 = at(f1);
        if (p1.count == 2 && std::abs(p1.l[0] - p0.l[1]) + std::abs(p1.l[1] - p0.l[0]) <
                                 std::abs(p1.l[0] - p0.l[0]) + std::abs(p1.l[1] - p0.l[1]))
            std::swap(p1.l[0], p1.l[1]);
        for (std::size_t k = 0; k < p1.count; ++k) {
            const cplx l0 = p0.l[k], l1 = p1.l[k];
            const double a0 = std::abs(l0), a1 = std::abs(l1);
            if (a1 > best) {
                best = a1;
                best_f = f1;
                if (ring == 0.0) m.ch = p1.ch;
            }
            const bool crosses = (l0.imag() >= 0.0) != (l1.imag() >= 0.0);
            if (crosses && a0 > 0.0 && a1 > 0.0) {
                const double t = l0.imag() / (l0.imag() - l1.imag());
                const double re = l0.real() + t * (l1.real() - l0.real());
                const double mag = a0 + t * (a1 - a0);
                if (re > 0.0 && mag > ring) {
                    ring = mag;
                    ring_f = f0 + t * (f1 - f0);
                    ring_delay = -std::arg(l1 / l0) / (2.0 * std::numbers::pi * (f1 - f0));
                    m.ch = p1.ch;
                }
            }
        }
        f0 = f1;
        p0 = p1;
    }
    m.gain_db = to_db(best);
    m.freq_hz = best > 0.0 ? static_cast<float>(best_f) : 0.0f;
    m.ring_db = to_db(ring);
    m.ring_hz = static_cast<float>(ring_f);
    m.loop_ms = static_cast<float>(ring_delay * 1000.0);
    return m;
}

RoomMargin channel_margin(const MixEngine::State& s, const Room& room, const LoopGains& g,
                          const ChannelLoop& c, std::size_t latency, double fs) noexcept {
    if (c.strip_count == 0) {
        RoomMargin m;
        m.ch = c.ch;
        return m;
    }
    return scan_margin(
        [&](double f) {
            const cplx l = heard(room, c.ch, speakers(s, g, c, f, fs), f, latency, fs);
            return LoopAt{{l, 0.0}, 1, c.ch};
        },
        c.longest_s, fs);
}

// Two microphones hearing loudspeakers that carry both: entry (i, j) of their loop is what
// channel j brings back into channel i, and the loop rings where an eigenvalue of that 2x2
// matrix does. Each channel's loop data covers the loudspeakers either one hears.
RoomMargin pair_margin(const MixEngine::State& s, const Room& room, const LoopGains& g,
                       std::array<ChannelLoop, 2> c, std::size_t latency, double fs) noexcept {
    if (c[0].strip_count == 0 && c[1].strip_count == 0)
        return channel_margin(s, room, g, c[0], latency, fs);
    Needs both = c[0].needs;
    both.left |= c[1].needs.left, both.right |= c[1].needs.right, both.mono |= c[1].needs.mono;
    for (std::size_t b = 0; b < kBuses; ++b) both.bus[b] = both.bus[b] || c[1].needs.bus[b];
    c[0].needs = c[1].needs = both;
    return scan_margin(
        [&](double f) {
            const int32_t a = c[0].ch, b = c[1].ch;
            const Speakers from_a = speakers(s, g, c[0], f, fs),
                           from_b = speakers(s, g, c[1], f, fs);
            const cplx m00 = heard(room, a, from_a, f, latency, fs);
            const cplx m01 = heard(room, a, from_b, f, latency, fs);
            const cplx m10 = heard(room, b, from_a, f, latency, fs);
            const cplx m11 = heard(room, b, from_b, f, latency, fs);
            const cplx half = 0.5 * (m00 + m11);
            const cplx root = std::sqrt(half * half - (m00 * m11 - m01 * m10));
            return LoopAt{{half + root, half - root}, 2, std::abs(m00) >= std::abs(m11) ? a : b};
        },
        std::fmax(c[0].longest_s, c[1].longest_s), fs);
}

}  // namespace

LoopGains present_loop_gains(const MixEngine::State& s) noexcept {
    LoopGains g;
    const auto comp_factor = [](const Compressor& c) {
        if (!c.active()) return 1.0f;
        const CompParams& p = c.params();
        return (1.0f - p.mix) + p.mix * p.makeup * std::pow(10.0f, c.state().gr_db / 20.0f);
    };
    for (std::size_t i = 0; i < kStrips; ++i) {
        const Strip& st = s.strips[i];
        g.gate[i] = st.gate.params().active ? st.gate.state().gain : 1.0f;
        g.comp[i] = comp_factor(st.dyn);
        g.amix[i] = st.amix_gain.target;
    }
    for (std::size_t b = 0; b < kBuses; ++b) g.bus_comp[b] = comp_factor(s.buses[b].dyn);
    g.main_comp = comp_factor(s.main_dyn);
    g.mono_comp = comp_factor(s.mono.dyn);
    return g;
}

void publish_loop_gains(const LoopGains& g, Meters& m) noexcept {
    if (m.loop_gain.size() < kLoopGainCells) return;
    std::size_t k = 0;
    for (const auto* list : {&g.gate, &g.comp, &g.amix})
        for (float v : *list) meter_store(m.loop_gain[k++], v);
    for (float v : g.bus_comp) meter_store(m.loop_gain[k++], v);
    meter_store(m.loop_gain[k++], g.main_comp);
    meter_store(m.loop_gain[k], g.mono_comp);
}

LoopGains read_loop_gains(const Meters& m) noexcept {
    LoopGains g;
    if (m.loop_gain.size() < kLoopGainCells) return g;
    std::size_t k = 0;
    for (auto* list : {&g.gate, &g.comp, &g.amix})
        for (float& v : *list) v = meter_load(m.loop_gain[k++]);
    for (float& v : g.bus_comp) v = meter_load(m.loop_gain[k++]);
    g.main_comp = meter_load(m.loop_gain[k++]);
    g.mono_comp = meter_load(m.loop_gain[k]);
    return g;
}

bool MixEngine::has_room() const noexcept {
    return s_->room.active();
}

RoomMargin MixEngine::room_margin(std::size_t latency_frames,
                                  const LoopGains* gains) const noexcept {
    const State& s = *s_;
    return mixengine::room_margin(s, s.room, gains ? *gains : present_loop_gains(s),
                                  latency_frames);
}

RoomMargin room_margin(const MixEngine::State& s, const Room& room, const LoopGains& gains,
                       std::size_t latency_frames) noexcept {
    const double fs = s.sample_rate;
    RoomMargin out;
    std::array<int32_t, kRoomPaths> seen{};
    std::size_t seen_count = 0;
    for (const RoomPathDesign& p : room.paths())
        if (std::find(seen.begin(), seen.begin() + seen_count, p.ch) == seen.begin() + seen_count)
            seen[seen_count++] = p.ch;
    if (seen_count == 2)
        return pair_margin(s, room, gains,
                           {channel_loop(s, room, seen[0], latency_frames, fs),
                            channel_loop(s, room, seen[1], latency_frames, fs)},
                           latency_frames, fs);
    for (std::size_t k = 0; k < seen_count; ++k) {
        const ChannelLoop c = channel_loop(s, room, seen[k], latency_frames, fs);
        const RoomMargin m = channel_margin(s, room, gains, c, latency_frames, fs);
        if (out.ch < 0 || m.ring_db > out.ring_db ||
            (m.ring_db == out.ring_db && m.gain_db > out.gain_db))
            out = m;
    }
    return out;
}

}  // namespace mixengine
