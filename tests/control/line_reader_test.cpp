#include "control/line_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace mixengine {
namespace {

// Hands out `text` in pieces of at most `piece` bytes, then reports the end (or an error).
ByteSource chunked(std::string text, std::size_t piece, bool fail_at_end = false) {
    auto pos = std::make_shared<std::size_t>(0);
    return [text = std::move(text), piece, fail_at_end, pos](char* data,
                                                             std::size_t size) -> std::ptrdiff_t {
        if (*pos == text.size()) return fail_at_end ? -1 : 0;
        const std::size_t n = std::min({piece, size, text.size() - *pos});
        std::copy_n(text.data() + *pos, n, data);
        *pos += n;
        return static_cast<std::ptrdiff_t>(n);
    };
}

std::vector<std::string> all_lines(LineReader& reader) {
    std::vector<std::string> lines;
    std::string line;
    while (reader.next(line)) lines.push_back(line);
    return lines;
}

std::vector<std::string> all_lines(const std::string& text, std::size_t piece = 4096) {
    LineReader reader(chunked(text, piece));
    return all_lines(reader);
}

TEST(LineReader, SplitsAtLineFeedsAndDropsOneCarriageReturn) {
    const std::string text = "a\nb\r\nc\r\r\n\n \t \nlast";
    const std::vector<std::string> expected = {"a", "b", "c\r", "", " \t ", "last"};
    // Every way of cutting the input into reads gives the same lines.
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{3}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        EXPECT_EQ(all_lines(text, piece), expected);
    }
    EXPECT_EQ(all_lines(""), std::vector<std::string>{});
    EXPECT_EQ(all_lines("\n"), std::vector<std::string>{""});
    EXPECT_EQ(all_lines("x\n"), std::vector<std::string>{"x"});
}

TEST(LineReader, MalformedUtf8EndsTheInputBeforeItsLineOrDropsTheLineWhenAskedTo) {
    struct Case {
        const char* name;
        std::string bad;
        bool cuts_the_line = false;  // holds the line feed: "y" starts a line of its own
    };
    const Case cases[] = {
        {"invalid byte", "\xff"},
        {"lone continuation", "\x80"},
        {"overlong two-byte", "\xc0\x80"},
        {"overlong three-byte", "\xe0\x80\xaf"},
        {"overlong four-byte", "\xf0\x80\x80\xaf"},
        {"surrogate", "\xed\xa0\x80"},
        {"above U+10FFFF", "\xf4\x90\x80\x80"},
        {"lead F5", "\xf5\x80\x80\x80"},
        {"cut by the line feed", "\xe2\x82\n", true},
        {"cut by a plain byte", "\xe2\x82"},
    };
    for (const Case& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
            const std::string text = "first\nx" + c.bad + "y\nnever\n";
            LineReader reader(chunked(text, piece));
            EXPECT_EQ(all_lines(reader), std::vector<std::string>{"first"});

            LineReader dropping(chunked(text, piece), kMaxLineBytes, Utf8Fault::DropsLine);
            const std::vector<std::string> rest =
                c.cuts_the_line ? std::vector<std::string>{"first", "y", "never"}
                                : std::vector<std::string>{"first", "never"};
            EXPECT_EQ(all_lines(dropping), rest);
            EXPECT_EQ(dropping.invalid_utf8_lines(), 1u);
            EXPECT_EQ(dropping.overlong_lines() + dropping.nul_lines(), 0u);
        }
    }
    EXPECT_EQ(all_lines("first\nlast\xe2\x82"), std::vector<std::string>{"first"});
    LineReader dropping(chunked("first\nlast\xe2\x82", 4096), kMaxLineBytes, Utf8Fault::DropsLine);
    EXPECT_EQ(all_lines(dropping), std::vector<std::string>{"first"});
    EXPECT_EQ(dropping.invalid_utf8_lines(), 1u);

    // Well-formed multi-byte text, including the extremes of each length, passes untouched.
    const std::string good =
        "\xc2\x80 \xc3\xa9 \xe0\xa0\x80 \xe2\x82\xac \xef\xbf\xbf \xf0\x90\x80\x80 "
        "\xf0\x9d\x84\x9e \xf4\x8f\xbf\xbf";
    EXPECT_EQ(all_lines(good + "\n" + good, 1), (std::vector<std::string>{good, good}));
}

