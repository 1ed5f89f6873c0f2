#include "control/detect_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace mixengine {
namespace {

// A byte source over a fixed text.
ByteSource text_source(std::string text) {
    return [text = std::move(text), pos = std::size_t{0}](char* data, std::size_t size) mutable {
        const std::size_t n = std::min(size, text.size() - pos);
        text.copy(data, n, pos);
        pos += n;
        return static_cast<std::ptrdiff_t>(n);
    };
}

TEST(DetectReader, ConfiguresResetsAndIgnoresWhatIsNotACommandForAChannel) {
    const struct {
        const char* line;
        std::size_t channel;  // the channel whose state is checked
        bool on;
        float sensitivity;
        bool spec;
        bool reset;
        bool quit;
    } cases[] = {
        {R"({"t":"cfg","i":2,"on":true,"spec":true})", 2, true, 15.0f, true, false, false},
        // The whole object is the record: its other keys are simply not fields.
        {R"({"t":"cfg","i":5,"on":true,"sensitivity":9,"persist":3})", 5, true, 9.0f, false, false,
         false},
        // A field that does not decode gives the default record; "spec" still counts.
        {R"({"t":"cfg","i":2,"on":true,"sensitivity":"high","spec":true})", 2, false, 15.0f, true,
         false, false},
        {R"({"t":"cfg","i":2,"on":true,"spec":1})", 2, true, 15.0f, false, false, false},
        // A missing or unusable index means channel 0.
        {R"({"t":"cfg","on":true})", 0, true, 15.0f, false, false, false},
        {R"({"t":"cfg","i":-3,"on":true})", 0, true, 15.0f, false, false, false},
        {R"({"t":"cfg","i":3.0,"on":true})", 0, true, 15.0f, false, false, false},
        {R"({"t":"cfg","i":"3","on":true})", 0, true, 15.0f, false, false, false},
        {R"({"t":"cfg","i":63,"on":true})", 63, true, 15.0f, false, false, false},
        {R"({"t":"reset","i":7})", 7, false, 15.0f, false, true, false},
        {R"({"t":"quit"})", 0, false, 15.0f, false, false, true},
        // Index 64 and beyond: the whole line is ignored, "quit" included.
        {R"({"t":"quit","i":64})", 0, false, 15.0f, false, false, false},
        {R"({"t":"quit","i":18446744073709551615})", 0, false, 15.0f, false, false, false},
        {R"({"t":"cfg","i":64,"on":true})", 0, false, 15.0f, false, false, false},
        {R"({"t":"config","on":true})", 0, false, 15.0f, false, false, false},
        {R"(["cfg"])", 0, false, 15.0f, false, false, false},
        {R"({"t":"cfg","on":true)", 0, false, 15.0f, false, false, false},
    };
    for (const auto& c : cases) {
        DetectTable table;
        const CommandResult r = handle_detect_line(c.line, table);
        EXPECT_EQ(r == CommandResult::Quit, c.quit) << c.line;
        const DetectChannel& ch = table.channels[c.channel];
        EXPECT_EQ(ch.cfg.on, c.on) << c.line;
        EXPECT_EQ(ch.cfg.sensitivity, c.sensitivity) << c.line;
        EXPECT_EQ(ch.spec, c.spec) << c.line;
        EXPECT_EQ(ch.reset, c.reset) << c.line;
        // Nothing else changed.
        for (std::size_t i = 0; i < kDetectChannels; ++i) {
            if (i == c.channel) continue;
            EXPECT_FALSE(table.channels[i].cfg.on || table.channels[i].spec ||
                         table.channels[i].reset)
                << c.line << " touched channel " << i;
        }
    }
}

TEST(DetectReader, StopsAtQuitOrAtTheEndOfInput) {
    const struct {
        std::string input;
        bool channel_1_on;
    } cases[] = {
        {"{\"t\":\"quit\"}\n{\"t\":\"cfg\",\"i\":1,\"on\":true}\n", false},
        {"{\"t\":\"quit\",\"i\":99}\n{\"t\":\"cfg\",\"i\":1,\"on\":true}", true},
        {"", false},
        // A NUL byte makes the line no command at all.
        {std::string("{\"t\":\"quit\"}\0x\n{\"t\":\"cfg\",\"i\":1,\"on\":true}\n", 43), true},
        // Nor does a byte that is not UTF-8; unlike the console's reader, reading goes on.
        {"{\"t\":\"quit\"}\xFF\n{\"t\":\"cfg\",\"i\":1,\"on\":true}\n", true},
    };
    for (const auto& c : cases) {
        auto table = std::make_shared<DetectTable>();
        auto stop = std::make_shared<std::atomic<bool>>(false);
        run_detect_reader(text_source(c.input), table, stop);
        EXPECT_TRUE(stop->load());
        EXPECT_EQ(table->channels[1].cfg.on, c.channel_1_on) << c.input;
    }
}

}  // namespace
}  // namespace mixengine
