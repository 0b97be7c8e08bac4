// The pitch shifter's onset detector alone, on a coarse-rate signal (11025
// Hz, frames of 11 samples, about 1 ms): a click after quiet noise is an
// onset in the frame it falls in, and so is the start of a burst; the glottal
// pulses of a low voice, each as strong as the one a period before, are
// not, though each rises far above the frames between them.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "pitch/OnsetDetector.h"

namespace {

constexpr double kCoarseRate = 11025.0;
constexpr int kFrame = 11;

// The frames of `signal` that the detector calls onsets.
std::vector<int> onsets(const std::vector<float>& signal) {
    vcmd::OnsetDetector detector;
    detector.configure(kFrame, 1000.0);
    std::vector<float> padded(4, 0.0f);  // the high-pass's history before the first frame
    padded.insert(padded.end(), signal.begin(), signal.end());
    std::vector<int> found;
    for (int f = 0; (f + 1) * kFrame <= static_cast<int>(signal.size()); ++f)
        if (detector.frame(padded.data() + 4 + f * kFrame, true)) found.push_back(f);
    return found;
}

std::vector<float> quietNoise(std::size_t n, float level) {
    std::mt19937 random(7);
    std::normal_distribution<float> gauss(0.0f, level);
    std::vector<float> x(n);
    for (float& v : x) v = gauss(random);
    return x;
}

}  // namespace

TEST(OnsetDetector, FiresOnAClickAndABurstWhereTheyStart) {
    std::vector<float> x = quietNoise(11025, 1e-3f);
    x[5500] += 0.5f;  // a click in frame 500
    for (int i = 0; i < 200; ++i) x[8800 + i] += 0.2f * std::sin(2.0 * 3.14159265 * 4000.0 * i / kCoarseRate);  // frame 800
    // The noise's own start, out of silence, is a rise too: frames from 20 on.
    std::vector<int> found;
    for (int f : onsets(x))
        if (f >= 20) found.push_back(f);
    ASSERT_GE(found.size(), 2u);
    EXPECT_EQ(found[0], 500);
    EXPECT_EQ(found[1], 800);
    for (int f : found) EXPECT_TRUE(f == 500 || f == 800 || f == 801) << "an onset in frame " << f;
}

TEST(OnsetDetector, LetsTheGlottalPulsesOfALowVoiceBe) {
    // 90 Hz pulses (122.5 coarse samples apart, so they fall at every phase
    // of the frames), each a short decaying burst, with no noise between.
    std::vector<float> x(11025 * 2, 0.0f);
    for (double at = 100.0; at + 40 < x.size(); at += kCoarseRate / 90.0)
        for (int i = 0; i < 30; ++i)
            x[static_cast<std::size_t>(at) + i] += 0.4f * std::exp(-i / 6.0f) * std::cos(2.0 * 3.14159265 * 1500.0 * i / kCoarseRate);
    const std::vector<int> found = onsets(x);
    // The first pulse, with nothing a period before it, is an onset; none after.
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.front(), 100 / kFrame);
    EXPECT_EQ(found.size(), 1u) << "later onsets, first at frame " << (found.size() > 1 ? found[1] : -1);
}
