// StandInTest.cpp - the shipped library, built against the bundled engine,
// run with a voice changer that has only the interface of VoicemodUSDK.h
// (the stand-in of StandInVoicemodUSDK.cpp, found first in the library
// path). The program must start (every function the library links is one
// the stand-in has; run with LD_BIND_NOW, a function linked from the
// engine's extras stops it at start-up), work end to end through the
// stand-in, and answer "not known" to the two queries only the engine's
// extras could answer, even though the engine behind the stand-in has them.
#include <gtest/gtest.h>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "LogCapture.h"

using namespace corvane;
using namespace corvane::extensions::voicemod;

TEST(StandInVoiceChanger, TheLibraryBringsItUpListsLoadsAndProcessesAndTheQueriesAreNotKnown) {
    Corvane::initialize();
    testsupport::LogCapture log;
    VoicemodExtension::load();
    VoicemodExtension::initialize("stand-in", "test", CORVANE_VOICES_DIR);
    const std::vector<std::string> info = log.messages(LogLevel::Info);
    ASSERT_FALSE(info.empty());
    ASSERT_EQ(info.front(), "Voicemod SDK Version: stand-in voice changer over the bundled engine")
        << "the program must run against the stand-in (its folder first in LD_LIBRARY_PATH), not the engine";

    const std::vector<std::string> voices = VoicemodExtension::listVoices();
    ASSERT_NE(std::find(voices.begin(), voices.end(), "Chipmunk"), voices.end());

    VoicemodNode node;
    constexpr std::uint32_t kBlock = 1024;
    AudioBusFormat in{48000, 2, kBlock}, out{};
    ASSERT_TRUE(node.setBusFormat(in, out));
    ASSERT_TRUE(node.loadVoice("Chipmunk"));
    EXPECT_EQ(node.getCurrentVoice(), "Chipmunk");
    EXPECT_EQ(node.trySetParameter("Pitch", node.getParameter("Pitch")), 0);

    // A tone through the voice for a few blocks comes out changed.
    AudioBuffer<float> input(2, kBlock), output(2, kBlock);
    AudioBus inBus{&input}, outBus{&output};
    float difference = 0.0f;
    for (int block = 0; block < 4; ++block) {
        for (std::uint32_t c = 0; c < 2; ++c)
            for (std::uint32_t i = 0; i < kBlock; ++i)
                input.getWritePointer(c)[i] = 0.25f * float((block * kBlock + i) % 100) / 100.0f - 0.125f;
        ASSERT_TRUE(node.process(inBus, outBus));
    }
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < kBlock; ++i)
            difference = std::max(difference, std::abs(output.getReadPointer(c)[i] - input.getReadPointer(c)[i]));
    EXPECT_GT(difference, 0.01f) << "the voice changed the sound";

    EXPECT_FALSE(node.getLatencyFrames().has_value());
    EXPECT_FALSE(node.getParameterInfo("Chipmunk").has_value());
    EXPECT_TRUE(log.messages(LogLevel::Error).empty());
    ExtensionManager::getInstance().clear();
}
