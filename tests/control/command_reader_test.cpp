#include "control/command_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "support/command_reader_ends.h"

namespace mixengine {
namespace {

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

// Everything a command can touch, with the far ends held by the test.
struct Harness : testing::CommandReaderEnds {
    CommandResult feed(const std::string& line) { return handle_command_line(line, links); }

    std::vector<EngineUpdate> updates() {
        std::vector<EngineUpdate> out;
        EngineUpdate u;
        while (ring.pop(u)) out.push_back(std::move(u));
        return out;
    }
    std::vector<FbaCommand> fba_commands() {
        std::vector<FbaCommand> out;
        while (auto c = fba.try_receive()) out.push_back(std::move(*c));
        return out;
    }
    std::vector<AutoEqRequest> aeq_requests() {
        std::vector<AutoEqRequest> out;
        while (auto r = aeq.try_receive()) out.push_back(std::move(*r));
        return out;
    }

    // The one update a command produced, of the expected kind.
    template <typename U>
    U only_update(const std::string& line) {
        EXPECT_EQ(feed(line), CommandResult::Continue);
        auto all = updates();
        EXPECT_EQ(all.size(), 1u) << line;
        if (all.size() != 1 || !std::holds_alternative<U>(all[0])) {
            ADD_FAILURE() << "no single update of the expected kind for " << line;
            return U{};
        }
        return std::get<U>(std::move(all[0]));
    }
};

StripCfg with_gain(float gain_db) {
    StripCfg cfg;
    cfg.gain_db = gain_db;
    return cfg;
}

TEST(CommandReader, StripAndBusCommandsCarryTheirIndexAndRecord) {
    struct Case {
        const char* line;
        std::size_t index;
        StripCfg cfg;
    };
    const Case cases[] = {
        {R"({"t":"strip","i":3,"s":{"gain_db":-3}})", 3, with_gain(-3)},
        {R"({"t":"strip","i":3})", 3, StripCfg{}},  // no record: reset to defaults
        {R"({"t":"strip","i":3,"s":null})", 3, StripCfg{}},
        {R"({"t":"strip","i":-1,"s":{}})", 0, StripCfg{}},
        {R"({"t":"strip","i":3.0,"s":{}})", 0, StripCfg{}},
        {R"({"t":"strip","i":"3","s":{}})", 0, StripCfg{}},
        {R"({"t":"strip","s":{}})", 0, StripCfg{}},
        {R"({"t":"strip","i":99,"s":{}})", 99, StripCfg{}},  // the engine drops it
        {R"({"t":"strip","i":18446744073709551615})", kU64Max, StripCfg{}},
        {R"({"t":"strip","i":1e300})", 0, StripCfg{}},
        {R"({"t":"strip","i":5,"s":{"gain_db":-3,"eq":null}})", 5, StripCfg{}},  // fallback
        {R"({"t":"strip","i":5,"s":[-3]})", 5, with_gain(-3)},
        {R"({"t":"strip","i":5,"s":{"gain_db":-3,"name":"Kick"}})", 5, with_gain(-3)},
    };
    Harness h;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const auto u = h.only_update<update::StripSettings>(c.line);
        EXPECT_EQ(u.index, c.index);
        EXPECT_EQ(u.cfg, c.cfg);
    }
    const auto bus = h.only_update<update::BusSettings>(R"({"t":"bus","i":7,"s":{"gain_db":2}})");
    EXPECT_EQ(bus.index, 7u);
    EXPECT_EQ(bus.cfg, with_gain(2));
    EXPECT_EQ(h.only_update<update::MainSettings>(R"({"t":"main","i":4,"s":{"gain_db":1}})").cfg,
              with_gain(1));
    EXPECT_EQ(h.only_update<update::MonoSettings>(R"({"t":"mono","s":"loud"})").cfg, StripCfg{});
    EXPECT_TRUE(h.fba_commands().empty());
    EXPECT_TRUE(h.aeq_requests().empty());
}

TEST(CommandReader, AutoEqSettingsGoToTheAnalysisThreadByTarget) {
    struct Case {
        const char* line;
        std::optional<std::size_t> target;
        std::size_t updates;
    };
    const Case cases[] = {
        {R"({"t":"strip","i":0,"s":{"aeq":{"on":true}}})", 0, 1},
        {R"({"t":"strip","i":31,"s":{"aeq":{"on":true}}})", 31, 1},
        {R"({"t":"strip","i":32,"s":{"aeq":{"on":true}}})", std::nullopt, 1},
        {R"({"t":"bus","i":2,"s":{"aeq":{"on":true}}})", 34, 1},
        {R"({"t":"bus","i":7,"s":{"aeq":{"on":true}}})", 39, 1},
        {R"({"t":"bus","i":8,"s":{"aeq":{"on":true}}})", std::nullopt, 1},
        {R"({"t":"main","s":{"aeq":{"on":true}}})", 40, 1},
        {R"({"t":"mono","s":{"aeq":[true]}})", 41, 1},
        {R"({"t":"strip","i":-4,"s":{"aeq":{"on":true}}})", 0, 1},
        {R"({"t":"strip","i":1,"s":{"aeq":null}})", std::nullopt, 1},
        {R"({"t":"strip","i":1,"s":{}})", std::nullopt, 1},
        {R"({"t":"strip","i":1,"s":{"aeq":{"on":"yes"}}})", std::nullopt, 1},
        // The rest of the record failing, before or after "aeq", does not hold the member back.
        {R"({"t":"strip","i":5,"s":{"gain_db":"loud","aeq":{"on":true}}})", 5, 1},
        {R"({"t":"strip","i":6,"s":{"aeq":{"on":true},"bleed":3}})", 6, 1},
        {R"({"t":"strip","i":1,"s":[0,false,0,null,null,[],null,1,0,true,0,[],[],[],{}]})",
         std::nullopt, 1},  // "s" must be an object for the side path
        {R"({"t":"patch","s":{"aeq":{"on":true}}})", std::nullopt, 1},
        {R"({"s":{"aeq":{"on":true}}})", std::nullopt, 0},
        {R"({"t":3,"s":{"aeq":{"on":true}}})", std::nullopt, 0},
    };
    Harness h;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        h.feed(c.line);
        const auto requests = h.aeq_requests();
        ASSERT_EQ(requests.size(), c.target ? 1u : 0u);
        if (c.target) {
            EXPECT_EQ(requests[0].target, *c.target);
            EXPECT_TRUE(requests[0].cfg.on);
        }
        EXPECT_EQ(h.updates().size(), c.updates);
    }

