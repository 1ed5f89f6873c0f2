// The practice room's paths; see room.h.
#include "room.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "numeric.h"

namespace mixengine {

namespace {

constexpr std::size_t kChunk = 2048;
// Uniform noise of this peak has the -90 dBFS floor's RMS: 10^(-90/20) * sqrt(3).
constexpr float kNoisePeak = 5.4772256e-5f;
static_assert(kRoomNoiseDbfs == -90.0f);

// The practice loop's generator: state * 1664525 + 1013904223, a draw in [0, 1).
float draw(uint32_t& state) noexcept {
    state = state * 1664525u + 1013904223u;
    return static_cast<float>(state >> 8) / 16777216.0f;
}

std::complex<double> stage_response(const BiquadCoeffs& c, std::complex<double> z1,
                                    std::complex<double> z2) noexcept {
    const std::complex<double> num = double(c.b0) + double(c.b1) * z1 + double(c.b2) * z2;
    const std::complex<double> den = 1.0 + double(c.a1) * z1 + double(c.a2) * z2;
    return num / den;
}

std::complex<double> band_response(const RoomPathDesign& p, double w) noexcept {
    const std::complex<double> z1 = std::polar(1.0, -w), z2 = std::polar(1.0, -2.0 * w);
    std::complex<double> h = 1.0;
    for (std::size_t k = 0; k < p.band_count; ++k) h *= stage_response(p.band[k], z1, z2);
    return h;
}

// Reads n samples of the ring starting `back` samples before the write position.
void read_ring(const std::vector<float>& ring, std::size_t mask, uint64_t written, uint64_t back,
               float gain, float* dst, std::size_t n, bool add) noexcept {
    std::size_t pos = static_cast<std::size_t>((written - back) & mask);
    const float* src = ring.data();
    for (std::size_t i = 0; i < n;) {
        const std::size_t run = std::min(n - i, mask + 1 - pos);
        if (add)
            for (std::size_t k = 0; k < run; ++k) dst[i + k] += gain * src[pos + k];
        else
            for (std::size_t k = 0; k < run; ++k) dst[i + k] = gain * src[pos + k];
        i += run;
        pos = 0;
    }
}

}  // namespace

bool room_path_usable(const RoomPathCfg& cfg) noexcept {
    using K = OutputRoute::Kind;
    const K k = cfg.from.kind;
    const bool speaker = k == K::MainL || k == K::MainR || k == K::Mono ||
                         (k == K::Bus && cfg.from.index < kBuses);
    return speaker && cfg.ch >= 0;
}

RoomPathDesign design_room_path(const RoomPathCfg& cfg, double fs) {
    RoomPathDesign p;
    p.from = cfg.from;
    p.ch = cfg.ch;
    const double metres = std::fmin(std::fmax(double(cfg.m), 0.0), double(kRoomMaxMetres));
    p.direct_delay = saturating_cast<uint32_t>(std::round(metres / kSpeedOfSound * fs));

    // Each reflection travels further than the direct sound, so it arrives later and weaker by
    // the ratio of the distances, and loses a little more to the surface it bounced off.
    uint32_t rng = cfg.seed;
    const double near = std::fmax(metres, 0.5);
    p.tap_count = std::min<std::size_t>(cfg.refl, kRoomReflections);
    for (std::size_t r = 0; r < p.tap_count; ++r) {
        const double after_s = (1.5 + 22.0 * draw(rng)) * 0.001;
        const double loss_db = 1.0 + 5.0 * draw(rng);
        const double spread = near / (near + after_s * kSpeedOfSound);
        p.taps[r].delay = saturating_cast<uint32_t>(std::round(after_s * fs));
        p.taps[r].gain = static_cast<float>(spread * std::pow(10.0, -loss_db / 20.0));
    }
    const double absorb_hz = std::fmin(std::fmax(double(cfg.absorb_hz), 100.0), fs / 2.2);
    p.absorb = static_cast<float>(std::exp(-2.0 * std::numbers::pi * absorb_hz / fs));

    p.band[p.band_count++] = design_biquad("hp", cfg.hp, 0.0, 0.7071067811865476, fs);
    p.band[p.band_count++] = design_biquad("lp", cfg.lp, 0.0, 0.7071067811865476, fs);
    if (std::fabs(cfg.prox_db) >= 0.05f && std::isfinite(cfg.prox_db))
        p.band[p.band_count++] = design_biquad("lshv", 200.0, cfg.prox_db, 0.7071067811865476, fs);

    const double at_1k = std::abs(band_response(p, 2.0 * std::numbers::pi * 1000.0 / fs));
    const double level = std::pow(10.0, double(cfg.db) / 20.0) / std::fmax(at_1k, 1e-12);
    p.level = std::isfinite(level) ? static_cast<float>(std::fmin(level, 1e6)) : 0.0f;
    return p;
}

std::complex<double> room_path_response(const RoomPathDesign& p, double f_hz, double fs,
                                        std::size_t latency_frames) noexcept {
    const double w = 2.0 * std::numbers::pi * f_hz / fs;
    std::complex<double> refl = 0.0;
    for (std::size_t r = 0; r < p.tap_count; ++r)
        refl += double(p.taps[r].gain) * std::polar(1.0, -w * double(p.taps[r].delay));
    const double a = p.absorb;
    refl *= (1.0 - a) / (1.0 - a * std::polar(1.0, -w));
    const double delay = double(latency_frames) + double(p.direct_delay);
    return double(p.level) * band_response(p, w) * (1.0 + refl) * std::polar(1.0, -w * delay);
}

Room::Room(float sample_rate)
    : sample_rate_(sample_rate), mics_(kRoomPaths), direct_(kChunk), reflected_(kChunk) {}

void Room::configure(const RoomCfg& cfg) {
    count_ = 0;
    mic_count_ = 0;
    written_ = 0;
    for (const RoomPathCfg& pc : cfg.paths) {
        if (count_ == kRoomPaths) break;
        if (!room_path_usable(pc)) continue;
        RoomPathDesign d = design_room_path(pc, sample_rate_);
        PathState& st = states_[count_];
        uint32_t longest = 0;
        for (std::size_t r = 0; r < d.tap_count; ++r) longest = std::max(longest, d.taps[r].delay);
        std::size_t size = 1;
        while (size < kChunk + d.direct_delay + longest + 1) size <<= 1;
        st.ring.assign(size, 0.0f);
        st.mask = size - 1;
        st.absorb_y = 0.0f;
        st.band = {};
        std::size_t mic = 0;
        while (mic < mic_count_ && mic_ch_[mic] != d.ch) ++mic;
        if (mic == mic_count_) mic_ch_[mic_count_++] = d.ch;
        st.mic = mic;
        designs_[count_++] = d;
    }
    noise_ = cfg.paths.empty() ? 1u : cfg.paths.front().seed ^ 0x9e3779b9u;
}

void Room::hear(std::span<const float> input, std::size_t in_ch, std::size_t n) noexcept {
    latency_ = n;
    for (std::size_t m = 0; m < mic_count_; ++m) {
        float* mic = mics_[m].data();
        const auto ch = static_cast<std::size_t>(mic_ch_[m]);
        if (!input.empty() && ch < in_ch) {
            const float* src = input.data() + ch;
            for (std::size_t i = 0; i < n; ++i) {
                const float x = src[i * in_ch];
                mic[i] = std::isfinite(x) ? x : 0.0f;
            }
        } else {
            std::fill_n(mic, n, 0.0f);
        }
        for (std::size_t i = 0; i < n; ++i) mic[i] += kNoisePeak * (2.0f * draw(noise_) - 1.0f);
    }

    float* direct = direct_.data();
    float* refl = reflected_.data();
    for (std::size_t p = 0; p < count_; ++p) {
        const RoomPathDesign& d = designs_[p];
        PathState& st = states_[p];
        const uint64_t back = uint64_t(n) + d.direct_delay;
        read_ring(st.ring, st.mask, written_, back, 1.0f, direct, n, false);
        if (d.tap_count > 0) {
            read_ring(st.ring, st.mask, written_, back + d.taps[0].delay, d.taps[0].gain, refl,
                      n, false);
            for (std::size_t r = 1; r < d.tap_count; ++r)
                read_ring(st.ring, st.mask, written_, back + d.taps[r].delay, d.taps[r].gain,
                          refl, n, true);
            const float a = d.absorb, b = 1.0f - d.absorb;
            float y = st.absorb_y;
            for (std::size_t i = 0; i < n; ++i) {
                y = b * refl[i] + a * y;
                direct[i] += y;
            }
            st.absorb_y = std::fabs(y) >= kBiquadFlushBelow && std::isfinite(y) ? y : 0.0f;
        }
        for (std::size_t k = 0; k < d.band_count; ++k) {
            run_biquad(d.band[k], st.band[k], direct, n);
            flush_biquad_state(st.band[k]);
        }
        float* mic = mics_[st.mic].data();
        const float level = d.level;
        for (std::size_t i = 0; i < n; ++i) mic[i] += level * direct[i];
    }

    for (std::size_t m = 0; m < mic_count_; ++m) {
        float* mic = mics_[m].data();
        for (std::size_t i = 0; i < n; ++i) mic[i] = preamp_clip(mic[i]);
    }
}

void Room::play(std::span<const float* const> played, std::size_t n) noexcept {
    for (std::size_t p = 0; p < count_; ++p) {
        const float* sig = p < played.size() ? played[p] : nullptr;
        PathState& st = states_[p];
        std::size_t pos = static_cast<std::size_t>(written_ & st.mask);
        float* ring = st.ring.data();
        for (std::size_t i = 0; i < n; ++i) {
            ring[pos] = sig ? clamp_output(sig[i]) : 0.0f;
            pos = (pos + 1) & st.mask;
        }
    }
    written_ += n;
}

}  // namespace mixengine
