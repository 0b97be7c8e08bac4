// SwitchTest.cpp - bypass and mute toggled every block: once a ramp is over,
// bypass gives the input bit for bit and mute gives exact zeros.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "Cases.h"

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodNode;

constexpr int kBlocks = 1000;

enum class Toggle { Bypass, Mute, Both };

// The first sample at or after `from` in which the output differs from what
// the switches promise, or "" when none does.
std::string checkAfterRamp(const Buses& b, std::uint32_t from, bool bypass, bool mute) {
    for (std::uint32_t c = 0; c < b.channels(); ++c) {
        const float* in = b.in.getReadPointer(c);
        const float* out = b.output(c);
        for (std::uint32_t i = from; i < b.frames(); ++i) {
            if (mute ? out[i] != 0.0f : (bypass && std::memcmp(&out[i], &in[i], sizeof(float)) != 0)) {
                return std::string(mute ? "muted" : "bypassed") + " channel " + std::to_string(c) + " sample " +
                       std::to_string(i) + " of " + std::to_string(b.frames()) + " is " + std::to_string(out[i]) +
                       " (input " + std::to_string(in[i]) + ")";
            }
        }
    }
    return std::string();
}

void run(const Case& c, Toggle toggle, std::uint32_t rate) {
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    Rng rng("switches/" + c.voice + "/" + std::to_string(c.channels) + "/" + std::to_string(static_cast<int>(toggle)) +
            "/" + std::to_string(rate));
    const std::uint32_t ramp = rampFrames(rate);
    const std::uint32_t longest = 4 * ramp;
    ASSERT_TRUE(negotiate(node, rate, c.channels, longest));
    Buses buses(c.channels, longest);
    bool bypass = false, mute = false;
    for (int k = 0; k < kBlocks; ++k) {
        switch (toggle) {
            case Toggle::Bypass: bypass = !bypass; break;
            case Toggle::Mute: mute = !mute; break;
            case Toggle::Both:
                bypass = rng.below(2) == 1;
                mute = rng.below(2) == 1;
                break;
        }
        node.setBypassEnabled(bypass);
        node.setMuteEnabled(mute);
        // Long enough for the ramp to end inside the block, with room after it.
        buses.setFrames(rng.between(ramp + 1, longest));
        buses.fillNoise(rng);
        const std::string fault = processAndCheck(node, buses);
        ASSERT_EQ(fault, "") << c << ", " << rate << " Hz, block " << k;
        ASSERT_EQ(checkAfterRamp(buses, ramp, bypass, mute), "")
            << c << ", " << rate << " Hz, block " << k << " (ramp " << ramp << " frames), bypass " << bypass
            << ", mute " << mute;
    }
}

class Switches : public ::testing::TestWithParam<Case> {};

TEST_P(Switches, BypassToggledEveryBlockGivesTheInputAfterTheRamp) {
    for (std::uint32_t rate : {48000u, 8000u, 192000u}) ASSERT_NO_FATAL_FAILURE(run(GetParam(), Toggle::Bypass, rate));
}

TEST_P(Switches, MuteToggledEveryBlockGivesZerosAfterTheRamp) {
    for (std::uint32_t rate : {48000u, 8000u, 192000u}) ASSERT_NO_FATAL_FAILURE(run(GetParam(), Toggle::Mute, rate));
}

TEST_P(Switches, BypassAndMuteChangedTogetherAtRandom) { run(GetParam(), Toggle::Both, 44100); }

INSTANTIATE_TEST_SUITE_P(Voices, Switches, ::testing::ValuesIn(allCases()), caseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Switches);

}  // namespace
}  // namespace validation
