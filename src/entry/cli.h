// The command line: how arguments are read and which mode runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mixengine {

// Arguments as given, program path first. Flags are matched byte for byte; there is no
// abbreviation, no "--flag=value" form and no case folding.
class Arguments {
  public:
    explicit Arguments(std::vector<std::string> args) : args_(std::move(args)) {}

    // Present when any argument equals the flag.
    bool has(std::string_view flag) const;

    // The argument right after the first occurrence of the flag, taken literally (even if it
    // looks like a flag). Absent when the flag is missing or its first occurrence is last.
    std::optional<std::string> value(std::string_view flag) const;

    // The first argument after the program path, empty when there is none.
    std::string_view first() const { return args_.size() > 1 ? args_[1] : std::string_view(); }

  private:
    std::vector<std::string> args_;
};

// Seconds for --from: a decimal float; negative, NaN and unparsable give 0; +inf stays +inf.
double parse_from_seconds(std::optional<std::string> text);

enum class Mode { List, Detect, Record, Play, Library, Sim, Live };

struct SimOptions;
struct LiveOptions;

Mode select_mode(const Arguments& args);

// Options of the simulation: counts clamped to 1..32 inputs and 1..64 outputs, rate 96000 only
// for exactly "96000".
SimOptions sim_options(const Arguments& args);

// The usage text for "--help" or the version line for "--version" when either is the first
// argument (each ending in a newline); nothing otherwise, and the modes are selected as usual.
std::optional<std::string> informational_text(const Arguments& args);

// Runs the selected mode and returns the process exit status.
int run_command_line(int argc, char** argv);

}  // namespace mixengine
