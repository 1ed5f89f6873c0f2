// The system audio host over RtAudio: JACK, PulseAudio and ALSA on Linux, Core Audio or WASAPI
// where the library is built for them. The host name is RtAudio's display name of the audio
// system in use ("Jack", "ALSA", ...). RtAudio opens one stream per RtAudio object, so each stream
// owns its own.
#pragma once

#include <memory>

#include "audio_host.h"

namespace mixengine {

// Routes every message of RtAudio, JACK and ALSA away from standard error. Idempotent; called by
// make_system_host before anything touches those libraries.
void silence_audio_libraries();

// Picks the first audio system that has devices (in RtAudio's order), else the first one built
// in. Never fails: a host without devices lists nothing.
std::unique_ptr<AudioHost> make_system_host();

}  // namespace mixengine
