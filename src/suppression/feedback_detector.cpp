#include "suppression/feedback_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>

#include "engine/numeric.h"

namespace mixengine {

namespace {

// Far beyond any real level (600 dB over full scale), yet small enough that a whole frame of it
// cannot overflow the transform: every magnitude, and so every level, stays finite.
constexpr float kSampleLimit = 1e30f;

float sanitised(float x) noexcept {
    if (!std::isfinite(x)) return 0.0f;
    return std::fmin(std::fmax(x, -kSampleLimit), kSampleLimit);
}

// round() half away from zero into a bin index, saturating for absurd values.
int64_t nearest_bin(float x) noexcept {
    return saturating_cast<int64_t>(std::round(x));
}

int64_t ceil_bins(float x) noexcept {
    return saturating_cast<int64_t>(std::ceil(x));
}

bool within_semitone(float a_hz, float b_hz) noexcept {
    return std::fabs(std::log2(a_hz / b_hz)) < 1.0f / 12.0f;
}

}  // namespace

PersistenceRule persistence_rule(const FbaCfg& cfg) noexcept {
    const double persist = cfg.persist;
    if (cfg.content == "music") return {0.5f, saturating_cast<uint32_t>(std::round(1.5 * persist))};
    if (cfg.content == "speech")
        return {-3.0f, std::max(saturating_cast<uint32_t>(std::round(0.6 * persist)), 3u)};
    return {-1.0f, cfg.persist};
}

FeedbackDetector::FeedbackDetector(float sample_rate)
    : bin_hz_(sample_rate / float(kFrame)), fft_(Fft4096::create()) {
    // A transform that could not be planned is the shortage of memory it stands for.
    if (!fft_) throw std::bad_alloc();
    for (std::size_t i = 0; i < kFrame; ++i) {
        window_[i] = static_cast<float>(
            0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / 4095.0));
    }
    float sum = 0.0f;
    for (float w : window_) sum += w;
    norm_ = 0.5f * sum;

    // 60 Hz to 16 kHz, never the outermost bins, whose neighbours the peak test reads.
    const int64_t lo = std::max<int64_t>(1, ceil_bins(60.0f / bin_hz_));
    const int64_t hi =
        std::min<int64_t>(saturating_cast<int64_t>(std::floor(16000.0f / bin_hz_)), 2046);
    if (lo <= hi) {
        search_lo_ = static_cast<std::size_t>(lo);
        search_hi_ = static_cast<std::size_t>(hi);
    }
    neighbourhood_.reserve(kBins);
    followed_.reserve(kMaxCandidates);
    next_followed_.reserve(kMaxCandidates);
    tracks_.reserve(kMaxCandidates);
}

std::vector<float> FeedbackDetector::process(std::span<const float> samples, const FbaCfg& cfg) {
    std::vector<float> reports;
    std::size_t pos = 0;
    while (pos < samples.size()) {
        const std::size_t take = std::min(kFrame - fill_, samples.size() - pos);
        for (std::size_t i = 0; i < take; ++i) input_[fill_ + i] = sanitised(samples[pos + i]);
        fill_ += take;
        pos += take;
        if (fill_ == kFrame) {
            analyse_frame(cfg, reports);
            std::memmove(input_.data(), input_.data() + kHop, kHop * sizeof(float));
            fill_ = kHop;
        }
    }
    return reports;
}

void FeedbackDetector::compute_spectrum() noexcept {
    std::complex<float>* x = fft_->data();
    for (std::size_t i = 0; i < kFrame; ++i) x[i] = {input_[i] * window_[i], 0.0f};
    fft_->execute();
    for (std::size_t j = 0; j < kBins; ++j) {
        // In double, so that the squares cannot overflow before the root.
        const double re = x[j].real();
        const double im = x[j].imag();
        const float mag = static_cast<float>(std::sqrt(re * re + im * im));
        spectrum_[j] = 20.0f * std::log10(std::fmax(mag / norm_, 1e-9f));
    }
    analysed_ = true;
}

