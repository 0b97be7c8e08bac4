// ParameterTest.cpp - every parameter of every voice moved to random values,
// the ends of its range included, every 10, 100 and 1000 samples while noise
// plays; the output keeps the rules and each value reads back as set.
#include <gtest/gtest.h>

#include <string>

#include "Cases.h"

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodNode;

// A value inside the range, or one of its ends a quarter of the time each.
float pick(Rng& rng, const ParameterInfo& p) {
    switch (rng.below(4)) {
        case 0: return p.minimum;
        case 1: return p.maximum;
        default: return rng.uniform(p.minimum, p.maximum);
    }
}

class Parameters : public ::testing::TestWithParam<Case> {};

TEST_P(Parameters, RandomValuesEvery10And100And1000Samples) {
    const Case& c = GetParam();
    const VoiceInfo& voice = voiceNamed(c.voice);
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    Rng rng("parameters/" + c.voice + "/" + std::to_string(c.channels));

    struct Run {
        std::uint32_t interval;
        int changes;
    };
    for (const Run& run : {Run{10, 2000}, Run{100, 1000}, Run{1000, 300}}) {
        ASSERT_TRUE(negotiate(node, 48000, c.channels, run.interval));
        Buses buses(c.channels, run.interval);
        for (int k = 0; k < run.changes; ++k) {
            for (const ParameterInfo& p : voice.parameters) {
                const float value = pick(rng, p);
                node.setParameter(p.name.c_str(), value);
                ASSERT_EQ(node.getParameter(p.name.c_str()), value) << c << " " << p.name;
            }
            buses.fillNoise(rng);
            const std::string fault = processAndCheck(node, buses);
            ASSERT_EQ(fault, "") << c << ", parameters changed every " << run.interval << " samples, change " << k;
        }
    }
}

// The same, with each parameter held at one end of its range for a second
// of noise in turn, where a resonance or a feedback loop would build up.
TEST_P(Parameters, EachParameterHeldAtEachEnd) {
    const Case& c = GetParam();
    const VoiceInfo& voice = voiceNamed(c.voice);
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    Rng rng("parameter-ends/" + c.voice + "/" + std::to_string(c.channels));
    ASSERT_TRUE(negotiate(node, 48000, c.channels, 1000));
    Buses buses(c.channels, 1000);
    for (const ParameterInfo& p : voice.parameters) {
        for (float end : {p.minimum, p.maximum}) {
            node.setParameter(p.name.c_str(), end);
            for (int k = 0; k < 48; ++k) {
                buses.fillNoise(rng);
                const std::string fault = processAndCheck(node, buses);
                ASSERT_EQ(fault, "") << c << ", " << p.name << " = " << end << ", block " << k;
            }
        }
        node.setParameter(p.name.c_str(), p.defaultValue);
    }
}

INSTANTIATE_TEST_SUITE_P(Voices, Parameters, ::testing::ValuesIn(allCases()), caseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Parameters);

}  // namespace
}  // namespace validation
