// AudioGraph.h - the least audio graph a host needs: one source, a chain of
// processor nodes and one sink, run in fixed-size blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "corvane/AudioBuffer.h"
#include "corvane/AudioBus.h"
#include "corvane/AudioBusFormat.h"
#include "corvane/AudioProcessorNode.h"
#include "corvane/Export.h"
#include "corvane/Result.h"

namespace corvane {

// Where the graph's audio comes from (a file, a device, a generator).
class CORVANE_API AudioSource {
public:
    virtual ~AudioSource();

    // [main-thread] What the source produces: its sample rate and channel
    // count. framesPerBlock is ignored; the graph chooses the block size.
    virtual AudioBusFormat getFormat() const = 0;

    // [main-thread] Told the format it will be read in (framesPerBlock set),
    // once per AudioGraph::configure(), before any read(): the place to
    // allocate. The default does nothing; an Error makes configure() fail.
    virtual Result<void> prepare(const AudioBusFormat& format);

    // [audio-thread] Fills `block` (the channel count of getFormat(), as many
    // frames as block.getNumberOfFrames()) and returns the number of frames
    // written from the start of the block. Fewer frames than asked make a
    // shorter block; 0 ends the stream. Must not allocate.
    virtual std::uint32_t read(AudioBuffer<float>& block) = 0;
};

// Where the graph's audio goes.
class CORVANE_API AudioSink {
public:
    virtual ~AudioSink();

    // [main-thread] Told the format of the blocks it will receive, once per
    // successful AudioGraph::configure(). The default accepts any format;
    // returning an Error makes configure() fail with it.
    virtual Result<void> prepare(const AudioBusFormat& format);

    // [audio-thread] Consumes one block; false stops the run as a failure.
    // Must not allocate.
    virtual bool write(const AudioBuffer<float>& block) = 0;
};

// source -> node 0 -> node 1 -> ... -> sink, one bus per connection.
//
// Set-up (constructor, addNode, configure) is [main-thread]; processBlock and
// run are [audio-thread]: they never allocate, lock or build strings, as long
// as the source, the nodes and the sink do not. The graph owns none of the
// objects it connects; they must outlive it. Nodes are given a single bus in
// and a single bus out.
class CORVANE_API AudioGraph {
public:
    // What one processBlock() call did.
    enum class BlockStatus {
        Processed,     // a block went from the source through every node to the sink
        EndOfStream,   // the source had nothing more; nothing was processed
        NodeFailed,    // a node's process() returned false (see failedNode())
        SinkFailed,    // the sink's write() returned false
        NotConfigured  // configure() has not succeeded since the last change
    };

    AudioGraph(AudioSource& source, AudioSink& sink);
    ~AudioGraph();
    AudioGraph(const AudioGraph&) = delete;
    AudioGraph& operator=(const AudioGraph&) = delete;

    // [main-thread] Appends a node to the chain (not owned, not null). The
    // graph must be configured again afterwards.
    void addNode(AudioProcessorNode* node);

    // [main-thread] Negotiates the formats along the chain and allocates
    // every buffer the run needs. The source's format, with framesPerBlock
    // set to `framesPerBlock`, is the first node's input; each node's output
    // (as agreed by its setBusFormats, unset fields taken from its input)
    // is the next node's input. Then the source's and the sink's prepare()
    // are called, the sink's with the last node's output. Fails with an Error naming the node (by index and display
    // name) that refused its formats or changed the block size (the Error's
    // code is then that node's index), with the source's or the sink's
    // Error from prepare(), and when the source's format or
    // `framesPerBlock` is zero (code -1).
    Result<void> configure(std::uint32_t framesPerBlock);

    // [main-thread] The format each stage carries once configured: index 0
    // is the source's output, index i + 1 the output of node i.
    const std::vector<AudioBusFormat>& getStageFormats() const noexcept { return formats_; }
    // [any-thread] The format the sink receives (unset before configure()).
    AudioBusFormat getOutputFormat() const noexcept;
    std::uint32_t getFramesPerBlock() const noexcept { return framesPerBlock_; }
    std::size_t getNumberOfNodes() const noexcept { return nodes_.size(); }

    // [audio-thread] Pulls one block from the source, runs it through every
    // node in order and pushes it to the sink. A short read from the source
    // shortens the block on every stage without allocating.
    BlockStatus processBlock();

    // [audio-thread] Calls processBlock() until it returns anything but
    // Processed, and returns that (EndOfStream on success).
    BlockStatus run();

    // [any-thread] Frames delivered to the sink since configure().
    std::uint64_t getFramesProcessed() const noexcept { return framesProcessed_; }
    // [any-thread] Index of the node whose process() failed last, or -1.
    long failedNode() const noexcept { return failedNode_; }

private:
    struct Stage {
        AudioProcessorNode* node;
        AudioBusList inputs;
        AudioBusList outputs;
    };

    AudioSource& source_;
    AudioSink& sink_;
    std::vector<AudioProcessorNode*> nodes_;
    std::vector<Stage> stages_;
    std::vector<AudioBuffer<float>> buffers_;  // source's block, then one per node output
    std::vector<AudioBusFormat> formats_;
    std::uint32_t framesPerBlock_ = 0;
    std::uint64_t framesProcessed_ = 0;
    long failedNode_ = -1;
    bool configured_ = false;
};

// "processed", "end of stream", "node failed", "sink failed" or "not configured".
CORVANE_API const char* toString(AudioGraph::BlockStatus status) noexcept;

}  // namespace corvane