    // A bad auto-EQ record sends nothing to the analysis thread but still resets the strip.
    h.feed(R"({"t":"strip","i":4,"s":{"gain_db":-3,"aeq":{"on":true,"max_cut":"6"}}})");
    EXPECT_TRUE(h.aeq_requests().empty());
    auto all = h.updates();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::get<update::StripSettings>(all[0]).cfg, StripCfg{});

    // A good one travels both ways: to the analysis thread and inside the strip's record.
    h.feed(R"({"t":"bus","i":2,"s":{"aeq":{"on":true,"curve":"speech","max_boost":3}}})");
    const auto requests = h.aeq_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].cfg.curve, "speech");
    EXPECT_EQ(requests[0].cfg.max_boost, 3.0f);
    all = h.updates();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(std::get<update::BusSettings>(all[0]).cfg.aeq, requests[0].cfg);
}

TEST(CommandReader, PatchTakesIntegersAndRoutesElementByElement) {
    Harness h;
    const auto p = h.only_update<update::Patch>(
        R"({"t":"patch","ins":[0,-1,5,"x",3.0,null,[1],4294967296,-4294967296,31],)"
        R"("outs":["main.l","main.r",3,"in.2.post","bus.9","mono",null,"in.4.pre","bus.1"]})");
    const int32_t i32_max = std::numeric_limits<int32_t>::max();
    const int32_t i32_min = std::numeric_limits<int32_t>::min();
    EXPECT_EQ(p.input_map, (std::vector<int32_t>{0, -1, 5, -1, -1, -1, -1, i32_max, i32_min, 31}));
    using K = OutputRoute::Kind;
    const std::vector<OutputRoute> routes = {{K::MainL, 0, false},
                                             {K::MainR, 0, false},
                                             {},
                                             {K::Strip, 1, true},
                                             {},
                                             {K::Mono, 0, false},
                                             {},
                                             {K::Strip, 3, false},
                                             {K::Bus, 0, false}};
    EXPECT_EQ(p.routes, routes);

    const auto empty =
        h.only_update<update::Patch>(R"({"t":"patch","ins":{"0":1},"outs":"main.l"})");
    EXPECT_TRUE(empty.input_map.empty());
    EXPECT_TRUE(empty.routes.empty());
    EXPECT_TRUE(h.only_update<update::Patch>(R"({"t":"patch"})").routes.empty());
}

