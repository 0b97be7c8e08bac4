#include <corvane/voicemod/VoicemodNode.h>

#include <corvane/AudioBuffer.h>
#include <corvane/AudioBus.h>
#include <corvane/AudioBusFormat.h>

#include <new>
#include <stdexcept>
#include <vector>

#include "AllocationCounter.h"
#include "Fixture.h"

using corvane::AudioBuffer;
using corvane::AudioBus;
using corvane::AudioBusFormat;
using corvane::LogLevel;
using corvane::extensions::voicemod::VoicemodNode;

namespace {

// An input buffer whose sample (c, i) is c * 1000 + i + 1, so that every
// sample is distinct and recognisable.
AudioBuffer<float> numbered(std::uint32_t channels, std::uint32_t frames) {
    AudioBuffer<float> buffer(channels, frames);
    for (std::uint32_t c = 0; c < channels; ++c)
        for (std::uint32_t i = 0; i < frames; ++i) buffer.getWritePointer(c)[i] = float(c * 1000 + i + 1);
    return buffer;
}

// What the recording fake makes of a sample: x * -1 + 0.5.
float processed(float x) { return -x + 0.5f; }

}  // namespace

using NodeAudio = LibraryTest;

TEST_F(NodeAudio, MonoGoesThroughTheSingleChannelCallOnlyInPlaceOnTheOutput) {
    auto in = numbered(1, 64);
    AudioBuffer<float> out(1, 64);
    AudioBus inBus{&in}, outBus{&out};
    VoicemodNode node;

    EXPECT_TRUE(node.process(inBus, outBus));

    EXPECT_EQ(recording::callNames(), std::vector<std::string>{"vcmdProcessBuffer"});
    const auto& call = recording::calls()[0];
    EXPECT_EQ(call.pointers.at(0), out.getWritePointer(0));
    EXPECT_EQ(call.numbers.at(0), 64);
    for (std::uint32_t i = 0; i < 64; ++i) {
        EXPECT_EQ(out.getReadPointer(0)[i], processed(float(i + 1)));
        EXPECT_EQ(in.getReadPointer(0)[i], float(i + 1));  // input untouched
    }
}

TEST_F(NodeAudio, StereoAndWiderGoThroughTheStereoCallOnChannelsZeroAndOne) {
    for (std::uint32_t channels : {2u, 3u, 6u}) {
        SCOPED_TRACE(channels);
        recording::calls().clear();
        auto in = numbered(channels, 33);
        AudioBuffer<float> out(channels, 33);
        AudioBus inBus{&in}, outBus{&out};
        VoicemodNode node;

        EXPECT_TRUE(node.process(inBus, outBus));

        ASSERT_EQ(recording::callNames(), std::vector<std::string>{"vcmdProcessStereoBuffer"});
        const auto& call = recording::calls()[0];
        EXPECT_EQ(call.pointers, (std::vector<const void*>{out.getWritePointer(0), out.getWritePointer(1)}));
        EXPECT_EQ(call.numbers.at(0), 33);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < 33; ++i) {
                const float input = float(c * 1000 + i + 1);
                EXPECT_EQ(out.getReadPointer(c)[i], c < 2 ? processed(input) : input) << c << "," << i;
            }
    }
}

TEST_F(NodeAudio, ABusWithNoChannelsIsLeftAloneAndCountsAsProcessed) {
    AudioBuffer<float> in(0, 128), out(0, 128);
    AudioBus inBus{&in}, outBus{&out};
    VoicemodNode node;
    EXPECT_TRUE(node.process(inBus, outBus));
    EXPECT_TRUE(recording::calls().empty());
    EXPECT_TRUE(log->lines().empty());
}

TEST_F(NodeAudio, ABusWithoutABufferIsRefusedWithoutTouchingTheVoiceChanger) {
    auto in = numbered(2, 8);
    AudioBus inBus{&in}, outBus{nullptr};
    VoicemodNode node;
    EXPECT_FALSE(node.process(inBus, outBus));
    EXPECT_TRUE(recording::calls().empty());
}

TEST_F(NodeAudio, AProcessingFailureIsLoggedAndReportedAsFalseOnBothPaths) {
    for (std::uint32_t channels : {1u, 2u}) {
        recording::reset();
        log->clear();
        recording::script().results[channels == 1 ? "vcmdProcessBuffer" : "vcmdProcessStereoBuffer"] = -3;
        auto in = numbered(channels, 16);
        AudioBuffer<float> out(channels, 16);
        AudioBus inBus{&in}, outBus{&out};
        VoicemodNode node;
        bool result = true;
        EXPECT_NO_THROW(result = node.process(inBus, outBus));
        EXPECT_FALSE(result);
        EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{"Voicemod could not process buffer."});
    }
}