TEST(LineReader, ReadErrorEndsLikeTheEndOfInput) {
    LineReader reader(chunked("one\ntwo\n", 3, /*fail_at_end=*/true));
    EXPECT_EQ(all_lines(reader), (std::vector<std::string>{"one", "two"}));
    std::string line;
    EXPECT_FALSE(reader.next(line));  // stays ended

    // A line cut short by the error is not handed out: only the end of input completes one.
    LineReader cut(chunked("one\n{\"t\":\"quit\"}", 5, /*fail_at_end=*/true));
    EXPECT_EQ(all_lines(cut), (std::vector<std::string>{"one"}));
    EXPECT_EQ(all_lines("one\n{\"t\":\"quit\"}", 5),
              (std::vector<std::string>{"one", "{\"t\":\"quit\"}"}));
}

TEST(LineReader, OverlongLinesAreDroppedWhole) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{5}, std::size_t{4096}}) {
        SCOPED_TRACE(piece);
        LineReader reader(chunked("12345678\n123456789\nok\n123456789012\r\nend\n123456789", piece),
                          8);
        EXPECT_EQ(all_lines(reader), (std::vector<std::string>{"12345678", "ok", "end"}));
        EXPECT_EQ(reader.overlong_lines(), 3u);
    }
    // Bytes of a dropped line are still checked: malformed text there ends the input too.
    LineReader reader(chunked("ok\n1234567890\xff\nafter\n", 4), 8);
    EXPECT_EQ(all_lines(reader), std::vector<std::string>{"ok"});
}

// A JSON parser stops at a NUL byte and would act on the text before it; no real line holds one.
TEST(LineReader, LinesHoldingANulByteAreDroppedWhole) {
    using namespace std::string_literals;
    const struct {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
        std::size_t nul_lines;
    } cases[] = {
        {"after a whole command", "{\"t\":\"strip\"}\0junk\nok\n"s, {"ok"}, 1},
        {"between two commands", "{\"t\":\"strip\"}\0{\"t\":\"quit\"}\nok\n"s, {"ok"}, 1},
        {"alone, first and last", "\0\n\0a\na\0\r\nok"s, {"ok"}, 3},
        {"in the unterminated last line", "ok\nx\0"s, {"ok"}, 1},
        {"on both sides of a clean line", "a\0\nclean\n\0b\n"s, {"clean"}, 2},
    };
    for (const auto& c : cases) {
        for (std::size_t piece : {std::size_t{1}, std::size_t{3}, std::size_t{4096}}) {
            SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
            LineReader reader(chunked(c.text, piece));
            EXPECT_EQ(all_lines(reader), c.lines);
            EXPECT_EQ(reader.nul_lines(), c.nul_lines);
            EXPECT_EQ(reader.overlong_lines(), 0u);
        }
    }
    // A NUL in a line that is already too long counts once, as overlong.
    LineReader reader(chunked("123456789\0\nok\n"s, 4), 8);
    EXPECT_EQ(all_lines(reader), std::vector<std::string>{"ok"});
    EXPECT_EQ(reader.overlong_lines() + reader.nul_lines(), 1u);
}

TEST(LineReader, DefaultLimitHoldsALargeButSaneLine) {
    const std::string big(kMaxLineBytes, 'a');
    const auto lines = all_lines(big + "\n" + big + "b\nend\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), kMaxLineBytes);
    EXPECT_EQ(lines[1], "end");
}

}  // namespace
}  // namespace mixengine
