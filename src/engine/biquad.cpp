// Biquad design and cascades; see biquad.h.
#include "biquad.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "simd.h"

namespace mixengine {

void run_biquad(const BiquadCoeffs& c, BiquadState& st, float* buf, std::size_t n) noexcept {
    const float b0 = c.b0, b1 = c.b1, b2 = c.b2, a1 = c.a1, a2 = c.a2;
    float s1 = st.s1, s2 = st.s2;
    for (std::size_t i = 0; i < n; ++i) {
        const float x = buf[i];
        const float y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        buf[i] = y;
    }
    st.s1 = s1;
    st.s2 = s2;
}

// Tiny states are zeroed so that decaying filters never reach denormals. A state that is not
// finite (an overflow upstream) is zeroed too: it would otherwise stay NaN for good, because
// states survive redesigns, and silence everything summed after it.
void flush_biquad_state(BiquadState& st) noexcept {
    if (!(std::fabs(st.s1) >= kBiquadFlushBelow && std::fabs(st.s1) <= kBiquadFiniteMax))
        st.s1 = 0.0f;
    if (!(std::fabs(st.s2) >= kBiquadFlushBelow && std::fabs(st.s2) <= kBiquadFiniteMax))
        st.s2 = 0.0f;
}

namespace {

void grow_states(std::vector<BiquadState>& states, std::size_t stages) {
    if (states.size() < stages) states.resize(stages);
}

// Runs G consecutive stages in one sweep: each sample passes through all G stages before the
// next sample is read. Per sample the arithmetic is exactly that of running the stages one after
// another over the whole chunk (run_biquad, the reference), so the output is identical; the sweep
// only lets the processor overlap the stages' independent feedback chains, which a stage-at-a-time
// loop leaves waiting on one another.
template <std::size_t G>
void run_sweep(const BiquadCoeffs* c, BiquadState* st, float* buf, std::size_t n) noexcept {
    float b0[G], b1[G], b2[G], a1[G], a2[G], s1[G], s2[G];
    for (std::size_t g = 0; g < G; ++g) {
        b0[g] = c[g].b0, b1[g] = c[g].b1, b2[g] = c[g].b2, a1[g] = c[g].a1, a2[g] = c[g].a2;
        s1[g] = st[g].s1, s2[g] = st[g].s2;
    }
    for (std::size_t i = 0; i < n; ++i) {
        float x = buf[i];
        for (std::size_t g = 0; g < G; ++g) {
            const float y = b0[g] * x + s1[g];
            s1[g] = b1[g] * x - a1[g] * y + s2[g];
            s2[g] = b2[g] * x - a2[g] * y;
            x = y;
        }
        buf[i] = x;
    }
    for (std::size_t g = 0; g < G; ++g) {
        st[g].s1 = s1[g], st[g].s2 = s2[g];
        flush_biquad_state(st[g]);
    }
}

void run_stages(std::span<const BiquadCoeffs> stages, std::span<BiquadState> states, float* buf,
                std::size_t n) noexcept {
    const std::size_t count = stages.size() < states.size() ? stages.size() : states.size();
    const BiquadCoeffs* c = stages.data();
    BiquadState* st = states.data();
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) run_sweep<4>(c + k, st + k, buf, n);
    switch (count - k) {
        case 3:
            run_sweep<3>(c + k, st + k, buf, n);
            break;
        case 2:
            run_sweep<2>(c + k, st + k, buf, n);
            break;
        case 1:
            run_sweep<1>(c + k, st + k, buf, n);
            break;
        default:
            break;
    }
}

using simd::Lanes;
static_assert(kBiquadLanes == simd::kLanes);
constexpr std::size_t kSweep = 4;  // stages per pass over the chunk: four feedback chains overlap

struct LaneStages {
    Lanes b0[kSweep], b1[kSweep], b2[kSweep], a1[kSweep], a2[kSweep], s1[kSweep], s2[kSweep];
};

// Four stages over n interleaved frames; per lane the equations of run_biquad, in its order.
MIXENGINE_SIMD_CLONES
void lane_sweep(LaneStages& st, float* data, std::size_t n) noexcept {
    Lanes b0[kSweep], b1[kSweep], b2[kSweep], a1[kSweep], a2[kSweep], s1[kSweep], s2[kSweep];
    for (std::size_t g = 0; g < kSweep; ++g) {
        b0[g] = st.b0[g], b1[g] = st.b1[g], b2[g] = st.b2[g], a1[g] = st.a1[g], a2[g] = st.a2[g];
        s1[g] = st.s1[g], s2[g] = st.s2[g];
    }
    for (std::size_t i = 0; i < n; ++i) {
        Lanes x;
        std::memcpy(&x, data + i * kBiquadLanes, sizeof x);
        for (std::size_t g = 0; g < kSweep; ++g) {
            const Lanes y = b0[g] * x + s1[g];
            s1[g] = b1[g] * x - a1[g] * y + s2[g];
            s2[g] = b2[g] * x - a2[g] * y;
            x = y;
        }
        std::memcpy(data + i * kBiquadLanes, &x, sizeof x);
    }
    for (std::size_t g = 0; g < kSweep; ++g) st.s1[g] = s1[g], st.s2[g] = s2[g];
}

// Walks a channel's cascades stage by stage.
struct StageCursor {
    const LaneChannel* ch = nullptr;
    std::size_t cascade = 0, stage = 0;

