// A multitrack recording is a folder of mono WAV files, one per channel, named "ch" + anything +
// ".wav" (the recorder writes ch01.wav, ch02.wav, ...). Tracks are ordered by byte-wise path order,
// so zero-padded names sort numerically and ch1, ch10, ch2 sort as text.
#pragma once

#include <string>
#include <vector>

namespace mixengine {

// Paths (directory joined with the file name) of the folder's recordings, sorted byte-wise.
// Case-sensitive; names that are not valid UTF-8 are ignored; an unreadable folder gives nothing.
std::vector<std::string> list_recordings(const std::string& directory);

}  // namespace mixengine
