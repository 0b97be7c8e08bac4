// UnusualInputTest.cpp - silence, subnormal input, DC at full scale, and NaN
// and infinite samples, after which normal input must give normal output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "Cases.h"

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodNode;

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kBlock = 480;  // 10 ms

double sumOfSquares(const Buses& b) {
    double s = 0.0;
    for (std::uint32_t c = 0; c < b.channels(); ++c)
        for (std::uint32_t i = 0; i < b.frames(); ++i) s += static_cast<double>(b.output(c)[i]) * b.output(c)[i];
    return s;
}

bool allZero(const Buses& b) {
    for (std::uint32_t c = 0; c < b.channels(); ++c)
        for (std::uint32_t i = 0; i < b.frames(); ++i)
            if (b.output(c)[i] != 0.0f) return false;
    return true;
}

// RMS of the output over `blocks` blocks of noise, each block checked.
double noiseRms(VoicemodNode& node, Buses& b, Rng& rng, int blocks, const Case& c, const char* when) {
    double s = 0.0;
    for (int k = 0; k < blocks; ++k) {
        b.fillNoise(rng);
        const std::string fault = processAndCheck(node, b);
        EXPECT_EQ(fault, "") << c << ", noise " << when << ", block " << k;
        if (!fault.empty()) return -1.0;
        s += sumOfSquares(b);
    }
    return std::sqrt(s / (static_cast<double>(blocks) * kBlock * b.channels()));
}

class UnusualInput : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        startFrom(node, GetParam().voice, GetParam().channels);
        ASSERT_TRUE(negotiate(node, kRate, GetParam().channels, kBlock));
    }

    VoicemodNode node;
    Buses buses{GetParam().channels, kBlock};
};

TEST_P(UnusualInput, SilenceGivesSilenceWithoutBackgroundSounds) {
    const Case& c = GetParam();
    const VoiceInfo& voice = voiceNamed(c.voice);
    buses.fill(0.0f);
    // A freshly built voice, background sounds off: after the voice change
    // and the background fade, a second of silence in is silence out.
    node.setBackgroundSoundsEnabled(false);
    node.loadVoice(c.voice);
    for (int k = 0; k < 10; ++k) ASSERT_EQ(processAndCheck(node, buses), "") << c << " settling, block " << k;
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(processAndCheck(node, buses), "") << c << ", block " << k;
        ASSERT_TRUE(allZero(buses)) << c << ": background sounds off, silent input, block " << k << " is not silent";
    }
    // Background sounds on: a voice with background layers is heard over the
    // silence, one without stays silent.
    node.setBackgroundSoundsEnabled(true);
    bool heard = false;
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(processAndCheck(node, buses), "") << c << ", background on, block " << k;
        heard = heard || !allZero(buses);
    }
    EXPECT_EQ(heard, voice.background) << c << (voice.background ? ": background layers are not heard"
                                                                 : ": a voice without background layers is not silent");
}

TEST_P(UnusualInput, SubnormalInputGivesNoSubnormalOutput) {
    const Case& c = GetParam();
    Rng rng("subnormal/" + c.voice + "/" + std::to_string(c.channels));
    for (int k = 0; k < 200; ++k) {
        for (std::uint32_t ch = 0; ch < c.channels; ++ch) {
            float* x = buses.input(ch);
            for (std::uint32_t i = 0; i < kBlock; ++i) {
                // Exponent bits zero, random non-zero mantissa, random sign.
                std::uint32_t bits = static_cast<std::uint32_t>(rng.next() & 0x007FFFFFu);
                if (bits == 0) bits = 1;
                bits |= static_cast<std::uint32_t>(rng.next() & 1u) << 31;
                std::memcpy(&x[i], &bits, sizeof bits);
            }
        }
        ASSERT_EQ(processAndCheck(node, buses), "") << c << ", subnormal input, block " << k;
    }
}

TEST_P(UnusualInput, DcAtFullScale) {
    const Case& c = GetParam();
    for (float level : {1.0f, -1.0f, 1.0f}) {
        buses.fill(level);
        for (int k = 0; k < 100; ++k)
            ASSERT_EQ(processAndCheck(node, buses), "") << c << ", DC at " << level << ", block " << k;
    }
}

TEST_P(UnusualInput, NanAndInfinityAreSurvived) {
    const Case& c = GetParam();
    Rng rng("nonfinite/" + c.voice + "/" + std::to_string(c.channels));
    const double before = noiseRms(node, buses, rng, 50, c, "before");
    ASSERT_GT(before, 0.0) << c << " is silent for noise";

    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float kinds[] = {nan, -nan, inf, -inf, std::numeric_limits<float>::signaling_NaN()};
    for (int k = 0; k < 40; ++k) {
        buses.fillNoise(rng);
        for (std::uint32_t ch = 0; ch < c.channels; ++ch) {
            float* x = buses.input(ch);
            if (k % 10 == 0) {
                std::fill_n(x, kBlock, kinds[rng.below(5)]);  // a whole block of one kind
            } else {
                for (int n = 0; n < 1 + k; ++n) x[rng.below(kBlock)] = kinds[rng.below(5)];
            }
        }
        ASSERT_EQ(processAndCheck(node, buses), "") << c << ", non-finite input, block " << k;
    }
    // Half a second to recover, then the voice must sound as before (within
    // 12 dB: the voices that modulate do not repeat exactly).
    noiseRms(node, buses, rng, 50, c, "recovering");
    const double after = noiseRms(node, buses, rng, 50, c, "after");
    EXPECT_GT(after, before / 4.0) << c << ": output RMS " << after << " after non-finite input, " << before
                                   << " before";
    EXPECT_LT(after, before * 4.0) << c << ": output RMS " << after << " after non-finite input, " << before
                                   << " before";
}

INSTANTIATE_TEST_SUITE_P(Voices, UnusualInput, ::testing::ValuesIn(allCases()), caseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(UnusualInput);

}  // namespace
}  // namespace validation
