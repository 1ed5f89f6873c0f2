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
        dir.file("ch.wav"),         dir.file("ch01.wav"), dir.file("ch02.wav"),
        dir.file("ch1.wav"),        dir.file("ch10.wav"), dir.file("ch2.wav"),
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

}  // namespace
}  // namespace mixengine
