#include "cli.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include "control/integers.h"
#include "control/telemetry.h"
#include "modes.h"

namespace mixengine {

bool Arguments::has(std::string_view flag) const {
    return std::find(args_.begin(), args_.end(), flag) != args_.end();
}

std::optional<std::string> Arguments::value(std::string_view flag) const {
    const auto it = std::find(args_.begin(), args_.end(), flag);
    if (it == args_.end() || std::next(it) == args_.end()) return std::nullopt;
    return *std::next(it);
}

double parse_from_seconds(std::optional<std::string> text) {
    if (!text) return 0.0;
    std::string_view s = *text;
    // from_chars takes no leading "+", but a decimal number may carry one.
    if (s.size() > 1 && s.front() == '+' && s[1] != '-' && s[1] != '+') s.remove_prefix(1);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || end != s.data() + s.size()) return 0.0;
    if (ec == std::errc::result_out_of_range) {
        // Too large in magnitude saturates to infinity, too small to (nearly) zero. Whether the
        // text overflowed cannot be told from its exponent alone ("1" and 400 zeros has none),
        // so strtod, which reports overflow as HUGE_VAL, decides; from_chars has already
        // accepted the whole text as a plain decimal.
        value = std::strtod(std::string(s).c_str(), nullptr);
    }
    if (ec != std::errc() && ec != std::errc::result_out_of_range) return 0.0;
    if (std::isnan(value) || value < 0.0) return 0.0;
    return value;
}

Mode select_mode(const Arguments& args) {
    if (args.has("--list")) return Mode::List;
    if (args.has("--detect")) return Mode::Detect;
    if (args.value("--record")) return Mode::Record;
    if (args.value("--play")) return Mode::Play;
    if (args.has("--library")) return Mode::Library;
    if (args.has("--sim")) return Mode::Sim;
    return Mode::Live;
}

namespace {

std::size_t clamp_count(std::optional<uint64_t> n, std::size_t fallback, std::size_t most) {
    if (!n) return fallback;
    return static_cast<std::size_t>(std::clamp<uint64_t>(*n, 1, most));
}

}  // namespace

SimOptions sim_options(const Arguments& args) {
    SimOptions o;
    const auto number = [&](std::string_view flag) -> std::optional<uint64_t> {
        const auto v = args.value(flag);
        return v ? parse_unsigned<uint64_t>(*v) : std::nullopt;
    };
    o.inputs = clamp_count(number("--inputs"), o.inputs, kMaxSimInputs);
    o.outputs = clamp_count(number("--outputs"), o.outputs, kMaxSimOutputs);
    o.rate = args.value("--rate") == "96000" ? 96000 : 48000;
    o.files = args.value("--files");
    return o;
}

namespace {

std::optional<uint32_t> u32_value(const Arguments& args, std::string_view flag) {
    const auto v = args.value(flag);
    return v ? parse_unsigned<uint32_t>(*v) : std::nullopt;
}

}  // namespace

namespace {

constexpr std::string_view kUsage =
    R"(Usage: mixengine MODE [OPTIONS]

The audio engine of a live-sound mixing practice console. It reads JSON commands on standard
input and writes JSON lines on standard output.

Modes (the first that applies is run):
  --list                      print the audio devices
  --detect                    feedback detector service over UDP
  --record DEVICE [--dir DIR] [--channels N]
                              record every input channel to DIR/chNN.wav
  --play DEVICE [--dir DIR] [--from SECONDS]
                              play a recording to an output device
  --library                   print the practice library
  --sim [--inputs N] [--outputs N] [--rate 96000] [--files DIR]
                              run the console on recordings or test signals, without devices
  --in DEVICE --out DEVICE [--rate HZ] [--buffer FRAMES]
                              run the console live on audio devices

  --help                      this text (as the first argument)
  --version                   the version (as the first argument)
)";

}  // namespace

std::optional<std::string> informational_text(const Arguments& args) {
    if (args.first() == "--help") return std::string(kUsage);
    if (args.first() == "--version") return std::string("mixengine ") + MIXENGINE_VERSION + "\n";
    return std::nullopt;
}

int run_command_line(int argc, char** argv) {
    ignore_broken_pipe();
    std::vector<std::string> list;
    for (int i = 0; i < argc; ++i) list.emplace_back(argv[i] ? argv[i] : "");
    const Arguments args(std::move(list));

    // Asked for by a person, never by the front end: only as the first argument, so that no
    // flag value (a device called "--help") changes meaning.
    if (const auto text = informational_text(args)) {
        print_raw_line(std::string_view(*text).substr(0, text->size() - 1));
        return 0;
    }

    switch (select_mode(args)) {
        case Mode::List:
            return run_list_mode();
        case Mode::Detect:
            return run_detect_mode();
        case Mode::Record: {
            RecordOptions o;
            o.device = *args.value("--record");
            o.dir = args.value("--dir").value_or(".");
            if (const auto c = args.value("--channels")) o.channels = parse_unsigned<uint16_t>(*c);
            return run_record_mode(o);
        }
        case Mode::Play: {
            PlayOptions o;
            o.device = *args.value("--play");
            o.dir = args.value("--dir").value_or(".");
            o.from_s = parse_from_seconds(args.value("--from"));
            return run_play_mode(o);
        }
        case Mode::Library:
            return run_library_mode();
        case Mode::Sim:
            return run_sim_mode(sim_options(args), std::make_shared<std::atomic<bool>>(false));
        case Mode::Live: {
            const auto in = args.value("--in");
            const auto out = args.value("--out");
            if (!in || !out) {
                print_error("Choose an audio input and output (--in / --out), or use --sim.");
                return 2;
            }
            LiveOptions o{*in, *out, u32_value(args, "--rate"), u32_value(args, "--buffer")};
            return run_live_mode(o, std::make_shared<std::atomic<bool>>(false));
        }
    }
    return 1;
}

}  // namespace mixengine
