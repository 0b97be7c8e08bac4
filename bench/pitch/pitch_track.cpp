// pitch_track - the engine's pitch tracker over a sound file, as it runs in
// real time, printed for holding against another tracker.
//
// Usage: pitch_track IN.wav [--marks]
// Reads any file libsndfile reads, mixes its channels to mono and feeds
// vcmd::PitchTracker 256 frames at a time at the file's rate, then silence
// until the estimates and marks of the file's last samples are out. Prints
// what the tracker hands out, in that order:
//   TIME F0      one line per estimate: the moment of the input it
//                describes (seconds from the start) and its F0 in Hz, 0
//                where unvoiced; made at the tracker's lookahead
//   mark TIME    with --marks, one line per pitch mark: the excitation of
//                a period (seconds, to a fraction of a sample)
// Exit status 0, 1 when the file cannot be read or its rate is outside
// 8-192 kHz, 2 on a wrong command line.
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "pitch/PitchTracker.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: pitch_track IN.wav [--marks]\n");
    return 2;
}

// Prints every estimate and mark the tracker holds that lies within the
// file's first `length` samples (those of the silence after it are not).
void drain(vcmd::PitchTracker& tracker, double rate, sf_count_t length, bool marks) {
    vcmd::PitchEstimate e;
    while (tracker.readEstimate(e)) {
        if (e.at >= length) continue;
        if (e.f0 > 0.0f) std::printf("%.6f %.3f\n", static_cast<double>(e.at) / rate, static_cast<double>(e.f0));
        else std::printf("%.6f 0\n", static_cast<double>(e.at) / rate);
    }
    vcmd::PitchMark m;
    while (tracker.readMark(m))
        if (marks && m.at < static_cast<double>(length)) std::printf("mark %.6f\n", m.at / rate);
}

}  // namespace

int main(int argc, char** argv) {
    std::string path;
    bool marks = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--marks") == 0) marks = true;
        else if (argv[i][0] == '-' && argv[i][1] != '\0') return usage();
        else if (path.empty()) path = argv[i];
        else return usage();
    }
    if (path.empty()) return usage();

    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        std::fprintf(stderr, "pitch_track: cannot read %s: %s\n", path.c_str(), sf_strerror(nullptr));
        return 1;
    }
    const double rate = info.samplerate;
    if (rate < 8000.0 || rate > 192000.0 || info.channels < 1) {
        std::fprintf(stderr, "pitch_track: %s: the tracker takes 8 to 192 kHz, not %d Hz\n", path.c_str(),
                     info.samplerate);
        sf_close(file);
        return 1;
    }
    vcmd::PitchTracker tracker;
    tracker.configure(rate);
    constexpr int kBlock = vcmd::PitchTracker::kMaxFrames;
    const int channels = info.channels;
    std::vector<float> interleaved(static_cast<std::size_t>(kBlock) * static_cast<std::size_t>(channels));
    std::vector<float> mono(kBlock);
    sf_count_t length = 0;
    for (;;) {
        const sf_count_t got = sf_readf_float(file, interleaved.data(), kBlock);
        if (got <= 0) break;
        for (sf_count_t i = 0; i < got; ++i) {
            float sum = 0.0f;
            for (int c = 0; c < channels; ++c) sum += interleaved[static_cast<std::size_t>(i * channels + c)];
            mono[static_cast<std::size_t>(i)] = sum / static_cast<float>(channels);
        }
        tracker.process(mono.data(), static_cast<int>(got));
        length += got;
        drain(tracker, rate, length, marks);
    }
    const int error = sf_error(file);
    sf_close(file);
    if (error != SF_ERR_NO_ERROR) {
        std::fprintf(stderr, "pitch_track: cannot read %s: %s\n", path.c_str(), sf_error_number(error));
        return 1;
    }
    // Silence until the last samples' estimates and marks are out.
    std::fill(mono.begin(), mono.end(), 0.0f);
    const int tail = std::max(tracker.lookaheadFrames(), tracker.markDelayFrames()) + tracker.hopFrames();
    for (int fed = 0; fed <= tail; fed += kBlock) {
        tracker.process(mono.data(), kBlock);
        drain(tracker, rate, length, marks);
    }
    return 0;
}