namespace {

// The neighbourhood of bin k whose median a peak is measured against: up to about a third of an
// octave on each side (at least 8 bins), without bin 0, and leaving out the peak and two bins
// either side of it: bins [lo, k - 3] and [k + 3, hi], either of which may be empty.
struct Neighbourhood {
    std::size_t lo, hi;
};

Neighbourhood neighbourhood_of(std::size_t k, std::size_t last_bin) noexcept {
    const std::size_t lo = std::min(k < 8 ? std::size_t{0} : k - 8,
                                    static_cast<std::size_t>(std::floor(float(k) / 1.26f)));
    const std::size_t hi =
        std::min(std::max(k + 8, static_cast<std::size_t>(std::ceil(float(k) * 1.26f))), last_bin);
    return {std::max<std::size_t>(lo, 1), hi};
}

// How many values of s[a..b] (inclusive; none when a > b) are at most `limit`.
std::size_t count_at_most(const float* s, std::size_t a, std::size_t b, float limit) noexcept {
    std::size_t n = 0;
    for (std::size_t m = a; m <= b; ++m) n += s[m] <= limit ? 1 : 0;
    return n;
}

}  // namespace

bool FeedbackDetector::may_stand_out(std::size_t k, float sensitivity_db) const noexcept {
    // The median is at most x exactly when more than half the values are at most x, so a count
    // tells whether S[k] - median can reach the sensitivity without finding the median. The
    // margin covers the rounding of the exact test, which the survivors still go through.
    const Neighbourhood nb = neighbourhood_of(k, kBins - 1);
    const float* s = spectrum_.data();
    const float limit = s[k] - sensitivity_db + 0.01f;
    const std::size_t left_end = k >= 3 ? k - 3 : 0;
    const std::size_t left = nb.lo <= left_end && k >= 3 ? left_end - nb.lo + 1 : 0;
    const std::size_t right = k + 3 <= nb.hi ? nb.hi - (k + 3) + 1 : 0;
    const std::size_t values = left + right;
    if (values < 2) return true;
    std::size_t at_most = 0;
    if (left) at_most += count_at_most(s, nb.lo, left_end, limit);
    if (right) at_most += count_at_most(s, k + 3, nb.hi, limit);
    return at_most >= values / 2 + 1;
}

float FeedbackDetector::local_median(std::size_t k) noexcept {
    const Neighbourhood nb = neighbourhood_of(k, kBins - 1);
    neighbourhood_.clear();
    for (std::size_t m = nb.lo; m <= nb.hi; ++m) {
        if (m + 3 <= k || m >= k + 3) neighbourhood_.push_back(spectrum_[m]);
    }
    if (neighbourhood_.empty()) return -120.0f;
    if (neighbourhood_.size() == 1) return neighbourhood_[0];
    const auto mid =
        neighbourhood_.begin() + static_cast<std::ptrdiff_t>(neighbourhood_.size() / 2);
    std::nth_element(neighbourhood_.begin(), mid, neighbourhood_.end());
    return *mid;
}

void FeedbackDetector::find_candidates(float sensitivity_db) noexcept {
    best_count_ = 0;
    const float* s = spectrum_.data();
    for (std::size_t k = search_lo_; k <= search_hi_; ++k) {
        if (!(s[k] >= -60.0f && s[k] >= s[k - 1] && s[k] >= s[k + 1])) continue;
        if (!may_stand_out(k, sensitivity_db)) continue;
        const float prominence = s[k] - local_median(k);
        if (prominence < sensitivity_db) continue;

        const float l = s[k - 1], m = s[k], r = s[k + 1];
        const float denom = l - 2.0f * m + r;
        const float delta = denom == 0.0f ? 0.0f : 0.5f * (l - r) / denom;
        const Candidate c{bin_hz_ * (float(k) + delta), prominence};

        // Keep the six most prominent, highest first; an equal prominence goes after the ones
        // already kept, which came from lower bins (the order of a stable sort).
        std::size_t at = best_count_;
        while (at > 0 && best_[at - 1].prominence_db < c.prominence_db) --at;
        if (at >= kMaxCandidates) continue;
        const std::size_t last = std::min(best_count_, kMaxCandidates - 1);
        for (std::size_t i = last; i > at; --i) best_[i] = best_[i - 1];
        best_[at] = c;
        best_count_ = std::min(best_count_ + 1, kMaxCandidates);
    }
}

