// AudioFile.h - mono float audio in and out of files, through libsndfile.
#pragma once

#include <string>
#include <vector>

namespace quality {

struct Audio {
    std::vector<float> samples;  // mono
    double rate = 48000.0;
};

// Reads any file libsndfile reads, mixing its channels down to mono.
// Throws std::runtime_error naming the file when it cannot be read.
Audio readAudio(const std::string& path);

// Writes `audio` as 32-bit float WAV. Throws std::runtime_error on failure.
void writeAudio(const std::string& path, const Audio& audio);

// The recordings concatenated, each followed by `gap` seconds of silence;
// all must share one rate.
Audio concatenate(const std::vector<Audio>& parts, double gap);

}  // namespace quality
