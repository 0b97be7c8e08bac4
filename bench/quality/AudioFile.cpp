// AudioFile.cpp - see AudioFile.h.
#include "AudioFile.h"

#include <sndfile.h>

#include <stdexcept>

namespace quality {

Audio readAudio(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames) * static_cast<std::size_t>(info.channels));
    const sf_count_t got = sf_readf_float(file, interleaved.data(), info.frames);
    sf_close(file);
    if (got != info.frames) throw std::runtime_error("short read from " + path);
    Audio audio;
    audio.rate = info.samplerate;
    audio.samples.resize(static_cast<std::size_t>(info.frames));
    for (std::size_t i = 0; i < audio.samples.size(); ++i) {
        float sum = 0.0f;
        for (int c = 0; c < info.channels; ++c) sum += interleaved[i * static_cast<std::size_t>(info.channels) + static_cast<std::size_t>(c)];
        audio.samples[i] = sum / static_cast<float>(info.channels);
    }
    return audio;
}

void writeAudio(const std::string& path, const Audio& audio) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(audio.rate);
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    const auto frames = static_cast<sf_count_t>(audio.samples.size());
    const sf_count_t put = sf_writef_float(file, audio.samples.data(), frames);
    sf_close(file);
    if (put != frames) throw std::runtime_error("short write to " + path);
}

Audio concatenate(const std::vector<Audio>& parts, double gap) {
    Audio all;
    if (parts.empty()) return all;
    all.rate = parts.front().rate;
    for (const Audio& a : parts) {
        if (a.rate != all.rate) throw std::runtime_error("recordings of different rates");
        all.samples.insert(all.samples.end(), a.samples.begin(), a.samples.end());
        all.samples.resize(all.samples.size() + static_cast<std::size_t>(gap * all.rate), 0.0f);
    }
    return all;
}

}  // namespace quality
