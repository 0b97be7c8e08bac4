#include "corvane/AudioGraph.h"

#include <stdexcept>
#include <string>

namespace corvane {
namespace {

std::string describeNode(std::size_t index, const AudioProcessorNode& node) {
    return "node " + std::to_string(index) + " (" + node.getDisplayName() + ")";
}

std::string describeFormat(const AudioBusFormat& f) {
    return std::to_string(f.sampleRate) + " Hz, " + std::to_string(f.numberOfChannels) + " channel(s), " +
           std::to_string(f.framesPerBlock) + " frames per block";
}

}  // namespace

AudioSource::~AudioSource() = default;
AudioSink::~AudioSink() = default;

Result<void> AudioSource::prepare(const AudioBusFormat&) { return Result<void>::success(); }
Result<void> AudioSink::prepare(const AudioBusFormat&) { return Result<void>::success(); }

AudioGraph::AudioGraph(AudioSource& source, AudioSink& sink) : source_(source), sink_(sink) {}
AudioGraph::~AudioGraph() = default;

void AudioGraph::addNode(AudioProcessorNode* node) {
    if (node == nullptr) throw std::invalid_argument("AudioGraph::addNode: null node");
    nodes_.push_back(node);
    configured_ = false;
}

AudioBusFormat AudioGraph::getOutputFormat() const noexcept {
    return configured_ && !formats_.empty() ? formats_.back() : AudioBusFormat{};
}

Result<void> AudioGraph::configure(std::uint32_t framesPerBlock) {
    configured_ = false;
    stages_.clear();
    buffers_.clear();
    formats_.clear();
    framesProcessed_ = 0;
    failedNode_ = -1;
    framesPerBlock_ = 0;

    if (framesPerBlock == 0) return Error("AudioGraph: the block size must be at least one frame");
    AudioBusFormat current = source_.getFormat();
    current.framesPerBlock = framesPerBlock;
    if (current.sampleRate == 0 || current.numberOfChannels == 0)
        return Error("AudioGraph: the source has no format (" + describeFormat(current) + ")");
    formats_.reserve(nodes_.size() + 1);
    formats_.push_back(current);

    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        AudioBusFormatList in{{current}};
        AudioBusFormatList out{{AudioBusFormat{}}};
        if (!nodes_[i]->setBusFormats(in, out) || out.formats.empty())
            return Error("AudioGraph: " + describeNode(i, *nodes_[i]) + " refused the format " +
                             describeFormat(current),
                         static_cast<int>(i));
        AudioBusFormat agreed = out.formats.front();
        const AudioBusFormat& input = in.formats.empty() ? current : in.formats.front();
        if (agreed.sampleRate == 0) agreed.sampleRate = input.sampleRate;
        if (agreed.numberOfChannels == 0) agreed.numberOfChannels = input.numberOfChannels;
        if (agreed.framesPerBlock == 0) agreed.framesPerBlock = framesPerBlock;
        if (agreed.framesPerBlock != framesPerBlock)
            return Error("AudioGraph: " + describeNode(i, *nodes_[i]) + " asks for " +
                             std::to_string(agreed.framesPerBlock) + " frames per block; the graph runs " +
                             std::to_string(framesPerBlock),
                         static_cast<int>(i));
        formats_.push_back(agreed);
        current = agreed;
    }

    Result<void> prepared = source_.prepare(formats_.front());
    if (prepared.isError()) return prepared;
    prepared = sink_.prepare(current);
    if (prepared.isError()) return prepared;

    // Every buffer is made before any bus points into the vector.
    buffers_.reserve(formats_.size());
    for (const AudioBusFormat& f : formats_) buffers_.emplace_back(f.numberOfChannels, framesPerBlock);
    stages_.reserve(nodes_.size());
    for (std::size_t i = 0; i < nodes_.size(); ++i) {
        Stage stage{nodes_[i], {}, {}};
        stage.inputs.buses.push_back(AudioBus{&buffers_[i]});
        stage.outputs.buses.push_back(AudioBus{&buffers_[i + 1]});
        stages_.push_back(std::move(stage));
    }
    framesPerBlock_ = framesPerBlock;
    configured_ = true;
    return Result<void>::success();
}

AudioGraph::BlockStatus AudioGraph::processBlock() {
    if (!configured_) return BlockStatus::NotConfigured;
    for (AudioBuffer<float>& b : buffers_) b.setNumberOfFrames(framesPerBlock_);
    AudioBuffer<float>& first = buffers_.front();
    std::uint32_t frames = source_.read(first);
    if (frames == 0) return BlockStatus::EndOfStream;
    if (frames > framesPerBlock_) frames = framesPerBlock_;
    if (frames < framesPerBlock_)
        for (AudioBuffer<float>& b : buffers_) b.setNumberOfFrames(frames);

    for (std::size_t i = 0; i < stages_.size(); ++i) {
        Stage& s = stages_[i];
        if (!s.node->process(s.inputs, s.outputs)) {
            failedNode_ = static_cast<long>(i);
            return BlockStatus::NodeFailed;
        }
    }
    if (!sink_.write(buffers_.back())) return BlockStatus::SinkFailed;
    framesProcessed_ += frames;
    return BlockStatus::Processed;
}

AudioGraph::BlockStatus AudioGraph::run() {
    BlockStatus status = BlockStatus::Processed;
    while ((status = processBlock()) == BlockStatus::Processed) {
    }
    return status;
}

const char* toString(AudioGraph::BlockStatus status) noexcept {
    switch (status) {
        case AudioGraph::BlockStatus::Processed: return "processed";
        case AudioGraph::BlockStatus::EndOfStream: return "end of stream";
        case AudioGraph::BlockStatus::NodeFailed: return "node failed";
        case AudioGraph::BlockStatus::SinkFailed: return "sink failed";
        case AudioGraph::BlockStatus::NotConfigured: return "not configured";
    }
    return "unknown";
}

}  // namespace corvane
