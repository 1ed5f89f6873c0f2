// Commands for the feedback-suppressor thread, decoded by the command reader. `output` is 0 main,
// 1 mono, 2..9 buses 1..8.
#pragma once

#include <cstddef>
#include <variant>

#include "engine/config.h"

namespace mixengine {

namespace fba {
struct Configure { std::size_t output = 0; FbaCfg cfg; };
struct Cut { std::size_t output = 0; float freq_hz = 0.0f; };
struct Reset { std::size_t output = 0; };
struct Howl { std::size_t output = 0; float freq_hz = 0.0f; };
}  // namespace fba

using FbaCommand = std::variant<fba::Configure, fba::Cut, fba::Reset, fba::Howl>;

// Auto-EQ channel message: target (auto_eq_strip(s), auto_eq_bus(b), kAutoEqMain, kAutoEqMono) and
// cfg.
struct AutoEqRequest {
    std::size_t target = 0;
    AutoEqCfg cfg;
};

}  // namespace mixengine
