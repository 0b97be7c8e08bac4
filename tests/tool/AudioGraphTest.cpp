// The host audio graph: format negotiation along the chain, block cutting,
// failures, and a run that allocates nothing.
#include <gtest/gtest.h>

#include <corvane/AudioGraph.h>
#include <corvane/SingleBusAudioProcessorNode.h>

#include <atomic>
#include <string>
#include <vector>

using namespace corvane;

// Counted by the replaced global operator new in AllocationCount.cpp.
extern std::atomic<long> allocations;

namespace {

// A source of `total` frames whose sample at frame i, channel c is
// i + 1000 * c, so every sample says where it came from.
class CountingSource : public AudioSource {
public:
    CountingSource(std::uint32_t rate, std::uint32_t channels, std::uint64_t total)
        : rate_(rate), channels_(channels), total_(total) {}

    AudioBusFormat getFormat() const override { return {rate_, channels_, 0}; }
    Result<void> prepare(const AudioBusFormat& format) override {
        prepared = format;
        return Result<void>::success();
    }
    std::uint32_t read(AudioBuffer<float>& block) override {
        const std::uint64_t left = total_ - next_;
        const auto n = static_cast<std::uint32_t>(left < block.getNumberOfFrames() ? left : block.getNumberOfFrames());
        for (std::uint32_t c = 0; c < block.getNumberOfChannels(); ++c)
            for (std::uint32_t i = 0; i < n; ++i)
                block.getWritePointer(c)[i] = static_cast<float>(next_ + i) + 1000.0f * static_cast<float>(c);
        next_ += n;
        return n;
    }

    AudioBusFormat prepared{};

private:
    std::uint32_t rate_, channels_;
    std::uint64_t total_;
    std::uint64_t next_ = 0;
};

// Keeps every sample it is given in storage reserved by prepare(), so
// write() does not allocate while the capacity lasts.
class CollectingSink : public AudioSink {
public:
    explicit CollectingSink(std::size_t capacity = 1 << 16, bool refuse = false)
        : capacity_(capacity), refuse_(refuse) {}

    Result<void> prepare(const AudioBusFormat& format) override {
        if (refuse_) return Error("sink refuses");
        prepared = format;
        samples.assign(format.numberOfChannels, {});
        for (auto& channel : samples) channel.reserve(capacity_);
        blockSizes.reserve(capacity_);
        return Result<void>::success();
    }
    bool write(const AudioBuffer<float>& block) override {
        if (failAfter >= 0 && static_cast<long>(blockSizes.size()) >= failAfter) return false;
        blockSizes.push_back(block.getNumberOfFrames());
        for (std::uint32_t c = 0; c < block.getNumberOfChannels(); ++c)
            for (std::uint32_t i = 0; i < block.getNumberOfFrames(); ++i)
                samples[c].push_back(block.getReadPointer(c)[i]);
        return true;
    }

    AudioBusFormat prepared{};
    std::vector<std::vector<float>> samples;
    std::vector<std::uint32_t> blockSizes;
    long failAfter = -1;

private:
    std::size_t capacity_;
    bool refuse_;
};

// Multiplies by a factor; records the formats it was offered and the block
// lengths it saw (in storage reserved up front).
class GainNode : public SingleBusAudioProcessorNode {
public:
    explicit GainNode(float gain) : gain_(gain) { blockSizes.reserve(1 << 16); }
    std::string getDisplayName() const override { return "gain"; }

    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override {
        offered = in;
        return AudioBusFormat::matchBusFormats(in, out);
    }
    bool process(AudioBus& in, AudioBus& out) override {
        if (failAt >= 0 && static_cast<long>(blockSizes.size()) == failAt) return false;
        blockSizes.push_back(in.buffer->getNumberOfFrames());
        out.copyFrom(in);
        for (std::uint32_t c = 0; c < out.buffer->getNumberOfChannels(); ++c)
            for (std::uint32_t i = 0; i < out.buffer->getNumberOfFrames(); ++i) out.buffer->getWritePointer(c)[i] *= gain_;
        return true;
    }

