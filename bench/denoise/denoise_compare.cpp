// denoise_compare - which noise suppressor 'corvane-voicemod live --denoise'
// uses, by measurement: speexdsp's preprocessor (as the tool runs it, and
// at speexdsp's default depth) against WebRTC's noise suppression (Debian's
// webrtc-audio-processing 0.3, at each of its levels), on the alsa-utils
// speech recordings mixed with alsa-utils' Noise.wav at 0, 10 and 20 dB SNR.
//
// Each recording is preceded by 2 s of the noise alone (the suppressors
// learn it there) and followed by 0.5 s of it. Per suppressor and SNR,
// averaged over the recordings:
//   noise removed  the noise's level in, less its level out, over the last
//                  second of the noise-only lead (output lined up first)
//   STOI           of the output's speech against the clean recording (and
//                  of the noisy input's, for comparison)
//   latency        the lag of the output behind the input, found by
//                  cross-correlation with the clean speech
//   CPU per block  the suppressor's time per 256-frame block (5.33 ms)
// Prints a Markdown table. Usage: denoise_compare [SOUNDS_DIR [SNR_DB [LEAD_SECONDS]]]
#include <webrtc/modules/audio_processing/include/audio_processing.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <corvane/AudioGraph.h>

#include "AudioFile.h"
#include "cleanmic/CleanMic.h"
#include "Stoi.h"

namespace {

constexpr double kRate = 48000.0;
constexpr std::size_t kBlock = 256;

// Runs a whole signal through; returns the output, same length.
using Suppressor = std::function<std::vector<float>(const std::vector<float>&)>;

// The tool's own node, in the tool's graph, 256 frames a block.
std::vector<float> throughTool(const std::vector<float>& input, int suppressionDb, std::uint32_t frameUs = 5333,
                               std::uint32_t block = kBlock) {
    class Source : public corvane::AudioSource {
    public:
        explicit Source(const std::vector<float>& s) : s_(s) {}
        corvane::AudioBusFormat getFormat() const override {
            corvane::AudioBusFormat f;
            f.sampleRate = static_cast<std::uint32_t>(kRate);
            f.numberOfChannels = 1;
            return f;
        }
        std::uint32_t read(corvane::AudioBuffer<float>& b) override {
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(b.getNumberOfFrames(), s_.size() - at_));
            std::copy_n(s_.data() + at_, n, b.getWritePointer(0));
            at_ += n;
            return n;
        }
        const std::vector<float>& s_;
        std::size_t at_ = 0;
    };
    class Sink : public corvane::AudioSink {
    public:
        bool write(const corvane::AudioBuffer<float>& b) override {
            out.insert(out.end(), b.getReadPointer(0), b.getReadPointer(0) + b.getNumberOfFrames());
            return true;
        }
        std::vector<float> out;
    };
    Source source(input);
    Sink sink;
    corvane::tool::DenoiseNode node(suppressionDb, frameUs);
    corvane::AudioGraph graph(source, sink);
    graph.addNode(&node);
    if (graph.configure(block).isError()) return {};
    while (graph.processBlock() == corvane::AudioGraph::BlockStatus::Processed) {
    }
    return sink.out;
}

// WebRTC's suppressor alone, in its own 10 ms frames (a graph of 256-frame
// blocks would add a 10 ms buffer on top, not counted here).
std::vector<float> throughWebRtc(const std::vector<float>& input, webrtc::NoiseSuppression::Level level) {
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create());
    apm->noise_suppression()->set_level(level);
    apm->noise_suppression()->Enable(true);
    const webrtc::StreamConfig config(static_cast<int>(kRate), 1, false);
    const std::size_t frame = static_cast<std::size_t>(kRate / 100);
    std::vector<float> out(input.size(), 0.0f);
    std::vector<float> in(frame), done(frame);
    for (std::size_t at = 0; at + frame <= input.size(); at += frame) {
        std::copy_n(input.data() + at, frame, in.data());
        const float* src[1] = {in.data()};
        float* dst[1] = {done.data()};
        apm->ProcessStream(src, config, config, dst);
        std::copy_n(done.data(), frame, out.data() + at);
    }
    return out;
}

double power(const std::vector<float>& x, std::size_t from, std::size_t to) {
    double p = 0.0;
    for (std::size_t i = from; i < to && i < x.size(); ++i) p += static_cast<double>(x[i]) * x[i];
    return p / static_cast<double>(std::max<std::size_t>(to - from, 1));
}

// The speech's power over its frames within 40 dB of its loudest.
double speechPower(const std::vector<float>& x) {
    const std::size_t frame = 480;
    std::vector<double> frames;
    for (std::size_t at = 0; at + frame <= x.size(); at += frame) frames.push_back(power(x, at, at + frame));
    const double loudest = *std::max_element(frames.begin(), frames.end());
    double sum = 0.0;
    int count = 0;
    for (double p : frames)
        if (p > loudest * 1e-4) sum += p, ++count;
    return sum / count;
}