bool FeedbackDetector::is_harmonic(float freq_hz) const noexcept {
    constexpr int64_t kLast = static_cast<int64_t>(kBins) - 1;
    const float* s = spectrum_.data();
    // The loudest bin within about 1 % of `hz`, if that window and two guard bins either side
    // exist and its centre is clear of the spectrum's ends.
    struct Window {
        int64_t lo, hi;
        bool ok;
    };
    const auto window_at = [&](float hz) {
        const int64_t c = nearest_bin(hz / bin_hz_);
        const int64_t w = std::max<int64_t>(1, ceil_bins(0.01f * hz / bin_hz_));
        const bool ok = c >= 3 && c <= kLast - 3 && c - w - 2 >= 0 && c + w + 2 <= kLast;
        return Window{c - w, c + w, ok};
    };
    const auto peak_of = [&](const Window& w) { return *std::max_element(s + w.lo, s + w.hi + 1); };

    const Window self = window_at(freq_hz);
    if (!self.ok) return false;
    const float ref = peak_of(self) - 30.0f;
    for (const float h : {2.0f * freq_hz, 3.0f * freq_hz, 0.5f * freq_hz}) {
        const Window w = window_at(h);
        if (!w.ok) continue;
        const float peak = peak_of(w);
        const float floor = 0.5f * (s[w.lo - 2] + s[w.hi + 2]) + 8.0f;
        if (peak > ref && peak > floor) return true;
    }
    return false;
}

PeakTrack FeedbackDetector::follow(float freq, float level) const noexcept {
    const PeakTrack* old = nullptr;
    for (const PeakTrack& t : followed_) {
        if (within_semitone(t.freq_hz, freq)) {
            old = &t;
            break;
        }
    }
    PeakTrack track{freq, 1, level, level, level, 0, level, 0, false};
    if (!old) {
        track.harmonic = is_harmonic(freq);
        return track;
    }
    track.count = sat_add(old->count, 1u);
    track.start_level = old->start_level;
    track.max_level = std::fmax(old->max_level, level);
    if (level >= old->level + kRiseDb) {
        track.rises = sat_add(old->rises, 1u);
        track.climb_from = old->rises > 0 ? old->climb_from : old->level;
    }
    if (level < track.max_level - kRunawayFallDb) {
        track.runaway = 0;
    } else if (old->runaway > 0) {
        track.runaway = sat_add(old->runaway, 1u);
    } else if (track.rises >= kRunawayRises && level > old->max_level &&
               level - track.climb_from >= kRunawayClimbDb) {
        track.runaway = 1;
    }
    track.harmonic = track.runaway < kRunawayHold && is_harmonic(freq);
    // Out of a harmonic series a peak starts afresh, as if it had not been followed at all,
    // unless it is running away: a howl keeps its history through the frames its harmonics
    // came back in.
    if (old->harmonic && !track.harmonic && track.runaway == 0) {
        track.count = 1;
        track.start_level = level;
        track.max_level = level;
    }
    return track;
}

void FeedbackDetector::analyse_frame(const FbaCfg& cfg, std::vector<float>& reports) {
    compute_spectrum();
    find_candidates(cfg.sensitivity);
    const PersistenceRule rule = persistence_rule(cfg);
    const uint32_t every = std::max(rule.frames, 1u);

    next_followed_.clear();
    tracks_.clear();
    for (std::size_t i = 0; i < best_count_; ++i) {
        const float freq = best_[i].freq_hz;
        const int64_t c = std::clamp<int64_t>(nearest_bin(freq / bin_hz_), 0, kBins - 1);
        const auto lo = static_cast<std::size_t>(std::max<int64_t>(c - 1, 0));
        const auto hi = static_cast<std::size_t>(std::min<int64_t>(c + 1, kBins - 1));
        const float level = *std::max_element(spectrum_.data() + lo, spectrum_.data() + hi + 1);

        const PeakTrack track = follow(freq, level);
        next_followed_.push_back(track);
        if (track.harmonic) continue;
        const bool due =
            track.count == rule.frames || (track.count > rule.frames && track.count % every == 0);
        if (due && level - track.start_level >= rule.growth_db && level >= track.max_level - 6.0f) {
            reports.push_back(freq);
        }
        tracks_.push_back(track);
    }
    followed_.swap(next_followed_);
}

}  // namespace mixengine