    AudioBusFormat offered{};
    std::vector<std::uint32_t> blockSizes;
    long failAt = -1;

private:
    float gain_;
};

// Turns one channel into two: the input, and the input negated.
class SplitNode : public SingleBusAudioProcessorNode {
public:
    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override {
        if (in.numberOfChannels != 1) return false;
        out = in;
        out.numberOfChannels = 2;
        return true;
    }
    bool process(AudioBus& in, AudioBus& out) override {
        const float* src = in.buffer->getReadPointer(0);
        for (std::uint32_t i = 0; i < out.buffer->getNumberOfFrames(); ++i) {
            out.buffer->getWritePointer(0)[i] = src[i];
            out.buffer->getWritePointer(1)[i] = -src[i];
        }
        return true;
    }
};

// Agrees to anything but insists on its own block size.
class FixedBlockNode : public SingleBusAudioProcessorNode {
public:
    bool setBusFormat(AudioBusFormat& in, AudioBusFormat& out) override {
        out = in;
        out.framesPerBlock = 64;
        return true;
    }
    bool process(AudioBus&, AudioBus&) override { return true; }
};

std::vector<float> expectedRamp(std::uint64_t frames, float gain, std::uint32_t channel = 0) {
    std::vector<float> v;
    for (std::uint64_t i = 0; i < frames; ++i) v.push_back((static_cast<float>(i) + 1000.0f * channel) * gain);
    return v;
}

}  // namespace

TEST(AudioGraph, RunsEveryNodeInOrderAndShortensOnlyTheLastBlock) {
    CountingSource source(48000, 2, 1000);
    CollectingSink sink;
    GainNode twice(2.0f), thrice(3.0f);
    AudioGraph graph(source, sink);
    graph.addNode(&twice);
    graph.addNode(&thrice);
    ASSERT_TRUE(graph.configure(256).isSuccess());

    EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::EndOfStream);
    EXPECT_EQ(graph.getFramesProcessed(), 1000u);
    EXPECT_EQ(sink.blockSizes, (std::vector<std::uint32_t>{256, 256, 256, 232}));
    EXPECT_EQ(twice.blockSizes, sink.blockSizes);
    EXPECT_EQ(thrice.blockSizes, sink.blockSizes);
    ASSERT_EQ(sink.samples.size(), 2u);
    EXPECT_EQ(sink.samples[0], expectedRamp(1000, 6.0f, 0));
    EXPECT_EQ(sink.samples[1], expectedRamp(1000, 6.0f, 1));
    // Once the source is dry, further calls say so and process nothing.
    EXPECT_EQ(graph.processBlock(), AudioGraph::BlockStatus::EndOfStream);
    EXPECT_EQ(sink.blockSizes.size(), 4u);
}

TEST(AudioGraph, BlockSizesOfOneAndLargerThanTheStreamGiveTheSameSamples) {
    for (std::uint32_t block : {1u, 7u, 4096u}) {
        SCOPED_TRACE(block);
        CountingSource source(44100, 1, 300);
        CollectingSink sink;
        GainNode gain(0.5f);
        AudioGraph graph(source, sink);
        graph.addNode(&gain);
        ASSERT_TRUE(graph.configure(block).isSuccess());
        EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::EndOfStream);
        EXPECT_EQ(sink.samples[0], expectedRamp(300, 0.5f));
        EXPECT_EQ(sink.blockSizes.size(), (300 + block - 1) / block);
    }
}

TEST(AudioGraph, NegotiatesFormatsStageByStageAndTellsSourceAndSink) {
    CountingSource source(32000, 1, 10);
    CollectingSink sink;
    GainNode gain(1.0f);
    SplitNode split;
    AudioGraph graph(source, sink);
    graph.addNode(&gain);
    graph.addNode(&split);
    ASSERT_TRUE(graph.configure(128).isSuccess());

    EXPECT_EQ(gain.offered.sampleRate, 32000u);
    EXPECT_EQ(gain.offered.numberOfChannels, 1u);
    EXPECT_EQ(gain.offered.framesPerBlock, 128u);
    ASSERT_EQ(graph.getStageFormats().size(), 3u);
    EXPECT_EQ(graph.getStageFormats()[1].numberOfChannels, 1u);
    EXPECT_EQ(graph.getStageFormats()[2].numberOfChannels, 2u);
    EXPECT_EQ(source.prepared.framesPerBlock, 128u);
    EXPECT_EQ(source.prepared.numberOfChannels, 1u);
    EXPECT_EQ(sink.prepared.numberOfChannels, 2u);
    EXPECT_EQ(sink.prepared.sampleRate, 32000u);
    EXPECT_EQ(graph.getOutputFormat().numberOfChannels, 2u);

    // The split node's second channel exists in its own buffer.
    EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::EndOfStream);
    ASSERT_EQ(sink.samples.size(), 2u);
    EXPECT_EQ(sink.samples[1], expectedRamp(10, -1.0f));
}

