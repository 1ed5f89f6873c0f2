#include "control/transport_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/parse_table.h"

namespace mixengine {
namespace {

using testing::expect_parses;
using testing::ParseCase;

TEST(TransportReader, WordsAreTrimmedAndUnquoted) {
    using W = TransportWord;
    const ParseCase<W> cases[] = {
        {"stop", W::Stop},
        {"quit", W::Stop},
        {"pause", W::Pause},
        {"resume", W::Resume},
        {"\"pause\"", W::Pause},
        {"  resume  ", W::Resume},
        {"\t\"stop\"\r", W::Stop},
        {"\"\"pause\"", W::Pause},  // every quote at either end goes
        {"pause\"", W::Pause},
        {"\xc2\xa0pause\xe3\x80\x80", W::Pause},  // no-break and ideographic spaces
        {"\xe2\x80\x83resume\xc2\x85", W::Resume},
        {"\" pause \"", W::Other},  // spaces inside the quotes stay
        {"Pause", W::Other},
        {"STOP", W::Other},
        {"pa use", W::Other},
        {"pause now", W::Other},
        {"{\"t\":\"quit\"}", W::Other},
        {"\xe2\x80\x8bpause", W::Other},  // zero-width space is not white space
        {"", W::Other},
        {"\"\"", W::Other},
        {"   ", W::Other},
    };
    expect_parses(parse_transport_word, cases);
}

TEST(TransportReader, LoopFollowsTheWordsAndStopsAtTheEnd) {
    struct Case {
        const char* name;
        std::string input;
        bool paused;
    };
    const Case cases[] = {
        {"pause", "pause\n", true},
        {"quoted pause then resume", "\"pause\"\r\n  resume  \n", false},
        {"stop ends reading", "pause\nstop\nresume\n", true},
        {"quit ends reading", "pause\n\"quit\"\nresume\n", true},
        {"last line without a line feed", "resume\npause", true},
        {"noise is ignored", "hello\n{}\npause\n\n", true},
        {"invalid UTF-8 ends reading", "pause\n\xff\nresume\n", true},
        {"empty input", "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto stop = std::make_shared<std::atomic<bool>>(false);
        auto paused = std::make_shared<std::atomic<bool>>(false);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()),
                  static_cast<ssize_t>(c.input.size()));
        close(fds[1]);
        run_transport_reader(fd_byte_source(fds[0]), stop, paused);
        close(fds[0]);
        EXPECT_TRUE(stop->load());
        EXPECT_EQ(paused->load(), c.paused);
    }

    auto stop = std::make_shared<std::atomic<bool>>(false);
    run_transport_reader([](char*, std::size_t) -> std::ptrdiff_t { return -1; }, stop, nullptr);
    EXPECT_TRUE(stop->load());
}

}  // namespace
}  // namespace mixengine