    bool next(const BiquadCoeffs*& c, BiquadState*& s) noexcept {
        for (; ch && cascade < ch->cascades.size(); ++cascade, stage = 0) {
            BiquadCascade* k = ch->cascades[cascade];
            if (!k) continue;
            const std::size_t count = std::min(k->stages().size(), k->states().size());
            if (stage < count) {
                c = &k->stages()[stage];
                s = &k->states()[stage];
                ++stage;
                return true;
            }
        }
        return false;
    }
};

}  // namespace

void run_in_lanes(std::span<const LaneChannel> channels, std::size_t n, float* scratch) noexcept {
    const std::size_t lanes = std::min(channels.size(), kBiquadLanes);
    StageCursor cursor[kBiquadLanes];
    float* bufs[kBiquadLanes] = {};
    for (std::size_t l = 0; l < lanes; ++l) {
        cursor[l].ch = &channels[l];
        bufs[l] = channels[l].buf;
    }
    bool loaded = false;
    for (;;) {
        LaneStages st;
        BiquadState* home[kSweep][kBiquadLanes] = {};
        bool any = false;
        for (std::size_t g = 0; g < kSweep; ++g) {
            for (std::size_t l = 0; l < kBiquadLanes; ++l) {
                const BiquadCoeffs* c = nullptr;
                BiquadState* s = nullptr;
                if (l < lanes && cursor[l].next(c, s)) {
                    st.b0[g][l] = c->b0, st.b1[g][l] = c->b1, st.b2[g][l] = c->b2;
                    st.a1[g][l] = c->a1, st.a2[g][l] = c->a2;
                    st.s1[g][l] = s->s1, st.s2[g][l] = s->s2;
                    home[g][l] = s;
                    any = true;
                } else {
                    st.b0[g][l] = 1.0f, st.b1[g][l] = 0.0f, st.b2[g][l] = 0.0f;
                    st.a1[g][l] = 0.0f, st.a2[g][l] = 0.0f;
                    st.s1[g][l] = 0.0f, st.s2[g][l] = 0.0f;
                }
            }
        }
        if (!any) break;
        if (!loaded) {
            simd::interleave(bufs, 0, n, scratch);
            loaded = true;
        }
        lane_sweep(st, scratch, n);
        for (std::size_t g = 0; g < kSweep; ++g) {
            for (std::size_t l = 0; l < kBiquadLanes; ++l) {
                if (!home[g][l]) continue;
                home[g][l]->s1 = st.s1[g][l];
                home[g][l]->s2 = st.s2[g][l];
                flush_biquad_state(*home[g][l]);
            }
        }
    }
    if (loaded) simd::deinterleave(scratch, 0, n, bufs);
}

BiquadCascade::BiquadCascade() {
    stages_.reserve(kCascadeReserve);
    states_.reserve(kCascadeReserve);
}

void BiquadCascade::set_stages(std::span<const BiquadCoeffs> stages) {
    stages_.assign(stages.begin(), stages.end());
    grow_states(states_, stages_.size());
}

void BiquadCascade::run(float* buf, std::size_t n) noexcept {
    run_stages(stages_, states_, buf, n);
}