TEST(CommandReader, AnalyserAndLoudnessSources) {
    using AK = AnalyserSource::Kind;
    struct RtaCase {
        const char* line;
        const char* name;
        AnalyserSource source;
    };
    const RtaCase rta_cases[] = {
        {R"({"t":"rta","src":"in.5"})", "in.5", {AK::Strip, 4, false}},
        {R"({"t":"rta","src":"in.5.post"})", "in.5.post", {AK::Strip, 4, true}},
        {R"({"t":"rta","src":"main"})", "main", {AK::Main, 0, false}},
        {R"({"t":"rta","src":"bogus"})", "bogus", {}},
        {R"({"t":"rta","src":5})", "off", {}},
        {R"({"t":"rta"})", "off", {}},
    };
    Harness h;
    for (const RtaCase& c : rta_cases) {
        SCOPED_TRACE(c.line);
        h.state->set_analyser_name("previous");
        EXPECT_EQ(h.only_update<update::AnalyserSelect>(c.line).source, c.source);
        EXPECT_EQ(h.state->analyser_name_copy(), c.name);
    }

    using SK = SignalSource::Kind;
    struct LoudCase {
        const char* line;
        std::optional<SignalSource> source;
    };
    const LoudCase loud_cases[] = {
        {R"({"t":"loud","src":"in.5"})", SignalSource{SK::Strip, 4, true}},
        {R"({"t":"loud","src":"in.5.pre"})", SignalSource{SK::Strip, 4, false}},
        {R"({"t":"loud","src":"bus.8"})", SignalSource{SK::Bus, 7, true}},
        {R"({"t":"loud","src":"off"})", std::nullopt},
        {R"({"t":"loud","src":["main"]})", std::nullopt},
        {R"({"t":"loud"})", std::nullopt},
    };
    for (const LoudCase& c : loud_cases) {
        SCOPED_TRACE(c.line);
        h.state->loud_reset.store(false);
        EXPECT_EQ(h.only_update<update::LoudnessSource>(c.line).source, c.source);
        EXPECT_TRUE(h.state->loud_reset.load());
    }

    h.state->loud_reset.store(false);
    h.feed(R"({"t":"loud.reset"})");
    EXPECT_TRUE(h.state->loud_reset.load());
    EXPECT_TRUE(h.updates().empty());
}

TEST(CommandReader, ListenSetsPortAndWidthOnlyForAValidSourceAndPort) {
    using SK = SignalSource::Kind;
    struct Case {
        const char* line;
        bool on;
        uint16_t port;
        uint8_t bits;
        std::optional<SignalSource> source;
    };
    // Each case follows a listen on port 4000 at 24 bits; "off" keeps the last port and width.
    const Case cases[] = {
        {R"({"t":"listen","src":"bus.2","port":50000,"bits":32})", true, 50000, 16,
         SignalSource{SK::Bus, 1, true}},
        {R"({"t":"listen","src":"in.3.pre","port":65535,"bits":24})", true, 65535, 24,
         SignalSource{SK::Strip, 2, false}},
        {R"({"t":"listen","src":"main","port":1})", true, 1, 16, SignalSource{SK::Main, 0, true}},
        {R"({"t":"listen","src":"main","port":9000,"bits":24.0})", true, 9000, 16,
         SignalSource{SK::Main, 0, true}},
        {R"({"t":"listen","src":"main","port":9000,"bits":"24"})", true, 9000, 16,
         SignalSource{SK::Main, 0, true}},
        {R"({"t":"listen","src":"in.5","port":0})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"main","port":65536})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"main","port":-5})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"main","port":9000.0})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"main","port":"9000"})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"main"})", false, 4000, 24, std::nullopt},
        {R"({"t":"listen","src":"off","port":9000})", false, 4000, 24, std::nullopt},
    };
    Harness h;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        h.state->set_listen(ListenSettings{true, 4000, 24});
        EXPECT_EQ(h.only_update<update::ListenSource>(c.line).source, c.source);
        const ListenSettings s = h.state->listen_copy();
        EXPECT_EQ(s.on, c.on);
        EXPECT_EQ(s.port, c.port);
        EXPECT_EQ(s.bits, c.bits);
    }
}

