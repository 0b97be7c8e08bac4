// The nodes 'live --gate' and '--denoise' put before the voice, on their
// own: when the gate opens and closes, and what the suppressor takes off
// steady noise and how late its output comes.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include <corvane/AudioGraph.h>

#include "cleanmic/CleanMic.h"

namespace {

using corvane::AudioBuffer;
using corvane::AudioBusFormat;
using corvane::AudioGraph;
using corvane::AudioSink;
using corvane::AudioSource;
using corvane::tool::NoiseGateNode;

constexpr double kPi = 3.14159265358979323846;
constexpr std::uint32_t kRate = 48000;

// Plays a mono signal into the graph and keeps what comes out.
class Signal : public AudioSource {
public:
    explicit Signal(std::vector<float> samples) : samples_(std::move(samples)) {}
    AudioBusFormat getFormat() const override {
        AudioBusFormat format;
        format.sampleRate = kRate;
        format.numberOfChannels = 1;
        return format;
    }
    std::uint32_t read(AudioBuffer<float>& block) override {
        const auto frames = static_cast<std::uint32_t>(
            std::min<std::size_t>(block.getNumberOfFrames(), samples_.size() - at_));
        std::copy_n(samples_.data() + at_, frames, block.getWritePointer(0));
        at_ += frames;
        return frames;
    }

private:
    std::vector<float> samples_;
    std::size_t at_ = 0;
};

class Recorder : public AudioSink {
public:
    bool write(const AudioBuffer<float>& block) override {
        const float* from = block.getReadPointer(0);
        recorded.insert(recorded.end(), from, from + block.getNumberOfFrames());
        return true;
    }
    std::vector<float> recorded;
};

std::vector<float> through(corvane::AudioProcessorNode& node, std::vector<float> input, std::uint32_t block = 100) {
    Signal source(std::move(input));
    Recorder sink;
    AudioGraph graph(source, sink);
    graph.addNode(&node);
    EXPECT_FALSE(graph.configure(block).isError());
    while (graph.processBlock() == AudioGraph::BlockStatus::Processed) {
    }
    return sink.recorded;
}

double rmsDb(const std::vector<float>& x, double from, double to) {
    const auto a = static_cast<std::size_t>(from * kRate), b = static_cast<std::size_t>(to * kRate);
    double power = 0.0;
    for (std::size_t i = a; i < b; ++i) power += static_cast<double>(x[i]) * x[i];
    return 10.0 * std::log10(power / static_cast<double>(b - a) + 1e-30);
}

TEST(NoiseGate, OpensWithinItsAttackHoldsThenClosesOverItsRelease) {
    // Noise at -70 dBFS throughout, a -20 dBFS tone from 0.5 s to 1.0 s;
    // the gate opens at -40 dBFS.
    std::vector<float> input(static_cast<std::size_t>(kRate * 2));
    std::minstd_rand random(7);
    for (std::size_t i = 0; i < input.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        input[i] = static_cast<float>(std::sqrt(3.0) * std::pow(10.0, -70.0 / 20.0) *
                                      (2.0 * random() / static_cast<double>(random.max()) - 1.0));
        if (t >= 0.5 && t < 1.0) input[i] += static_cast<float>(0.1 * std::sin(2 * kPi * 440 * t));
    }
    NoiseGateNode gate(-40.0);
    const std::vector<float> out = through(gate, input);
    ASSERT_EQ(out.size(), input.size());
    EXPECT_LT(rmsDb(out, 0.0, 0.45), -120.0);  // closed: the noise is gone
    // Open from 0.5 s plus the attack (1 ms): the tone untouched.
    for (std::size_t i = static_cast<std::size_t>(0.502 * kRate); i < static_cast<std::size_t>(1.0 * kRate); ++i)
        ASSERT_EQ(out[i], input[i]) << "frame " << i;
    // The level detector falls 20 dB in 20 ms, so it passes the closing
    // level (-44 dBFS) 24 ms after the -20 dBFS tone ends; held open 150 ms
    // from there (the noise passes), then released over 100 ms: half way
    // down in the middle, shut after.
    EXPECT_NEAR(rmsDb(out, 1.02, 1.17), rmsDb(input, 1.02, 1.17), 0.01);
    const auto middle = static_cast<std::size_t>((1.024 + NoiseGateNode::kHoldSeconds + 0.05) * kRate);
    EXPECT_NEAR(out[middle] / input[middle], 0.5f, 0.02f);
    EXPECT_LT(rmsDb(out, 1.3, 2.0), -120.0);
}

TEST(NoiseGate, ALevelJustUnderTheThresholdAfterOpeningKeepsItOpen) {
    // Opened by -30 dBFS, then -42 dBFS (under -40, over -44): still open.
    std::vector<float> input(static_cast<std::size_t>(kRate));
    for (std::size_t i = 0; i < input.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double db = t < 0.2 ? -30.0 : -42.0;
        input[i] = static_cast<float>(std::pow(10.0, db / 20.0) * std::sqrt(2.0) * std::sin(2 * kPi * 300 * t));
    }
    NoiseGateNode gate(-40.0);
    const std::vector<float> out = through(gate, input);
    EXPECT_NEAR(rmsDb(out, 0.5, 1.0), rmsDb(input, 0.5, 1.0), 0.01);
}

#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
using corvane::tool::DenoiseNode;

TEST(Denoise, TakesSteadyNoiseDownAndDelaysByItsFrame) {
    // White noise at -30 dBFS for 3 s, then a -10 dBFS click train over it.
    std::vector<float> input(static_cast<std::size_t>(kRate * 4));
    std::minstd_rand random(11);
    for (float& x : input)
        x = static_cast<float>(std::sqrt(3.0) * std::pow(10.0, -30.0 / 20.0) *
                               (2.0 * random() / static_cast<double>(random.max()) - 1.0));
    DenoiseNode denoise;
    const std::vector<float> out = through(denoise, input, 333);
    ASSERT_EQ(out.size(), input.size());
    EXPECT_EQ(DenoiseNode::frameFor(kRate), 256u);
    EXPECT_EQ(DenoiseNode::frameFor(44100), 240u);
    EXPECT_EQ(DenoiseNode::frameFor(16000), 80u);
    EXPECT_EQ(denoise.latencyFrames(), 2 * 256u);  // blocks of 333: gathered into frames
    // Once its estimate has settled, at least 15 dB less noise.
    EXPECT_LT(rmsDb(out, 2.0, 4.0), rmsDb(input, 2.0, 4.0) - 15.0);

}

// The lag at which `out` best matches `in`, up to 2048 frames.
std::size_t lagOf(const std::vector<float>& out, const std::vector<float>& in) {
    std::size_t best = 0;
    double bestScore = -1e9;
    for (std::size_t lag = 0; lag < 2048; ++lag) {
        double score = 0.0;
        for (std::size_t i = kRate / 2; i < kRate + kRate / 2; ++i) score += static_cast<double>(out[i + lag]) * in[i];
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

TEST(Denoise, DelaysByTheFrameItReportsInPlaceOrGathering) {
    // A sweep (200 Hz to 4 kHz) is kept, and lines up with the input
    // shifted by the latency the node reports, not by any other lag: one
    // frame in blocks of one frame, two in blocks of another length.
    std::vector<float> sweep(static_cast<std::size_t>(kRate * 2));
    for (std::size_t i = 0; i < sweep.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        sweep[i] = static_cast<float>(0.3 * std::sin(2 * kPi * (200.0 * t + 950.0 * t * t)));
    }
    for (const std::uint32_t block : {256u, 100u, 512u}) {
        DenoiseNode denoise;
        const std::vector<float> kept = through(denoise, sweep, block);
        EXPECT_EQ(denoise.latencyFrames(), block == 256u ? 256u : 512u) << block;
        EXPECT_EQ(lagOf(kept, sweep), denoise.latencyFrames()) << "blocks of " << block;
    }
}

TEST(Denoise, ABlockOfAnotherLengthMovesItToGatheringWithOneFrameOfSilence) {
    std::vector<float> sweep(static_cast<std::size_t>(kRate * 2));
    for (std::size_t i = 0; i < sweep.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        sweep[i] = static_cast<float>(0.3 * std::sin(2 * kPi * (200.0 * t + 950.0 * t * t)));
    }
    // Blocks of 256 for a while, then the source gives 100-frame reads.
    class Uneven : public AudioSource {
    public:
        explicit Uneven(const std::vector<float>& s) : s_(s) {}
        AudioBusFormat getFormat() const override {
            AudioBusFormat f;
            f.sampleRate = kRate;
            f.numberOfChannels = 1;
            return f;
        }
        std::uint32_t read(AudioBuffer<float>& b) override {
            const std::uint32_t want = at_ < 256 * 40 ? b.getNumberOfFrames() : 100;
            const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(want, s_.size() - at_));
            std::copy_n(s_.data() + at_, n, b.getWritePointer(0));
            at_ += n;
            return n;
        }
        const std::vector<float>& s_;
        std::size_t at_ = 0;
    };
    Uneven source(sweep);
    Recorder sink;
    DenoiseNode denoise;
    AudioGraph graph(source, sink);
    graph.addNode(&denoise);
    ASSERT_FALSE(graph.configure(256).isError());
    while (graph.processBlock() == AudioGraph::BlockStatus::Processed) {
    }
    EXPECT_EQ(denoise.latencyFrames(), 512u);
    ASSERT_EQ(sink.recorded.size(), sweep.size());
    // Where the reads changed, a frame of silence; after it, two frames late.
    for (std::size_t i = 256 * 40; i < 256 * 41; ++i) ASSERT_EQ(sink.recorded[i], 0.0f) << i;
    const std::vector<float> later(sink.recorded.begin() + 256 * 41, sink.recorded.end());
    const std::vector<float> input(sweep.begin() + 256 * 41, sweep.end());
    EXPECT_EQ(lagOf(later, input), 512u);
}
#endif

}  // namespace