TEST(AudioGraph, ConfigureFailsWithAReasonNamingTheNode) {
    CountingSource stereo(48000, 2, 10);
    CollectingSink sink;
    GainNode gain(1.0f);
    SplitNode split;  // refuses anything but mono
    AudioGraph graph(stereo, sink);
    graph.addNode(&gain);
    graph.addNode(&split);
    const Result<void> refused = graph.configure(256);
    ASSERT_TRUE(refused.isError());
    EXPECT_NE(refused.error().getMessage().find("node 1 (Audio node) refused"), std::string::npos)
        << refused.error().getMessage();
    EXPECT_NE(refused.error().getMessage().find("48000 Hz, 2 channel(s)"), std::string::npos);
    EXPECT_EQ(refused.error().getCode(), 1);
    EXPECT_EQ(graph.processBlock(), AudioGraph::BlockStatus::NotConfigured);

    CountingSource mono(48000, 1, 10);
    FixedBlockNode fixed;
    AudioGraph other(mono, sink);
    other.addNode(&fixed);
    const Result<void> changed = other.configure(256);
    ASSERT_TRUE(changed.isError());
    EXPECT_NE(changed.error().getMessage().find("asks for 64 frames per block"), std::string::npos);

    EXPECT_EQ(changed.error().getCode(), 0);

    EXPECT_TRUE(AudioGraph(mono, sink).configure(0).isError());
    CountingSource formatless(0, 1, 10);
    EXPECT_TRUE(AudioGraph(formatless, sink).configure(64).isError());

    CollectingSink refusing(16, true);
    const Result<void> sinkRefused = AudioGraph(mono, refusing).configure(64);
    ASSERT_TRUE(sinkRefused.isError());
    EXPECT_EQ(sinkRefused.error().getMessage(), "sink refuses");
}

TEST(AudioGraph, AddingANodeAfterConfigureNeedsANewConfigure) {
    CountingSource source(48000, 1, 10);
    CollectingSink sink;
    GainNode gain(1.0f);
    AudioGraph graph(source, sink);
    ASSERT_TRUE(graph.configure(4).isSuccess());
    graph.addNode(&gain);
    EXPECT_EQ(graph.processBlock(), AudioGraph::BlockStatus::NotConfigured);
    EXPECT_THROW(graph.addNode(nullptr), std::invalid_argument);
    ASSERT_TRUE(graph.configure(4).isSuccess());
    EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::EndOfStream);
    EXPECT_EQ(sink.samples[0], expectedRamp(10, 1.0f));
}

TEST(AudioGraph, ANodeOrSinkFailureStopsTheRunAndSaysWhere) {
    {
        CountingSource source(48000, 1, 1000);
        CollectingSink sink;
        GainNode first(1.0f), second(1.0f);
        second.failAt = 2;  // the third block
        AudioGraph graph(source, sink);
        graph.addNode(&first);
        graph.addNode(&second);
        ASSERT_TRUE(graph.configure(100).isSuccess());
        EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::NodeFailed);
        EXPECT_EQ(graph.failedNode(), 1);
        EXPECT_EQ(sink.blockSizes.size(), 2u);
        EXPECT_EQ(graph.getFramesProcessed(), 200u);
    }
    {
        CountingSource source(48000, 1, 1000);
        CollectingSink sink;
        sink.failAfter = 1;
        AudioGraph graph(source, sink);
        ASSERT_TRUE(graph.configure(100).isSuccess());
        EXPECT_EQ(graph.run(), AudioGraph::BlockStatus::SinkFailed);
        EXPECT_EQ(graph.failedNode(), -1);
        EXPECT_EQ(graph.getFramesProcessed(), 100u);
    }
}

TEST(AudioGraph, RunAllocatesNothingOnceConfigured) {
    for (std::uint32_t block : {1u, 256u}) {
        SCOPED_TRACE(block);
        CountingSource source(48000, 2, 5000);
        CollectingSink sink(8192);
        GainNode gain(1.0f);
        AudioGraph graph(source, sink);
        graph.addNode(&gain);
        const long unconfigured = allocations.load();
        ASSERT_TRUE(graph.configure(block).isSuccess());
        EXPECT_GT(allocations.load(), unconfigured) << "the counter sees configure() allocate its buffers";
        const long before = allocations.load();
        const AudioGraph::BlockStatus status = graph.run();
        const long during = allocations.load() - before;
        EXPECT_EQ(status, AudioGraph::BlockStatus::EndOfStream);
        EXPECT_EQ(during, 0);
        EXPECT_EQ(sink.samples[0].size(), 5000u);
    }
}
