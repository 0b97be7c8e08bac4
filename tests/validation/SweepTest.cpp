// SweepTest.cpp - every voice, mono and stereo, through every sample rate and
// block size the host may negotiate, renegotiated between runs without a
// reset, then through blocks of random length, online and in offline mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "Cases.h"

namespace validation {

bool quick() {
    const char* q = std::getenv("CORVANE_VALIDATION_QUICK");
    return q != nullptr && *q != '\0' && std::string(q) != "0";
}

namespace {

using corvane::extensions::voicemod::VoicemodNode;

constexpr std::uint32_t kRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
constexpr std::uint32_t kBlockSizes[] = {1, 10, 17, 32, 64, 128, 256, 512, 1024, 2027, 4096, 8192};

TEST(BringUp, FindsAndDescribesTheVoices) {
    try {
        const auto& all = voices();
        EXPECT_FALSE(all.empty());
        for (const VoiceInfo& v : all) {
            for (const ParameterInfo& p : v.parameters) {
                EXPECT_LT(p.minimum, p.maximum) << v.name << "." << p.name;
                EXPECT_GE(p.defaultValue, p.minimum) << v.name << "." << p.name;
                EXPECT_LE(p.defaultValue, p.maximum) << v.name << "." << p.name;
            }
        }
    } catch (const std::exception& e) {
        FAIL() << "the engine could not be brought up on " << voicesDirectory() << ": " << e.what();
    }
}

class Sweep : public ::testing::TestWithParam<Case> {};

TEST_P(Sweep, EveryRateAndBlockSizeThenRandomBlockSizes) {
    const Case& c = GetParam();
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    Rng rng("sweep/" + c.voice + "/" + std::to_string(c.channels));

    const int blocksPerFormat = quick() ? 2 : 10;
    Buses buses(c.channels, 8192);
    for (std::uint32_t rate : kRates) {
        for (std::uint32_t size : kBlockSizes) {
            ASSERT_TRUE(negotiate(node, rate, c.channels, size)) << rate << " Hz, " << size << " frames";
            buses.setFrames(size);
            for (int k = 0; k < blocksPerFormat; ++k) {
                buses.fillNoise(rng);
                const std::string fault = processAndCheck(node, buses);
                ASSERT_EQ(fault, "") << c << ", " << rate << " Hz, blocks of " << size << ", block " << k;
            }
        }
    }

    // Blocks of random length, a fifth of them a single frame, at a rate
    // drawn from the same list.
    const int randomBlocks = quick() ? 200 : 1000;
    std::vector<std::uint32_t> sizes(static_cast<std::size_t>(randomBlocks));
    for (std::size_t i = 0; i < sizes.size(); ++i) sizes[i] = i < sizes.size() / 5 ? 1u : rng.between(2, 2048);
    for (std::size_t i = sizes.size() - 1; i > 0; --i) std::swap(sizes[i], sizes[rng.below(static_cast<std::uint32_t>(i + 1))]);
    ASSERT_EQ(std::count(sizes.begin(), sizes.end(), 1u), randomBlocks / 5);
    const std::uint32_t rate = kRates[rng.below(std::size(kRates))];
    ASSERT_TRUE(negotiate(node, rate, c.channels, 2048));
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        // The second half in offline mode, which rebuilds the voice for its
        // own quality settings.
        if (k == sizes.size() / 2) node.setOfflineModeEnabled(true);
        buses.setFrames(sizes[k]);
        buses.fillNoise(rng);
        const std::string fault = processAndCheck(node, buses);
        ASSERT_EQ(fault, "") << c << ", " << rate << " Hz, random block " << k << " of " << sizes[k] << " frames"
                             << (k >= sizes.size() / 2 ? ", offline mode" : "");
    }
    node.setOfflineModeEnabled(false);
}

INSTANTIATE_TEST_SUITE_P(Voices, Sweep, ::testing::ValuesIn(allCases()), caseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Sweep);

}  // namespace
}  // namespace validation
