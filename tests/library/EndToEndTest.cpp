// The shipped library against the bundled engine: bring-up on the bundled
// voices, the catalogue, and nodes processing host buses.
#include <gtest/gtest.h>

#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>
#include <corvane/Corvane.h>
#include <corvane/ExtensionManager.h>
#include <corvane/voicemod/VoicemodExtension.h>
#include <corvane/voicemod/VoicemodNode.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ScratchDirectory.h"

namespace fs = std::filesystem;
using namespace corvane;
using namespace corvane::extensions::voicemod;

namespace {

constexpr std::uint32_t kRate = 48000;
constexpr std::uint32_t kBlock = 1024;  // 21 ms: longer than any switch ramp

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        vcmdResetForTesting();
        Corvane::initialize();
        log = std::make_unique<testsupport::LogCapture>();
        VoicemodExtension::load();
        VoicemodExtension::initialize("end-to-end", "test", CORVANE_VOICES_DIR);
        voices = VoicemodExtension::listVoices();
    }
    void TearDown() override {
        log.reset();
        ExtensionManager::getInstance().clear();
        vcmdResetForTesting();
    }

    // Runs `blocks` blocks of noise through `node`; returns the last block's
    // input and output, channel by channel.
    struct Block {
        std::vector<std::vector<float>> in, out;
    };
    Block run(VoicemodNode& node, std::uint32_t channels, int blocks) {
        AudioBuffer<float> input(channels, kBlock), output(channels, kBlock);
        AudioBus inBus{&input}, outBus{&output};
        Block last;
        for (int b = 0; b < blocks; ++b) {
            for (std::uint32_t c = 0; c < channels; ++c)
                for (std::uint32_t i = 0; i < kBlock; ++i) input.getWritePointer(c)[i] = noise(random);
            EXPECT_TRUE(node.process(inBus, outBus));
        }
        for (std::uint32_t c = 0; c < channels; ++c) {
            last.in.emplace_back(input.getReadPointer(c), input.getReadPointer(c) + kBlock);
            last.out.emplace_back(output.getReadPointer(c), output.getReadPointer(c) + kBlock);
        }
        return last;
    }

    std::unique_ptr<testsupport::LogCapture> log;
    std::vector<std::string> voices;
    std::mt19937 random{1234};
    std::uniform_real_distribution<float> noise{-0.5f, 0.5f};
};

TEST_F(EndToEnd, TheQueriesDescribeWhatTheEngineDoes) {
    VoicemodNode node;
    EXPECT_EQ(node.getLatencyFrames(), std::optional<std::uint32_t>(0)) << "no voice, no delay";
    AudioBusFormat in{kRate, 1, kBlock}, out{};
    ASSERT_TRUE(node.setBusFormat(in, out));
    ASSERT_TRUE(node.loadVoice("Chipmunk"));
    const std::uint32_t at48 = node.getLatencyFrames().value();
    EXPECT_GT(at48, 0u);
    AudioBusFormat in96{96000, 1, kBlock}, out96{};
    ASSERT_TRUE(node.setBusFormat(in96, out96));
    // About the same time: the shifter's and the output stage's delays scale
    // with the rate, the formant stage's half-band pair (46 frames) does not.
    EXPECT_NEAR(double(node.getLatencyFrames().value()) / 96000.0, double(at48) / 48000.0, 0.001)
        << "the same time within a millisecond";

    // Every range given is the one setParameter() holds to.
    for (const std::string& voice : voices) {
        SCOPED_TRACE(voice);
        ASSERT_TRUE(node.loadVoice(voice));
        const auto parameters = node.getParameterInfo(voice).value();
        for (const auto& p : parameters) {
            EXPECT_EQ(node.getParameter(p.name.c_str()), p.defaultValue) << p.name;
            EXPECT_NO_THROW(node.setParameter(p.name.c_str(), p.minimum));
            EXPECT_NO_THROW(node.setParameter(p.name.c_str(), p.maximum));
            EXPECT_THROW(node.setParameter(p.name.c_str(), std::nextafter(p.maximum, 1e9f)), VoicemodError);
            EXPECT_THROW(node.setParameter(p.name.c_str(), std::nextafter(p.minimum, -1e9f)), VoicemodError);
        }
    }
    const auto chipmunk = node.getParameterInfo("Chipmunk").value();
    ASSERT_EQ(chipmunk.size(), 2u);
    EXPECT_EQ(chipmunk[0].name, "Pitch");
    EXPECT_EQ(chipmunk[0].unit, "semitones");
}