BiquadCoeffs design_biquad(std::string_view type, double f_hz, double g_db, double q,
                           double sample_rate) {
    const double fs = sample_rate;
    const double fmax = fs / 2.1;
    if (!(fmax >= 10.0)) return {};

    constexpr double kButterworthQ = 0.7071067811865476;
    if (type == "lcut") {
        type = "hp";
        q = kButterworthQ;
        g_db = 0.0;
    } else if (type == "hcut") {
        type = "lp";
        q = kButterworthQ;
        g_db = 0.0;
    }
    // A gain that is not a number would poison the stage's state for good; treat it as flat.
    if (!std::isfinite(g_db)) g_db = 0.0;

    const double f = std::fmin(std::fmax(f_hz, 10.0), fmax);
    const double w0 = 2.0 * std::numbers::pi * f / fs;
    const double c = std::cos(w0);
    const double sn = std::sin(w0);
    const double A = std::pow(10.0, g_db / 40.0);
    const double Q = std::fmax(q, 0.1);  // fmax also turns a NaN q into 0.1
    const double alpha = sn / (2.0 * Q);

    double b0, b1, b2, a0, a1, a2;
    if (type == "hp") {
        b0 = (1.0 + c) / 2.0;
        b1 = -(1.0 + c);
        b2 = (1.0 + c) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "lp") {
        b0 = (1.0 - c) / 2.0;
        b1 = 1.0 - c;
        b2 = (1.0 - c) / 2.0;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "bp") {
        b0 = alpha;
        b1 = 0.0;
        b2 = -alpha;
        a0 = 1.0 + alpha;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha;
    } else if (type == "hp1") {
        const double K = std::tan(w0 / 2.0);
        b0 = 1.0;
        b1 = -1.0;
        b2 = 0.0;
        a0 = K + 1.0;
        a1 = K - 1.0;
        a2 = 0.0;
    } else if (type == "lshv") {
        const double sa = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) - (A - 1.0) * c + sa);
        b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
        b2 = A * ((A + 1.0) - (A - 1.0) * c - sa);
        a0 = (A + 1.0) + (A - 1.0) * c + sa;
        a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
        a2 = (A + 1.0) + (A - 1.0) * c - sa;
    } else if (type == "hshv") {
        const double sa = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) + (A - 1.0) * c + sa);
        b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
        b2 = A * ((A + 1.0) + (A - 1.0) * c - sa);
        a0 = (A + 1.0) - (A - 1.0) * c + sa;
        a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
        a2 = (A + 1.0) - (A - 1.0) * c - sa;
    } else {
        b0 = 1.0 + alpha * A;
        b1 = -2.0 * c;
        b2 = 1.0 - alpha * A;
        a0 = 1.0 + alpha / A;
        a1 = -2.0 * c;
        a2 = 1.0 - alpha / A;
    }
    return {static_cast<float>(b0 / a0), static_cast<float>(b1 / a0), static_cast<float>(b2 / a0),
            static_cast<float>(a1 / a0), static_cast<float>(a2 / a0)};
}

std::vector<BiquadCoeffs> design_graphic(std::span<const float> gains_db, double sample_rate) {
    std::vector<BiquadCoeffs> out;
    const std::size_t n = gains_db.size() < 31 ? gains_db.size() : 31;
    for (std::size_t i = 0; i < n; ++i) {
        const float g = gains_db[i];
        // A non-finite gain (a broken correction curve) is skipped like an inaudible one.
        if (!std::isfinite(g) || std::fabs(g) < 0.05f) continue;
        if (!(kGraphicCentresHz[i] < sample_rate / 2.2)) continue;
        out.push_back(design_biquad("peq", kGraphicCentresHz[i], g, 4.32, sample_rate));
    }
    return out;
}

std::vector<BiquadCoeffs> design_hpf(const Hpf& hpf, double sample_rate) {
    const double f = hpf.f;
    switch (hpf.slope) {
        case 18:
            return {design_biquad("hp1", f, 0.0, 0.0, sample_rate),
                    design_biquad("hp", f, 0.0, 1.0, sample_rate)};
        case 24:
            return {design_biquad("hp", f, 0.0, 0.541, sample_rate),
                    design_biquad("hp", f, 0.0, 1.307, sample_rate)};
        default:
            return {design_biquad("hp", f, 0.0, 0.7071067811865476, sample_rate)};
    }
}

std::vector<BiquadCoeffs> design_bands(std::span<const Band> bands, double sample_rate) {
    std::vector<BiquadCoeffs> out;
    out.reserve(bands.size());
    for (const Band& b : bands) out.push_back(design_biquad(b.type, b.f, b.g, b.q, sample_rate));
    return out;
}

}  // namespace mixengine