TEST(CommandReader, FeedbackCommandsNeedAKnownTarget) {
    Harness h;
    for (const char* line : {
             R"({"t":"fba","target":"bus.9"})",
             R"({"t":"fba","target":"bus.0"})",
             R"({"t":"fba","target":"Main"})",
             R"({"t":"fba","target":3})",
             R"({"t":"fba"})",
             R"({"t":"fba.cut","target":"in.1","f":1000})",
             R"({"t":"fba.reset","target":null})",
             R"({"t":"fba.howl","target":"bus.12"})",
             R"({"t":"fba.boost","target":"main"})",
         }) {
        SCOPED_TRACE(line);
        h.feed(line);
        EXPECT_TRUE(h.fba_commands().empty());
    }

    h.feed(R"({"t":"fba","target":"bus.+3"})");
    h.feed(R"({"t":"fba","target":"main"})");
    h.feed(R"({"t":"fba","target":"mono","cfg":{"on":true,"mode":"suggest","max_notches":4}})");
    h.feed(R"({"t":"fba","target":"mono","cfg":{"on":true,"persist":-1}})");
    h.feed(R"({"t":"fba.cut","target":"bus.1","f":1000.5})");
    h.feed(R"({"t":"fba.cut","target":"bus.1","f":"1000"})");
    h.feed(R"({"t":"fba.reset","target":"bus.8"})");
    h.feed(R"({"t":"fba.howl","target":"bus.3"})");
    h.feed(R"({"t":"fba.howl","target":"bus.3","f":-5})");
    const auto got = h.fba_commands();
    ASSERT_EQ(got.size(), 9u);

    FbaCfg suggest;
    suggest.on = true;
    suggest.mode = "suggest";
    suggest.max_notches = 4;
    const auto& c0 = std::get<fba::Configure>(got[0]);
    EXPECT_EQ(c0.output, 4u);
    EXPECT_EQ(c0.cfg, FbaCfg{});
    EXPECT_EQ(std::get<fba::Configure>(got[1]).output, 0u);
    EXPECT_EQ(std::get<fba::Configure>(got[1]).cfg, FbaCfg{});  // suppression off
    EXPECT_EQ(std::get<fba::Configure>(got[2]).output, 1u);
    EXPECT_EQ(std::get<fba::Configure>(got[2]).cfg, suggest);
    EXPECT_EQ(std::get<fba::Configure>(got[3]).cfg, FbaCfg{});  // bad record: defaults
    EXPECT_EQ(std::get<fba::Cut>(got[4]).output, 2u);
    EXPECT_EQ(std::get<fba::Cut>(got[4]).freq_hz, 1000.5f);
    EXPECT_EQ(std::get<fba::Cut>(got[5]).freq_hz, 0.0f);
    EXPECT_EQ(std::get<fba::Reset>(got[6]).output, 9u);
    EXPECT_EQ(std::get<fba::Howl>(got[7]).output, 4u);
    EXPECT_EQ(std::get<fba::Howl>(got[7]).freq_hz, 0.0f);
    EXPECT_EQ(std::get<fba::Howl>(got[8]).freq_hz, -5.0f);
    EXPECT_TRUE(h.updates().empty());  // the suppressor thread does the engine's part
}

TEST(CommandReader, SeekStoresWholeSecondsPlusOneAndNeverWraps) {
    struct Case {
        const char* line;
        uint64_t slot;
    };
    const Case cases[] = {
        {R"({"t":"files.seek","s":12.9})", 13},
        {R"({"t":"files.seek","s":12})", 13},
        {R"({"t":"files.seek","s":0})", 1},
        {R"({"t":"files.seek","s":0.999})", 1},
        {R"({"t":"files.seek","s":-4})", 1},
        {R"({"t":"files.seek","s":-0.5})", 1},
        {R"({"t":"files.seek"})", 1},
        {R"({"t":"files.seek","s":"12"})", 1},
        {R"({"t":"files.seek","s":null})", 1},
        {R"({"t":"files.seek","s":1e300})", kU64Max},
        {R"({"t":"files.seek","s":18446744073709551615})", kU64Max},
        {R"({"t":"files.seek","s":1e19})", 10000000000000000001ull},
    };
    Harness h;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        h.state->seek.store(0);
        h.feed(c.line);
        EXPECT_EQ(h.state->seek.load(), c.slot);
    }
    EXPECT_TRUE(h.updates().empty());
}