TEST_F(NodeAudio, AFailingLoggerDoesNotEscapeTheGraphOperations) {
    corvane::Logger::setSink([](LogLevel, const std::string&) { throw std::bad_alloc(); });
    recording::script().results["vcmdProcessStereoBuffer"] = -1;
    recording::script().results["vcmdSetSampleRate"] = -10;
    auto in = numbered(2, 16);
    AudioBuffer<float> out(2, 16);
    AudioBus inBus{&in}, outBus{&out};
    AudioBusFormat inFormat{48000, 2, 16}, outFormat{};
    VoicemodNode node;
    bool processed = true, formatted = true;
    EXPECT_NO_THROW(processed = node.process(inBus, outBus));
    EXPECT_NO_THROW(formatted = node.setBusFormat(inFormat, outFormat));
    EXPECT_FALSE(processed);
    EXPECT_FALSE(formatted);
}

TEST_F(NodeAudio, TheSampleRateComesFromTheInputFormatAfterMatching) {
    VoicemodNode node;
    // The input has no rate of its own: matching gives it the output's.
    AudioBusFormat in{0, 2, 256}, out{44100, 2, 256};
    EXPECT_TRUE(node.setBusFormat(in, out));
    ASSERT_EQ(recording::callNames(), std::vector<std::string>{"vcmdSetSampleRate"});
    EXPECT_EQ(recording::calls()[0].numbers.at(0), 44100.0);

    recording::calls().clear();
    AudioBusFormat odd{192000, 1, 0}, open{};
    EXPECT_TRUE(node.setBusFormat(odd, open));
    EXPECT_EQ(recording::calls().at(0).numbers.at(0), 192000.0);
    EXPECT_EQ(open.sampleRate, 192000u);
    EXPECT_TRUE(log->lines().empty());
}

TEST_F(NodeAudio, RejectedFormatsLeaveTheVoiceChangerUntouchedAndLogNothing) {
    VoicemodNode node;
    AudioBusFormat in{48000, 2, 256}, out{44100, 2, 256};
    EXPECT_FALSE(node.setBusFormat(in, out));
    EXPECT_TRUE(recording::calls().empty());
    EXPECT_TRUE(log->lines().empty());
    EXPECT_EQ(out.sampleRate, 44100u);  // neither side changed
}

TEST_F(NodeAudio, ARefusedSampleRateIsLoggedAndReportedAsFalse) {
    recording::script().results["vcmdSetSampleRate"] = -10;
    VoicemodNode node;
    AudioBusFormat in{1000000, 2, 256}, out{};
    EXPECT_FALSE(node.setBusFormat(in, out));
    EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{"Could not set sample rate."});
}

TEST_F(NodeAudio, TheListOperationsHandTheFirstBusToTheNode) {
    auto in = numbered(2, 8);
    AudioBuffer<float> out(2, 8);
    corvane::AudioBusList inputs{{AudioBus{&in}}}, outputs{{AudioBus{&out}}};
    corvane::AudioBusFormatList inFormats{{AudioBusFormat{32000, 2, 8}}}, outFormats{{AudioBusFormat{}}};
    VoicemodNode node;
    corvane::AudioProcessorNode& asHost = node;
    EXPECT_TRUE(asHost.setBusFormats(inFormats, outFormats));
    EXPECT_TRUE(asHost.process(inputs, outputs));
    EXPECT_EQ(recording::callNames(), (std::vector<std::string>{"vcmdSetSampleRate", "vcmdProcessStereoBuffer"}));
}

TEST_F(NodeAudio, TheGraphPathAllocatesNothingOnSuccess) {
    auto in = numbered(2, 256);
    AudioBuffer<float> out(2, 256);
    auto monoIn = numbered(1, 256);
    AudioBuffer<float> monoOut(1, 256);
    AudioBus inBus{&in}, outBus{&out}, monoInBus{&monoIn}, monoOutBus{&monoOut};
    AudioBusFormat inFormat{48000, 2, 256}, outFormat{};
    VoicemodNode node;
    recording::script().recordCalls = false;
    node.process(inBus, outBus);  // warm-up

    allocation::Counts counts;
    {
        allocation::Counting counting;
        for (int i = 0; i < 10; ++i) {
            EXPECT_TRUE(node.process(inBus, outBus));
            EXPECT_TRUE(node.process(monoInBus, monoOutBus));
        }
        EXPECT_TRUE(node.setBusFormat(inFormat, outFormat));
        counts = counting.counts();
    }
    EXPECT_EQ(counts.news, 0u);
    EXPECT_EQ(counts.mallocs, 0u);
}
