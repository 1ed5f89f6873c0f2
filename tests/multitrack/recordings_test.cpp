#include "multitrack/recordings.h"

#include <gtest/gtest.h>

#include "wav_fixture.h"

namespace mixengine {
namespace {

using namespace testing;

TEST(ListRecordings, KeepsChWavNamesInByteOrder) {
    ScratchDir dir;
    for (const char* name : {"ch2.wav", "notes.txt", "ch01.wav", "CH01.WAV", "track1.wav", "ch.wav",
                             "ch10.wav", "ch1.wav", "ch02.wav", "ch3.WAV", "xch4.wav",
                             "ch5.wav.bak", "ch\xff.wav", "ch\xc3\xa9.wav"})
        write_bytes(dir.file(name), {});
    const std::vector<std::string> expected = {
        dir.file("ch.wav"),   dir.file("ch01.wav"), dir.file("ch02.wav"),
        dir.file("ch1.wav"),  dir.file("ch10.wav"), dir.file("ch2.wav"),
        dir.file("ch\xc3\xa9.wav"),  // valid UTF-8 sorts after ASCII by its bytes
    };
    EXPECT_EQ(list_recordings(dir.path()), expected);
}

TEST(ListRecordings, UnreadableFolderGivesNothing) {
    ScratchDir dir;
    EXPECT_TRUE(list_recordings(dir.file("absent")).empty());
    write_bytes(dir.file("ch01.wav"), {});
    EXPECT_TRUE(list_recordings(dir.file("ch01.wav")).empty()) << "a file is not a folder";
}

TEST(Utf8, AcceptsWellFormedTextOnly) {
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"", true},
        {"ch01.wav", true},
        {"\xc3\xa9", true},            // é
        {"\xe2\x82\xac", true},        // €
        {"\xf0\x9f\x8e\xb8", true},    // guitar emoji
        {"\xff", false},
        {"\xc3", false},               // cut short
        {"\xc0\xaf", false},           // overlong '/'
        {"\xe0\x80\xaf", false},       // overlong
        {"\xed\xa0\x80", false},       // surrogate
        {"\xf4\x90\x80\x80", false},   // past U+10FFFF
        {"\x80", false},               // lone continuation
        {"a\xe2\x82", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.text), c.valid) << c.text;
}

}  // namespace
}  // namespace mixengine