TEST(CommandReader, PauseTakesABoolAndDefaultsToPausing) {
    struct Case {
        const char* line;
        bool before;
        bool after;
    };
    const Case cases[] = {
        {R"({"t":"files.pause"})", false, true},
        {R"({"t":"files.pause","on":true})", false, true},
        {R"({"t":"files.pause","on":false})", true, false},
        {R"({"t":"files.pause","on":0})", false, true},
        {R"({"t":"files.pause","on":"false"})", false, true},
    };
    Harness h;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        h.state->paused.store(c.before);
        h.feed(c.line);
        EXPECT_EQ(h.state->paused.load(), c.after);
    }
}

TEST(CommandReader, LinesThatAreNotOneKnownCommandChangeNothing) {
    std::vector<std::string> lines = {
        "",
        "   ",
        "not json",
        "[1,2]",
        "3",
        R"("strip")",
        "null",
        R"({"t":"strip","i":1}{"t":"strip","i":2})",
        R"({"t":"strip","i":1} {"t":"strip","i":2})",
        R"({"t":"strip","i":1} x)",
        R"({"t":"strip","i":1)",
        R"({"t":"strip","i":1e400})",
        R"({"t":"strip",})",
        R"({'t':'strip'})",
        R"({})",
        R"({"t":"unknown"})",
        R"({"t":3})",
        R"({"t":null})",
        R"({"t":["strip"]})",
        R"({"T":"quit"})",
        R"({"t":"Quit"})",
        R"({"t":"quit "})",
        R"({"t":"strip\u0000"})",
        "\xEF\xBB\xBF{\"t\":\"strip\",\"i\":1}",  // a byte-order mark is not JSON
        "\xEF\xBB\xBF{\"t\":\"quit\"}",
        std::string(200000, '['),
        std::string(200000, '[') + std::string(200000, ']'),
        std::string(100000, '{'),
    };
    // A NUL byte is no end of the line: what surrounds it is not one JSON value.
    using namespace std::string_literals;
    for (std::string nul :
         {"{\"t\":\"strip\"\0}"s, "{\"t\":\"strip\",\"i\":0,\"s\":{\"gain_db\":-40}}\0junk"s,
          "{\"t\":\"strip\",\"i\":1}\0{\"t\":\"quit\"}"s, "{\"t\":\"quit\"}\0"s,
          "{\"t\":\"quit\"} \0 "s, "\0{\"t\":\"quit\"}"s})
        lines.push_back(nul);
    Harness h;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line.substr(0, 40));
        EXPECT_EQ(h.feed(line), CommandResult::Continue);
    }
    EXPECT_TRUE(h.updates().empty());
    EXPECT_TRUE(h.fba_commands().empty());
    EXPECT_TRUE(h.aeq_requests().empty());
    EXPECT_FALSE(h.state->loud_reset.load());
    EXPECT_EQ(h.state->seek.load(), 0u);
    EXPECT_FALSE(h.state->paused.load());
    EXPECT_EQ(h.state->analyser_name_copy(), "off");
    EXPECT_FALSE(h.stop->load());
}

TEST(CommandReader, DeepNestingUnderAnUnknownKeyStillLeavesAUsableCommand) {
    Harness h;
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const auto u = h.only_update<update::StripSettings>(
        R"({"t":"strip","i":2,"s":{"name":)" + deep + R"(,"gain_db":-3},"x":)" + deep + "}");
    EXPECT_EQ(u.index, 2u);
    EXPECT_EQ(u.cfg, with_gain(-3));
    // Deep where a value belongs is still an error, so the record falls back to defaults.
    EXPECT_EQ(
        h.only_update<update::StripSettings>(R"({"t":"strip","i":2,"s":{"gain_db":)" + deep + "}}")
            .cfg,
        StripCfg{});
}

