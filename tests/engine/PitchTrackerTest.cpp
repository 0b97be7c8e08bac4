// The pitch tracker alone, on pulse trains through two formant resonators:
// what it says is the same at every block size and never depends on input
// it has not been given; marks come within their promised delay; a creaky
// low voice and voices at both ends of the range keep their F0; samples that
// are not numbers neither poison it nor stop it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "pitch/PitchTracker.h"

namespace {

constexpr double kRate = 48000.0;
constexpr double kPi = 3.14159265358979323846;

// Glottal-like pulses (a raised-cosine flow, differentiated) at `f0` Hz,
// every other one `alternate` as strong, through resonators at 500 and
// 1500 Hz, with a little jitter and noise; voiced from 0.1 s to the end.
std::vector<float> voice(double f0, double seconds, float alternate = 1.0f, unsigned seed = 1) {
    const std::size_t n = static_cast<std::size_t>(seconds * kRate);
    std::vector<double> flow(n, 0.0);
    std::mt19937 random(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    int k = 0;
    for (double t = 0.1; t < seconds; ++k) {
        const double period = (1.0 + 0.005 * gauss(random)) / f0;
        const double amplitude = (k % 2) ? alternate : 1.0;
        const double open = 0.6 * period;
        for (std::size_t i = static_cast<std::size_t>(t * kRate); i < n && i / kRate < t + open; ++i)
            flow[i] += amplitude * 0.5 * (1.0 - std::cos(2.0 * kPi * (i / kRate - t) / open));
        t += period;
    }
    std::vector<float> out(n);
    double previous = 0.0, y1[2] = {0, 0}, y2[2] = {0, 0};
    const double formants[2] = {500.0, 1500.0}, bandwidths[2] = {80.0, 100.0};
    for (std::size_t i = 0; i < n; ++i) {
        double x = flow[i] - previous;
        previous = flow[i];
        for (int f = 0; f < 2; ++f) {
            const double r = std::exp(-kPi * bandwidths[f] / kRate), w = 2.0 * kPi * formants[f] / kRate;
            const double y = (1.0 - r) * x + 2.0 * r * std::cos(w) * y1[f] - r * r * y2[f];
            y2[f] = y1[f], y1[f] = y, x = y;
        }
        out[i] = static_cast<float>(x);
    }
    // Peak at -10 dBFS, breath 50 dB under it.
    float peak = 0.0f;
    for (float v : out) peak = std::max(peak, std::fabs(v));
    for (float& v : out) v = static_cast<float>(0.3 * v / peak + 1e-3 * gauss(random));
    return out;
}

struct Track {
    std::vector<vcmd::PitchEstimate> estimates;
    std::vector<vcmd::PitchMark> marks;
    std::vector<std::int64_t> estimateMadeAt, markMadeAt;  // samples fed when each was read
};

// Feeds `signal` in blocks of `block` frames (0: random sizes up to the
// most), reading everything after each block.
Track track(const std::vector<float>& signal, int block, double rate = kRate) {
    vcmd::PitchTracker tracker;
    tracker.configure(rate);
    Track run;
    std::mt19937 random(3);
    std::uniform_int_distribution<int> sizes(1, vcmd::PitchTracker::kMaxFrames);
    for (std::size_t i = 0; i < signal.size();) {
        const int n = static_cast<int>(std::min<std::size_t>(block > 0 ? block : sizes(random), signal.size() - i));
        tracker.process(signal.data() + i, n);
        i += static_cast<std::size_t>(n);
        for (vcmd::PitchEstimate e; tracker.readEstimate(e);) {
            run.estimates.push_back(e);
            run.estimateMadeAt.push_back(tracker.written());
        }
        for (vcmd::PitchMark m; tracker.readMark(m);) {
            run.marks.push_back(m);
            run.markMadeAt.push_back(tracker.written());
        }
    }
    return run;
}

// Share of the estimates from 0.2 s on (the voice having settled) whose F0
// lies within 20 % of `f0`.
double shareNear(const Track& run, double f0) {
    int near = 0, all = 0;
    for (const vcmd::PitchEstimate& e : run.estimates) {
        if (e.at < static_cast<std::int64_t>(0.2 * kRate)) continue;
        ++all;
        if (std::fabs(e.f0 / f0 - 1.0) <= 0.2) ++near;
    }
    return all > 0 ? static_cast<double>(near) / all : 0.0;
}

TEST(PitchTracker, SameAtEveryBlockSizeAndWithinItsDelays) {
    const std::vector<float> signal = voice(130.0, 0.8);
    const Track whole = track(signal, 1);
    ASSERT_GT(whole.marks.size(), 50u);
    for (int block : {256, 37, 0}) {
        const Track other = track(signal, block);
        ASSERT_EQ(other.estimates.size(), whole.estimates.size()) << "block " << block;
        ASSERT_EQ(other.marks.size(), whole.marks.size()) << "block " << block;
        for (std::size_t i = 0; i < whole.estimates.size(); ++i) {
            EXPECT_EQ(other.estimates[i].at, whole.estimates[i].at);
            EXPECT_EQ(other.estimates[i].f0, whole.estimates[i].f0);
        }
        for (std::size_t i = 0; i < whole.marks.size(); ++i) EXPECT_EQ(other.marks[i].at, whole.marks[i].at);
    }
    // Fed a sample at a time, each is read the moment it is made.
    vcmd::PitchTracker tracker;
    tracker.configure(kRate);
    EXPECT_LE(tracker.lookaheadFrames(), static_cast<int>(0.012 * kRate));
    EXPECT_LE(tracker.markDelayFrames(), static_cast<int>(0.003 * kRate));
    EXPECT_LE(tracker.hopFrames(), static_cast<int>(0.005 * kRate));
    for (std::size_t i = 0; i < whole.estimates.size(); ++i)
        EXPECT_EQ(whole.estimateMadeAt[i] - whole.estimates[i].at, tracker.lookaheadFrames());
    for (std::size_t i = 0; i < whole.marks.size(); ++i) {
        EXPECT_LE(static_cast<double>(whole.markMadeAt[i]) - whole.marks[i].at, tracker.markDelayFrames());
        if (i > 0) {
            EXPECT_GT(whole.marks[i].at, whole.marks[i - 1].at);
        }
    }
}

TEST(PitchTracker, NothingDependsOnInputNotYetGiven) {
    // Two inputs alike for 0.5 s, then one goes silent: what either had
    // said by then is the same.
    const std::vector<float> a = voice(180.0, 0.8);
    std::vector<float> b = a;
    const std::size_t cut = static_cast<std::size_t>(0.5 * kRate);
    std::fill(b.begin() + static_cast<std::ptrdiff_t>(cut), b.end(), 0.0f);
    const Track ra = track(a, 1), rb = track(b, 1);
    std::size_t compared = 0;
    for (std::size_t i = 0; i < ra.estimates.size() && ra.estimateMadeAt[i] <= static_cast<std::int64_t>(cut); ++i) {
        ASSERT_LT(i, rb.estimates.size());
        EXPECT_EQ(ra.estimates[i].f0, rb.estimates[i].f0) << "estimate " << i;
        ++compared;
    }
    for (std::size_t i = 0; i < ra.marks.size() && ra.markMadeAt[i] <= static_cast<std::int64_t>(cut); ++i) {
        ASSERT_LT(i, rb.marks.size());
        EXPECT_EQ(ra.marks[i].at, rb.marks[i].at) << "mark " << i;
    }
    EXPECT_GT(compared, 90u);
    // And the silent one turns unvoiced within a few hops of the cut.
    int voicedLate = 0;
    for (const vcmd::PitchEstimate& e : rb.estimates)
        if (e.at > static_cast<std::int64_t>(cut + 0.03 * kRate) && e.f0 > 0.0f) ++voicedLate;
    EXPECT_EQ(voicedLate, 0);
}

TEST(PitchTracker, KeepsCreakAndBothEndsOfItsRange) {
    // Vocal fry: every other pulse 35 % weaker. The period of the pair is
    // the stronger repeat; the voice's own is the pulses'.
    EXPECT_GE(shareNear(track(voice(75.0, 1.5, 0.65f), 256), 75.0), 0.98);
    EXPECT_GE(shareNear(track(voice(58.0, 1.0), 256), 58.0), 0.98);
    EXPECT_GE(shareNear(track(voice(760.0, 1.0, 1.0f, 5), 256), 760.0), 0.98);
    // The same creak at 16 and 96 kHz: the decimation follows the rate.
    for (double rate : {16000.0, 96000.0}) {
        const std::vector<float> at48 = voice(75.0, 1.0, 0.65f);
        std::vector<float> resampled(static_cast<std::size_t>(at48.size() * rate / kRate));
        for (std::size_t i = 0; i < resampled.size(); ++i) {
            const double x = i * kRate / rate;
            const std::size_t j = static_cast<std::size_t>(x);
            const double f = x - j;
            resampled[i] = static_cast<float>(at48[j] * (1.0 - f) + (j + 1 < at48.size() ? at48[j + 1] : 0.0f) * f);
        }
        const Track run = track(resampled, 256, rate);
        int near = 0, all = 0;
        for (const vcmd::PitchEstimate& e : run.estimates) {
            if (e.at < static_cast<std::int64_t>(0.2 * rate)) continue;
            ++all;
            near += std::fabs(e.f0 / 75.0 - 1.0) <= 0.2;
        }
        EXPECT_GE(near, 0.98 * all) << rate << " Hz";
    }
}

TEST(PitchTracker, SamplesThatAreNotNumbersCountAsSilence) {
    std::vector<float> signal = voice(150.0, 1.2);
    for (std::size_t i = static_cast<std::size_t>(0.4 * kRate); i < static_cast<std::size_t>(0.45 * kRate); ++i)
        signal[i] = (i % 3 == 0) ? NAN : (i % 3 == 1 ? INFINITY : -INFINITY);
    const Track run = track(signal, 256);
    for (const vcmd::PitchEstimate& e : run.estimates) {
        EXPECT_TRUE(std::isfinite(e.f0) && std::isfinite(e.confidence));
    }
    for (const vcmd::PitchMark& m : run.marks) EXPECT_TRUE(std::isfinite(m.at) && std::isfinite(m.period));
    // Back on track once the window has left the burst behind.
    int near = 0, all = 0;
    for (const vcmd::PitchEstimate& e : run.estimates) {
        if (e.at < static_cast<std::int64_t>(0.6 * kRate)) continue;
        ++all;
        near += std::fabs(e.f0 / 150.0 - 1.0) <= 0.2;
    }
    EXPECT_GE(near, 0.98 * all);
}

}  // namespace