// What the node's and the extension's headers say happens without a word.
TEST_F(EndToEnd, TheCasesThatPassSilentlyDoWhatTheHeadersSay) {
    VoicemodNode a, b;
    AudioBusFormat in{kRate, 1, kBlock}, out{};
    ASSERT_TRUE(a.setBusFormat(in, out));

    // After a load the output is the previous sound (here the dry input) for
    // the new voice's delay.
    ASSERT_TRUE(a.loadVoice("Chipmunk"));
    const std::uint32_t delay = a.getLatencyFrames().value();
    ASSERT_GT(delay, 0u);
    ASSERT_LT(delay, kBlock);
    AudioBuffer<float> input(1, kBlock), output(1, kBlock);
    AudioBus inBus{&input}, outBus{&output};
    for (std::uint32_t i = 0; i < kBlock; ++i) input.getWritePointer(0)[i] = noise(random);
    ASSERT_TRUE(a.process(inBus, outBus));
    for (std::uint32_t i = 0; i < delay; ++i) ASSERT_EQ(output.getReadPointer(0)[i], input.getReadPointer(0)[i]) << i;
    EXPECT_NE(output.getReadPointer(0)[kBlock - 1], input.getReadPointer(0)[kBlock - 1]) << "the voice is on by the end";

    // Two nodes share the voice's memory: silence into one node right after
    // noise through the other comes out as the other's tail.
    ASSERT_TRUE(a.loadVoice("Deep Voice"));
    run(a, 1, 4);
    for (std::uint32_t i = 0; i < kBlock; ++i) input.getWritePointer(0)[i] = 0.0f;
    ASSERT_TRUE(b.process(inBus, outBus));
    float peak = 0.0f;
    for (std::uint32_t i = 0; i < kBlock; ++i) peak = std::max(peak, std::fabs(output.getReadPointer(0)[i]));
    EXPECT_GT(peak, 0.1f) << "silence in, the other node's voice out";
    std::printf("silent node after a noisy one through Deep Voice: peak %.2f\n", peak);

    // A second bring-up on a folder without packages keeps what is up.
    const std::vector<std::string> before = VoicemodExtension::listVoices();
    testsupport::ScratchDirectory empty("corvane-empty-content");
    VoicemodExtension::initialize("end-to-end", "again", empty.path().u8string().c_str());
    EXPECT_EQ(VoicemodExtension::listVoices(), before);
    EXPECT_EQ(b.getCurrentVoice(), "Deep Voice");
    EXPECT_TRUE(log->messages(corvane::LogLevel::Error).empty());
}

}  // namespace

TEST_F(EndToEnd, BringUpOnATemporaryContentDirectoryListsItsPackagesVoices) {
    // A content directory made here, with one of the bundled packages and
    // files that must not be mounted.
    const testsupport::ScratchDirectory scratch("corvane-e2e");
    const fs::path& dir = scratch.path();
    fs::create_directories(dir / "nested");
    fs::path package;
    for (const auto& entry : fs::directory_iterator(CORVANE_VOICES_DIR))
        if (entry.path().extension() == ".zvmd") package = entry.path();
    ASSERT_FALSE(package.empty());
    fs::copy_file(package, dir / "only.zvmd");
    fs::copy_file(package, dir / "nested" / "ignored.zvmd");
    fs::copy_file(package, dir / "ignored.ZVMD");

    vcmdResetForTesting();
    VoicemodExtension::initialize("end-to-end", "test", dir.u8string().c_str());
    const auto listed = VoicemodExtension::listVoices();

    ASSERT_FALSE(listed.empty());
    EXPECT_LT(listed.size(), voices.size());  // one package of several
    for (const auto& name : listed) EXPECT_NE(std::find(voices.begin(), voices.end(), name), voices.end()) << name;
}

TEST_F(EndToEnd, AContentDirectoryNamedBeyondAsciiBringsUpEveryBundledVoice) {
    // "Voix-été-声音" holding every bundled package, one of them renamed
    // "Études-音声.zvmd"; names spelled as UTF-8 bytes.
    const testsupport::ScratchDirectory scratch("corvane-e2e-utf8");
    const std::string dir = scratch.path().u8string() + "/Voix-\xC3\xA9t\xC3\xA9-\xE5\xA3\xB0\xE9\x9F\xB3";
    fs::create_directories(fs::u8path(dir));
    bool renamed = false;
    for (const auto& entry : fs::directory_iterator(fs::u8path(CORVANE_VOICES_DIR))) {
        if (entry.path().extension() != ".zvmd") continue;
        const fs::path name = renamed ? entry.path().filename() : fs::u8path("\xC3\x89tudes-\xE9\x9F\xB3\xE5\xA3\xB0.zvmd");
        renamed = true;
        fs::copy_file(entry.path(), fs::u8path(dir) / name);
    }

    vcmdResetForTesting();
    EXPECT_NO_THROW(VoicemodExtension::initialize("end-to-end", "test", dir.c_str()));
    auto listed = VoicemodExtension::listVoices();

    auto bundled = voices;
    std::sort(listed.begin(), listed.end());
    std::sort(bundled.begin(), bundled.end());
    EXPECT_EQ(listed, bundled);
    EXPECT_TRUE(log->messages(LogLevel::Error).empty());
}

