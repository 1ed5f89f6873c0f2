#include "meter_reading.h"

#include <cmath>
#include <vector>

namespace mixengine {

namespace {

Json take(MeterCell& cell, float reset) {
    return json_f32(round_meter(meter_take(cell, reset)));
}

Json take_all(std::vector<MeterCell>& cells, std::size_t count, float reset) {
    Json list = Json::array();
    for (std::size_t i = 0; i < count && i < cells.size(); ++i)
        list.push_back(take(cells[i], reset));
    return list;
}

Json take_all(std::vector<MeterCell>& cells, float reset) {
    return take_all(cells, cells.size(), reset);
}

Json loudness_json(const std::optional<LoudnessTriple>& triple) {
    if (!triple) return nullptr;
    Json list = Json::array();
    for (double v : *triple) list.push_back(v);  // NaN and infinity print as null
    return list;
}

}  // namespace

float round_meter(float v) noexcept {
    return std::round(v * 10000.0f) / 10000.0f;
}

Json read_meter_message(Meters& meters, LoudnessIntegrator& loudness, std::atomic<bool>& loud_reset,
                        std::size_t output_count, uint64_t xruns) {
    Json m;
    m["t"] = "m";
    m["in"] = take_all(meters.strip_peak, kPeakReset);
    m["gate"] = take_all(meters.strip_gate, kGainReset);
    m["dyn"] = take_all(meters.strip_comp, kGainReset);
    m["amix"] = take_all(meters.strip_amix, kGainReset);

    const bool reset = loud_reset.exchange(false);
    // Acquire pairs with the engine's release increment: the block's mean square is visible.
    const uint32_t blocks = meters.loud_blocks.load(std::memory_order_acquire);
    const double latest = static_cast<double>(meter_load(meters.loud_ms));
    m["loud"] = loudness_json(loudness.update(reset, blocks, latest));

    m["bus"] = take_all(meters.bus_peak, kPeakReset);
    m["busGR"] = take_all(meters.bus_comp, kGainReset);
    m["out"] = take_all(meters.out_peak, output_count, kPeakReset);
    m["main"] =
        Json::array({take(meters.main_l_peak, kPeakReset), take(meters.main_r_peak, kPeakReset)});
    m["mainGR"] = take(meters.main_comp, kGainReset);
    m["mono"] = take(meters.mono_peak, kPeakReset);
    m["monoGR"] = take(meters.mono_comp, kGainReset);
    m["xruns"] = xruns;
    return m;
}

}  // namespace mixengine