TEST(CommandReader, QuitEndsTheReaderAndSetsStop) {
    Harness h;
    EXPECT_EQ(h.feed(R"({"t":"quit"})"), CommandResult::Quit);
    EXPECT_EQ(h.feed(R"({"t":"quit","i":3,"extra":[1]})"), CommandResult::Quit);
    EXPECT_FALSE(h.stop->load());  // only the loop sets it, once it ends

    struct Case {
        const char* name;
        std::string input;
        std::size_t updates;
    };
    const std::string strip = R"({"t":"strip","i":1})";
    const Case cases[] = {
        {"quit", strip + "\n" + R"({"t":"quit"})" + "\n" + strip + "\n", 1},
        {"end of input", strip + "\n" + strip, 2},
        {"empty input", "", 0},
        {"invalid UTF-8",
         strip + "\n" + "{\"t\":\"strip\",\"s\":{\"name\":\"\xff\"}}" + "\n" + strip, 1},
        {"quit after a NUL byte", strip + std::string("\0", 1) + R"({"t":"quit"})" + "\n" + strip,
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness run;
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        ASSERT_EQ(write(fds[1], c.input.data(), c.input.size()),
                  static_cast<ssize_t>(c.input.size()));
        close(fds[1]);
        run_command_reader(fd_byte_source(fds[0]), run.links);
        close(fds[0]);
        EXPECT_TRUE(run.stop->load());
        EXPECT_EQ(run.updates().size(), c.updates);
    }
}

TEST(CommandReader, ReadErrorSetsStop) {
    Harness h;
    run_command_reader([](char*, std::size_t) -> std::ptrdiff_t { return -1; }, h.links);
    EXPECT_TRUE(h.stop->load());
}

// Thousands of commands through a pipe while a slow engine drains the 1024-record ring: the
// reader must wait for room rather than drop, and keep the order.
TEST(CommandReader, FloodThroughAFullRingLosesNothingAndKeepsOrder) {
    constexpr int kCommands = 6000;
    Harness h;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::thread writer([fd = fds[1]] {
        for (int k = 0; k < kCommands; ++k) {
            std::string line = R"({"t":"strip","i":)" + std::to_string(k % 32) +
                               R"(,"s":{"gain_db":)" + std::to_string(k) + "}}\n";
            if (k % 1000 == 500) line += "garbage\n";
            const char* p = line.data();
            std::size_t left = line.size();
            while (left > 0) {
                const ssize_t n = write(fd, p, left);
                if (n <= 0) break;
                p += n;
                left -= static_cast<std::size_t>(n);
            }
        }
        close(fd);
    });
    std::thread reader([&h, fd = fds[0]] { run_command_reader(fd_byte_source(fd), h.links); });

    // Let the ring fill up first, so the reader surely meets a full ring.
    while (h.ring.available() < kUpdateRingCapacity && !h.stop->load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(h.ring.available(), kUpdateRingCapacity);

    std::vector<int> seen;
    seen.reserve(kCommands);
    EngineUpdate u;
    for (;;) {
        const bool finished = h.stop->load();  // read before popping: nothing comes after it
        bool any = false;
        for (int burst = 0; burst < 200 && h.ring.pop(u); ++burst) {
            any = true;
            const auto& s = std::get<update::StripSettings>(u);
            EXPECT_EQ(s.index, static_cast<std::size_t>(seen.size() % 32));
            seen.push_back(static_cast<int>(s.cfg.gain_db));
        }
        if (!any && finished) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a slow engine
    }
    writer.join();
    reader.join();
    close(fds[0]);
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kCommands));
    for (int k = 0; k < kCommands; ++k) ASSERT_EQ(seen[k], k);
}

// The real thread on the real standard input: commands take effect and "quit" stops the engine.
TEST(CommandReader, ThreadOnStandardInputStopsAtQuit) {
    Harness h;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(dup2(fds[0], 0), 0);
    close(fds[0]);
    start_command_reader(h.links);
    const std::string input =
        std::string(R"({"t":"loud.reset"})") + "\n" + R"({"t":"quit"})" + "\n";
    ASSERT_EQ(write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
    // Waits for the thread however slow the machine; the test's own timeout guards a hang.
    while (!h.stop->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(h.state->loud_reset.load());
    close(fds[1]);
}

}  // namespace
}  // namespace mixengine