TEST_F(EndToEnd, BringUpMountsTheBundledVoicesAndLogsEachOne) {
    ASSERT_GE(voices.size(), 10u);
    const auto info = log->messages(LogLevel::Info);
    for (const std::string& voice : voices)
        EXPECT_NE(std::find(info.begin(), info.end(), "Available voicemod voice: " + voice), info.end()) << voice;
    EXPECT_TRUE(log->messages(LogLevel::Error).empty());

    // A second bring-up finds the engine started and the packages mounted:
    // the catalogue does not grow.
    EXPECT_NO_THROW(VoicemodExtension::initialize("end-to-end", "test", CORVANE_VOICES_DIR));
    EXPECT_EQ(VoicemodExtension::listVoices(), voices);
}

TEST_F(EndToEnd, NodesShareOneStateAndGettersAskTheEngine) {
    ASSERT_FALSE(voices.empty());
    VoicemodNode first, second;
    first.setBypassEnabled(true);
    EXPECT_TRUE(second.getBypassEnabled());
    first.setBypassEnabled(false);
    EXPECT_FALSE(second.getBypassEnabled());
    second.setBackgroundSoundsEnabled(true);
    EXPECT_TRUE(first.getBackgroundSoundsEnabled());

    EXPECT_TRUE(first.loadVoice(voices.back()));
    EXPECT_EQ(second.getCurrentVoice(), voices.back());
    EXPECT_EQ(first.getCurrentVoice(), voices.back());
}

TEST_F(EndToEnd, NoVoicePassesAudioThroughAndAVoiceChangesIt) {
    VoicemodNode node;
    AudioBusFormat in{kRate, 0, kBlock}, out{};
    ASSERT_TRUE(node.setBusFormat(in, out));
    for (std::uint32_t channels : {1u, 2u}) {
        SCOPED_TRACE(channels);
        const Block plain = run(node, channels, 2);
        for (std::uint32_t c = 0; c < channels; ++c) EXPECT_EQ(plain.out[c], plain.in[c]);
    }
    ASSERT_TRUE(node.loadVoice(voices.front()));
    for (std::uint32_t channels : {1u, 2u}) {
        const Block changed = run(node, channels, 4);
        for (std::uint32_t c = 0; c < channels; ++c) {
            EXPECT_NE(changed.out[c], changed.in[c]);
            for (float x : changed.out[c]) ASSERT_TRUE(std::isfinite(x));
        }
    }
}

TEST_F(EndToEnd, BypassAndMuteAreExactOnceTheirRampHasRun) {
    VoicemodNode node;
    AudioBusFormat in{kRate, 2, kBlock}, out{};
    ASSERT_TRUE(node.setBusFormat(in, out));
    ASSERT_TRUE(node.loadVoice(voices.front()));
    run(node, 2, 2);

    node.setBypassEnabled(true);
    run(node, 2, 1);  // the ramp
    Block bypassed = run(node, 2, 1);
    EXPECT_EQ(bypassed.out, bypassed.in);

    node.setBypassEnabled(false);
    node.setMuteEnabled(true);
    run(node, 2, 1);
    Block muted = run(node, 2, 1);
    for (const auto& channel : muted.out)
        EXPECT_TRUE(std::all_of(channel.begin(), channel.end(), [](float x) { return x == 0.0f; }));
}

TEST_F(EndToEnd, RefusalsOfTheEngineReachTheCallerAndKeepTheState) {
    VoicemodNode node;
    ASSERT_TRUE(node.loadVoice(voices.front()));
    try {
        node.loadVoice("No Such Voice");
        ADD_FAILURE() << "no exception";
    } catch (const VoicemodError& error) {
        EXPECT_EQ(error.code(), VCMD_ERR_UNKNOWN_VOICE);
        EXPECT_STREQ(error.what(), "Could not load voice. \"No Such Voice\": no mounted voice has that name");
    }
    EXPECT_EQ(node.getCurrentVoice(), voices.front());

    try {
        node.setParameter("no such parameter", 1.0f);
        ADD_FAILURE() << "no exception";
    } catch (const VoicemodError& error) {
        EXPECT_EQ(error.code(), VCMD_ERR_UNKNOWN_PARAMETER);
        EXPECT_STREQ(error.what(), "Could not set voicemod parameter. \"no such parameter\" = 1: the current voice "
                                   "has no parameter of that name");
    }

    AudioBusFormat absurd{1000000, 2, 256}, out{};
    EXPECT_FALSE(node.setBusFormat(absurd, out));
    EXPECT_EQ(log->messages(LogLevel::Error).back(), "Could not set sample rate.");
}
