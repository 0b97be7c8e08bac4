// PitchTrackingTest.cpp - the engine's pitch tracker on a creaky low voice,
// and the pitch-tracking section's own pieces on cases whose answers are
// known: the synthetic voices against their truth, the frame and mark
// measures, and the reading of Praat's output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <stdexcept>
#include <vector>

#include "PitchTracking.h"
#include "PraatPitch.h"
#include "SyntheticVoices.h"

namespace {

using namespace quality;

// Vocal fry: every other pulse 35 % weaker, so that the waveform repeats
// every two periods. A tracker that takes that for the period reports half
// the F0, and the frames within 20 % of it fall to none.
TEST(PitchTracker, KeepsACreakyVoiceAt75Hz) {
    VoiceKind creak;
    creak.name = "creaky, 75 Hz";
    creak.weakPulse = 0.65;
    creak.jitter = 0.015;
    creak.phrases = {{3.0, {{0.0, 75.0}}, 0, 4}};
    const SyntheticVoice voice = makeVoice(creak, 48000.0, 7);
    const TrackerRun run = runTracker(voice.samples, voice.rate);
    const FrameCounts c = scoreFrames(run.frames, truthOf(voice), voicingBoundaries(voice), run.hopSeconds);
    ASSERT_GT(c.referenceVoiced, 2.5 / run.hopSeconds);
    EXPECT_GE(c.withinPercent(), 98.0) << c.gross << " frames off by more than 20 % (" << c.octave
                                       << " by an octave), " << c.referenceVoiced - c.within - c.gross
                                       << " called unvoiced, of " << c.referenceVoiced;
}

// The voices are what their truth says: the signal repeats at the stated
// period (normalised correlation of three periods with the next three at
// the period's best lag within 2 %, on
// windows where the F0 holds within 2 %, 30 ms from every onset and
// offset), the closures are one period apart, only voiced stretches hold
// closures, and the same seed gives the same samples.
TEST(SyntheticVoices, SoundAsTheirTruthSays) {
    for (const VoiceKind& kind : voiceKinds()) {
        const SyntheticVoice v = makeVoice(kind, 48000.0, 3);
        std::size_t checked = 0, repeating = 0;
        for (double t = 0.0; t < static_cast<double>(v.samples.size()) / v.rate - 0.1; t += 0.01) {
            const double f0 = v.f0At(t), end = v.f0At(t + 6.0 / f0);
            if (f0 <= 0.0 || v.f0At(t - 0.03) <= 0.0 || end <= 0.0 || v.f0At(t + 6.0 / f0 + 0.03) <= 0.0 ||
                std::fabs(end / f0 - 1.0) > 0.02)
                continue;
            const std::size_t begin = static_cast<std::size_t>(t * v.rate);
            // The best lag within 2 % of the period: jitter moves each period a little.
            const double period = v.rate / v.f0At(t + 3.0 / f0);
            double best = -1.0;
            for (std::size_t lag = static_cast<std::size_t>(0.98 * period); lag <= static_cast<std::size_t>(1.02 * period) + 1;
                 ++lag) {
                double xy = 0.0, xx = 0.0, yy = 0.0;
                for (std::size_t i = begin; i < begin + 3 * lag; ++i) {
                    xy += static_cast<double>(v.samples[i]) * v.samples[i + lag];
                    xx += static_cast<double>(v.samples[i]) * v.samples[i];
                    yy += static_cast<double>(v.samples[i + lag]) * v.samples[i + lag];
                }
                best = std::max(best, xy / std::sqrt(xx * yy + 1e-30));
            }
            ++checked;
            repeating += best >= 0.7;
        }
        ASSERT_GT(checked, 50u) << kind.name;
        EXPECT_GE(static_cast<double>(repeating), 0.95 * static_cast<double>(checked))
            << kind.name << ": " << repeating << " of " << checked;

        std::size_t periods = 0, onePeriod = 0;
        for (std::size_t k = 1; k < v.pulses.size(); ++k) {
            const double f0 = v.f0At(v.pulses[k - 1]);
            EXPECT_GT(f0, 0.0) << kind.name << ": a pulse outside the voiced stretches at " << v.pulses[k - 1] << " s";
            if (v.f0At(v.pulses[k]) <= 0.0) continue;  // the gap to the next phrase
            ++periods;
            onePeriod += std::fabs((v.pulses[k] - v.pulses[k - 1]) * f0 - 1.0) < 0.06;
        }
        EXPECT_GE(static_cast<double>(onePeriod), 0.98 * static_cast<double>(periods)) << kind.name;
    }
    const VoiceKind kind = voiceKinds()[1];
    EXPECT_EQ(makeVoice(kind, 48000.0, 5).samples, makeVoice(kind, 48000.0, 5).samples);
    EXPECT_NE(makeVoice(kind, 48000.0, 5).samples, makeVoice(kind, 48000.0, 6).samples);
}

// Creak is in the signal, not only in its description: the waveform's
// largest swing just after every other closure is about 35 % smaller.
TEST(SyntheticVoices, CreakWeakensEveryOtherPulse) {
    const SyntheticVoice v = makeVoice(voiceKinds()[1], 48000.0, 8);
    ASSERT_NE(v.name.find("creaky"), std::string::npos);
    std::vector<double> ratios;
    double before = 0.0;
    for (std::size_t k = 0; k + 1 < v.pulses.size(); ++k) {
        if (v.f0At(v.pulses[k] - 0.03) <= 0.0 || v.f0At(v.pulses[k + 1] + 0.03) <= 0.0) {
            before = 0.0;
            continue;
        }
        double swing = 0.0;
        // The closure's ringing: the next period's opening comes later.
        const double ringing = v.pulses[k] + 0.3 * (v.pulses[k + 1] - v.pulses[k]);
        for (std::size_t i = static_cast<std::size_t>(v.pulses[k] * v.rate); i < static_cast<std::size_t>(ringing * v.rate); ++i)
            swing = std::max(swing, std::fabs(static_cast<double>(v.samples[i])));
        if (before > 0.0) ratios.push_back(std::min(swing, before) / std::max(swing, before));
        before = swing;
    }
    ASSERT_GT(ratios.size(), 150u);
    std::nth_element(ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
    EXPECT_NEAR(ratios[ratios.size() / 2], 0.65, 0.08);
}

// The noise sits at the stated ratio under the voice's voiced power, and
// is pink: an octave up holds the same power (3 dB less per Hz).
TEST(SyntheticVoices, AddPinkNoiseAtTheStatedRatio) {
    const SyntheticVoice v = makeVoice(voiceKinds()[3], 48000.0, 1);
    const std::vector<float> noisy = withPinkNoise(v, 20.0, 9);
    double voice = 0.0, noise = 0.0;
    std::size_t voiced = 0;
    std::vector<double> n(noisy.size());
    for (std::size_t i = 0; i < noisy.size(); ++i) {
        n[i] = static_cast<double>(noisy[i]) - v.samples[i];
        noise += n[i] * n[i];
        if (v.f0At(static_cast<double>(i) / v.rate) > 0.0) {
            voice += static_cast<double>(v.samples[i]) * v.samples[i];
            ++voiced;
        }
    }
    const double snr = 10.0 * std::log10((voice / static_cast<double>(voiced)) / (noise / static_cast<double>(noisy.size())));
    EXPECT_NEAR(snr, 20.0, 0.1);
    // Power in 1-2 kHz and in 2-4 kHz, from the DFT of the first 16384 samples (white noise: 3 dB apart).
    const std::size_t size = 16384;
    double band[2] = {};
    for (std::size_t bin = static_cast<std::size_t>(1000.0 * size / v.rate); bin < static_cast<std::size_t>(4000.0 * size / v.rate); bin += 3) {
        double re = 0.0, im = 0.0;
        for (std::size_t i = 0; i < size; ++i) {
            const double phase = 2.0 * 3.14159265358979323846 * static_cast<double>(bin * i % size) / size;
            re += n[i] * std::cos(phase);
            im -= n[i] * std::sin(phase);
        }
        band[static_cast<double>(bin) * v.rate / size >= 2000.0] += 3.0 * (re * re + im * im);
    }
    EXPECT_NEAR(10.0 * std::log10(band[1] / band[0]), 0.0, 1.0);
}

// A reference voiced at 100 Hz from 0.1025 s to 0.5025 s (off the 5 ms
// grid, so that the guard's edges are clear), and a tested track at 5 ms
// with every kind of frame in it.
TEST(PitchTrackingMeasures, CountFramesAsDefined) {
    const auto reference = [](double t) { return t >= 0.1025 && t < 0.5025 ? 100.0 : 0.0; };
    const std::vector<double> boundaries = {0.1025, 0.5025};
    PitchFrames tested;
    for (int k = 0; k < 120; ++k) {  // 0 to 0.595 s; voiced in the reference: 21 to 100
        const double t = 0.005 * k;
        double f = reference(t);
        if (k >= 30 && k < 40) f = 50.0;      // halved: gross and octave
        if (k >= 40 && k < 45) f = 130.0;     // 30 % off: gross only
        if (k >= 45 && k < 50) f = 0.0;       // missed: voicing only
        if (k >= 50 && k < 60) f = 105.0;     // 84.5 cents off: fine
        if (k == 110 || k == 111) f = 200.0;  // voiced in silence: voicing only
        if (k == 20 || k == 100) f = 400.0;   // within 5 ms of a boundary: left out, as are 21 and 101
        tested.times.push_back(t);
        tested.f0.push_back(f);
    }
    const FrameCounts c = scoreFrames(tested, reference, boundaries, 0.005);
    EXPECT_EQ(c.frames, 116u);
    EXPECT_EQ(c.referenceVoiced, 78u);  // 22 to 99
    EXPECT_EQ(c.gross, 15u);
    EXPECT_EQ(c.octave, 10u);
    EXPECT_EQ(c.voicing, 7u);
    EXPECT_EQ(c.within, 58u);
    EXPECT_NEAR(c.grossPercent(), 100.0 * 15 / 78, 1e-9);
    EXPECT_NEAR(c.voicingPercent(), 100.0 * 7 / 116, 1e-9);
    EXPECT_NEAR(c.fineMedianCents(), 0.0, 1e-9);  // 48 exact frames of 58
    FrameCounts twice = c;
    twice += c;
    EXPECT_EQ(twice.fineCents.size(), 116u);
    EXPECT_NEAR(twice.octavePercent(), c.octavePercent(), 1e-9);

    // Another tracker's frames as the reference: voiced where they are,
    // changing voicing six times.
    const std::function<double(double)> nearest = nearestFrame(tested);
    EXPECT_EQ(nearest(0.3021), 100.0);
    EXPECT_EQ(nearest(0.1502), 50.0);
    EXPECT_EQ(nearest(0.7), 0.0);
    EXPECT_EQ(voicingBoundaries(tested).size(), 6u);
}

// Marks at a fixed offset from every closure: all marked, no spread;
// then some missing, some doubled, some late.
TEST(PitchTrackingMeasures, CountMarksAsDefined) {
    const SyntheticVoice v = makeVoice(voiceKinds()[3], 48000.0, 2);
    const double guard = 0.005;
    std::vector<double> marks;
    for (double p : v.pulses) marks.push_back(p + 0.0004);
    const MarkCounts exact = scoreMarks(marks, v, guard);
    ASSERT_GT(exact.pulses, 250u);
    EXPECT_EQ(exact.marked, exact.pulses);
    EXPECT_EQ(exact.extra, 0u);
    EXPECT_NEAR(exact.spreadMs(), 0.0, 1e-6);

    std::vector<double> changed;
    for (std::size_t k = 0; k < marks.size(); ++k) {
        if (k % 10 == 0) continue;                                       // missing
        changed.push_back(marks[k] + (k % 10 == 1 ? 0.0002 : 0.0));      // late by 0.2 ms
        if (k % 10 == 2 && k + 1 < marks.size()) changed.push_back(marks[k] + 0.5 * (marks[k + 1] - marks[k]));  // one between
    }
    std::sort(changed.begin(), changed.end());
    const MarkCounts c = scoreMarks(changed, v, guard);
    EXPECT_NEAR(c.markedPercent(), 90.0, 1.0);
    EXPECT_NEAR(c.extraPercent(), 10.0, 1.0);
    EXPECT_NEAR(c.spreadMs(), 0.2 / 3.0, 0.01);  // one in nine marked closures 0.2 ms off
    EXPECT_EQ(scoreMarks({}, v, guard).marked, 0u);
}

TEST(PraatPitch, ReadsItsOutputAndRefusesAnythingElse) {
    const std::vector<PitchFrames> f = parsePraatOutput("file 1 2\n0.026 0\n0.031 101.5\nfile 2 1\n0.026 220\n", 2);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].times, (std::vector<double>{0.026, 0.031}));
    EXPECT_EQ(f[0].f0, (std::vector<double>{0.0, 101.5}));
    EXPECT_EQ(f[1].f0, (std::vector<double>{220.0}));
    EXPECT_THROW(parsePraatOutput("file 1 2\n0.026 0\n", 1), std::runtime_error);
    EXPECT_THROW(parsePraatOutput("file 1 1\n0.026 --undefined--\n", 1), std::runtime_error);
    EXPECT_THROW(parsePraatOutput("Error: cannot open\n", 1), std::runtime_error);
    EXPECT_THROW(parsePraatOutput("file 1 2\n0.031 100\n0.026 100\n", 1), std::runtime_error);
}

// Without praat on the path the harness goes on: no frames, no throw.
TEST(PraatPitch, IsUnavailableWithoutPraat) {
    const char* path = std::getenv("PATH");
    const std::string saved = path ? path : "";
    ::setenv("PATH", "/nonexistent", 1);
    EXPECT_FALSE(praatAvailable());
    EXPECT_TRUE(praatPitch({{std::vector<float>(4800, 0.0f), 48000.0}}).empty());
    ::setenv("PATH", saved.c_str(), 1);
}

// Praat itself, where it is installed (scripts/setup-deps installs it):
// its pitch of the 110 Hz voice is that voice's.
TEST(PraatPitch, FindsTheF0OfASyntheticVoice) {
    if (!praatAvailable()) GTEST_SKIP() << "praat not installed";
    const SyntheticVoice v = makeVoice(voiceKinds()[3], 48000.0, 4);
    const std::vector<PitchFrames> f = praatPitch({{v.samples, v.rate}});
    ASSERT_EQ(f.size(), 1u);
    const FrameCounts c = scoreFrames(f[0], truthOf(v), voicingBoundaries(v), 0.005);
    EXPECT_GE(c.withinPercent(), 95.0);
    EXPECT_LE(c.voicingPercent(), 5.0);
}

}  // namespace
