// Signal designators: the short texts the front end uses to name a signal of the console
// ("main", "bus.3", "in.12.pre", "main.l") and the output names of the feedback suppressor.
//
// A designator is split at every "."; a number is decimal digits with an optional leading "+"
// (parse_unsigned: one too large for 64 bits is out of every range), one-based in the text and
// zero-based in the result. The three grammars are deliberately not
// the same: "in.5" is the strip after its fader for listening and loudness but after its gate for
// the analyser, and an output route needs all three parts ("in.5.pre"). A text a grammar does not
// accept selects nothing, which switches the function off rather than failing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "engine/signals.h"

namespace mixengine {

// Listen and loudness source: "main", "mono", "bus.N", "in.N[.pre|.post|...]" (post unless the
// third part is exactly "pre"). Anything else: none.
std::optional<SignalSource> parse_signal_source(std::string_view text) noexcept;

// Analyser source: "main", "mono", "bus.N", "in.N[.post|...]" (post only for exactly "post").
// Anything else, "off" included: None.
AnalyserSource parse_analyser_source(std::string_view text) noexcept;

// Output route: "mono", "main.l", "main.r", "bus.N", "in.N.post" or "in.N.<anything>" (pre).
// Anything else: Off.
OutputRoute parse_output_route(std::string_view text) noexcept;

// Feedback-suppressor output: "main", "mono", "bus.N" as watched outputs. Anything else: nullopt.
std::optional<std::size_t> parse_fba_target(std::string_view text) noexcept;

}  // namespace mixengine
