// Placeholder until the meter bridge is built.
#include "spectrum_thread.h"

namespace mixengine {
void start_spectrum_thread(SpectrumThreadInputs) {}
}  // namespace mixengine
