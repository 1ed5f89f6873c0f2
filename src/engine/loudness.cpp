// Placeholder until the loudness meter is built.
#include "loudness.h"

namespace mixengine {

LoudnessMeter::LoudnessMeter(float sample_rate) : sample_rate_(sample_rate) {}
void LoudnessMeter::reset() noexcept {}
void LoudnessMeter::run(const float*, const float*, std::size_t, Meters&) noexcept {}

}  // namespace mixengine
