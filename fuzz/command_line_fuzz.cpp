// Command input as the front end sends it: the bytes go through the real line framing into
// handle_command_line, with a real update ring and channels behind it. After each line the ring
// and the channels are drained and held to what one line may do: at most one engine update,
// feedback outputs and auto-EQ targets in range, a "quit" that sends nothing. Every update is
// then applied to a real engine, which runs one short block, so that extreme numbers in a record
// reach the filter and dynamics design too.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "control/command_reader.h"
#include "engine/mix_engine.h"
#include "support/command_reader_ends.h"

namespace mixengine {
namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

struct Rig : testing::CommandReaderEnds {
    MixEngine engine{48000.0f};
    Meters meters{2};
    RingProducer<float> analyser;
    RingConsumer<float> analyser_out;
    std::vector<float> in = std::vector<float>(64 * 2, 0.25f);
    std::vector<float> out = std::vector<float>(64 * 2);

    Rig() {
        auto [ap, ac] = make_spsc_ring<float>(4096);
        analyser = std::move(ap);
        analyser_out = std::move(ac);
    }

    // Drains what one line sent and checks it against what a line may send.
    void check_line(CommandResult result) {
        std::size_t updates = 0;
        EngineUpdate u;
        while (ring.pop(u)) {
            ++updates;
            engine.apply_update(std::move(u));
        }
        std::size_t commands = 0;
        while (auto c = fba.try_receive()) {
            ++commands;
            std::visit([](const auto& cmd) { require(cmd.output < kOutputsWatched); }, *c);
        }
        std::size_t requests = 0;
        while (auto r = aeq.try_receive()) {
            ++requests;
            require(r->target < kAutoEqTargets);
        }
        require(updates <= 1 && commands <= 1 && requests <= 1);
        require(updates + commands <= 1);  // a line is one command: an update or a message
        if (result == CommandResult::Quit) require(updates + commands + requests == 0);
        if (updates > 0) {
            engine.process(in, 2, out, 2, meters, AnalyserSink::to_ring(analyser));
            analyser_out.discard(analyser_out.available());
        }
    }
};

}  // namespace
}  // namespace mixengine

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    using namespace mixengine;
    static Rig rig;  // one engine for the whole run, as in a long session
    std::size_t pos = 0;
    LineReader reader([&](char* dst, std::size_t room) -> std::ptrdiff_t {
        // Short reads, as a pipe gives them, so that lines straddle reads.
        const std::size_t n = std::min({room, size - pos, std::size_t{7}});
        std::memcpy(dst, data + pos, n);
        pos += n;
        return static_cast<std::ptrdiff_t>(n);
    });
    std::string line;
    while (reader.next(line)) {
        require(line.find('\0') == std::string::npos);
        const CommandResult result = handle_command_line(line, rig.links);
        rig.check_line(result);
        if (result == CommandResult::Quit) break;
    }
    return 0;
}