// The lag (0 to 50 ms) at which `out` best matches `clean` placed at `offset`.
std::size_t lagOf(const std::vector<float>& out, const std::vector<float>& clean, std::size_t offset) {
    std::size_t best = 0;
    double bestScore = -1e30;
    for (std::size_t lag = 0; lag < static_cast<std::size_t>(kRate / 20); ++lag) {
        double score = 0.0;
        for (std::size_t i = 0; i < clean.size(); i += 2) score += static_cast<double>(out[offset + i + lag]) * clean[i];
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

struct Row {
    double removed = 0.0, stoi = 0.0, stoiIn = 0.0, latencyMs = 0.0, usPerBlock = 0.0;
    int n = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "/usr/share/sounds/alsa";
    const char* names[] = {"Front_Center", "Front_Left", "Front_Right", "Rear_Center",
                           "Rear_Left",    "Rear_Right", "Side_Left",   "Side_Right"};
    std::vector<std::vector<float>> speech;
    std::vector<float> noise;
    try {
        for (const char* name : names) speech.push_back(quality::readAudio(dir + "/" + name + ".wav").samples);
        noise = quality::readAudio(dir + "/Noise.wav").samples;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "denoise_compare: %s (Debian: alsa-utils)\n", e.what());
        return 1;
    }
    struct Candidate {
        std::string name;
        Suppressor run;
    };
    const std::vector<Candidate> candidates = {
        {"**speexdsp, 5.3 ms frames, -90 dB, blocks of 256 (the tool's --denoise)**",
         [](const std::vector<float>& x) { return throughTool(x, corvane::tool::DenoiseNode::kSuppressionDb); }},
        {"the same in blocks of 100 (gathered into frames)",
         [](const std::vector<float>& x) { return throughTool(x, -90, 5333, 100); }},
        {"speexdsp, 5.3 ms frames, -15 dB (speexdsp's default depth)",
         [](const std::vector<float>& x) { return throughTool(x, -15); }},
        {"speexdsp, 4 ms frames, -40 dB, blocks of 256", [](const std::vector<float>& x) { return throughTool(x, -40, 4000); }},
        {"speexdsp, 10 ms frames, -40 dB, blocks of 256", [](const std::vector<float>& x) { return throughTool(x, -40, 10000); }},
        {"WebRTC NS 0.3, moderate, its own 10 ms frames",
         [](const std::vector<float>& x) { return throughWebRtc(x, webrtc::NoiseSuppression::kModerate); }},
        {"WebRTC NS 0.3, high, its own 10 ms frames",
         [](const std::vector<float>& x) { return throughWebRtc(x, webrtc::NoiseSuppression::kHigh); }},
        {"WebRTC NS 0.3, very high, its own 10 ms frames",
         [](const std::vector<float>& x) { return throughWebRtc(x, webrtc::NoiseSuppression::kVeryHigh); }},
    };
    std::vector<double> snrs{0.0, 10.0, 20.0};
    const double leadSeconds = argc > 3 ? std::atof(argv[3]) : 2.0;
    if (argc > 2) snrs = {std::atof(argv[2])};
    const std::size_t lead = static_cast<std::size_t>(leadSeconds * kRate), tail = static_cast<std::size_t>(0.5 * kRate);
    std::printf("| suppressor | SNR in | noise removed | STOI out (noisy in) | latency added | CPU per 256-frame block |\n");
    std::printf("| --- | --- | --- | --- | --- | --- |\n");
    for (const Candidate& candidate : candidates) {
        for (const double snr : snrs) {
            Row row;
            for (std::size_t r = 0; r < speech.size(); ++r) {
                const std::vector<float>& clean = speech[r];
                const double gain = std::sqrt(speechPower(clean) / power(noise, 0, noise.size()) / std::pow(10.0, snr / 10.0));
                std::vector<float> mixed(lead + clean.size() + tail);
                const std::size_t start = (r * 7919) % noise.size();
                for (std::size_t i = 0; i < mixed.size(); ++i)
                    mixed[i] = static_cast<float>(gain * noise[(start + i) % noise.size()]);
                for (std::size_t i = 0; i < clean.size(); ++i) mixed[lead + i] += clean[i];

                const auto began = std::chrono::steady_clock::now();
                const std::vector<float> out = candidate.run(mixed);
                const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
                const std::size_t lag = lagOf(out, clean, lead);
                const std::size_t from = lead - static_cast<std::size_t>(kRate);
                row.removed += 10.0 * std::log10(power(mixed, from, lead) / (power(out, from + lag, lead + lag) + 1e-20));
                const std::vector<float> outSpeech(out.begin() + static_cast<long>(lead + lag),
                                                   out.begin() + static_cast<long>(lead + lag + clean.size()));
                const std::vector<float> inSpeech(mixed.begin() + static_cast<long>(lead),
                                                  mixed.begin() + static_cast<long>(lead + clean.size()));
                row.stoi += quality::stoi(clean, outSpeech, kRate);
                row.stoiIn += quality::stoi(clean, inSpeech, kRate);
                row.latencyMs += 1000.0 * static_cast<double>(lag) / kRate;
                row.usPerBlock += 1e6 * seconds / (static_cast<double>(mixed.size()) / kBlock);
                ++row.n;
            }
            std::printf("| %s | %.0f dB | %.1f dB | %.3f (%.3f) | %.1f ms | %.1f us |\n", candidate.name.c_str(), snr,
                        row.removed / row.n, row.stoi / row.n, row.stoiIn / row.n, row.latencyMs / row.n,
                        row.usPerBlock / row.n);
            std::fflush(stdout);
        }
    }
    return 0;
}
