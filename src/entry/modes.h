// The run modes. Each returns the process exit status after printing whatever it prints.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace mixengine {

using StopFlag = std::shared_ptr<std::atomic<bool>>;

struct LiveOptions {
    std::string input;                // --in, as typed
    std::string output;               // --out, as typed
    std::optional<uint32_t> rate;     // --rate, Hz
    std::optional<uint32_t> buffer;   // --buffer, frames
};

// The counts are clamped once, where the command line is read (sim_options); everything after
// takes them as they are.
inline constexpr std::size_t kMaxSimInputs = 32;
inline constexpr std::size_t kMaxSimOutputs = 64;

struct SimOptions {
    std::size_t inputs = 16;          // 1..kMaxSimInputs
    std::size_t outputs = 8;          // 1..kMaxSimOutputs
    uint32_t rate = 48000;            // 48000 or 96000
    std::optional<std::string> files; // --files folder
};

struct RecordOptions {
    std::string device;
    std::string dir = ".";
    std::optional<uint16_t> channels;
};

struct PlayOptions {
    std::string device;
    std::string dir = ".";
    double from_s = 0.0;
};

int run_list_mode();
int run_detect_mode();
int run_record_mode(const RecordOptions& options);
int run_play_mode(const PlayOptions& options);
int run_library_mode();
int run_sim_mode(const SimOptions& options, StopFlag stop);
int run_live_mode(const LiveOptions& options, StopFlag stop);

}  // namespace mixengine
