// VirtualMic.h - 'live --virtual-mic': the voice as a microphone that other
// applications on a PipeWire desktop can pick, through the PipeWire client
// library (Linux builds that found libpipewire-0.3).
//
// Three PipeWire streams of the tool make it: a capture stream from the
// real microphone, the virtual microphone (a playback stream whose node's
// class is Audio/Source, which is what PipeWire's own virtual sources are,
// so WirePlumber and pipewire-pulse list it and link applications to it
// like any microphone), and with --monitor a playback stream to the
// speakers. They share one node group, so one driver (one clock) runs them
// all: the capture stream's process call takes the microphone's samples,
// runs the voice and fills the virtual microphone's buffer, which PipeWire
// then hands on in the same cycle (the playback streams are triggered, as
// PipeWire's loopback does). Nothing drifts and nothing is resampled or
// buffered between the two sides. (A single filter node with an input and
// an output port would be one process call too, but WirePlumber 0.4, in
// Debian 12, cannot link applications to a node that offers no format of
// its own.) The streams belong to the tool's connection to the server, so
// they go with it whatever way the tool ends (q, a signal, a crash).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <future>
#include <memory>
#include <string>

#include "live/LiveBlock.h"

struct spa_data;

namespace corvane::tool {

// The graph's longest cycle (PipeWire's default clock.max-quantum): an
// output port nobody listens to is written into a buffer this long.
constexpr std::uint32_t kVirtualMicLongestCycle = 8192;
constexpr std::size_t kVirtualMicScratch = 3 * std::size_t{kVirtualMicLongestCycle};

// [audio-thread] One cycle of the virtual microphone, on the buffers'
// first data as PipeWire hands them over: `input` the microphone's, `voice`
// the virtual microphone's, `speakers` the monitor's (each may be null, or
// have no memory). `frames` is the cycle's length (0: the input's own).
// The microphone's samples are read only within its buffer (its chunk's
// offset and size clamped to maxsize); fewer than the cycle, or none, are
// made up with silence; the output chunks are always set (offset 0, the
// frames written), so no buffer goes on with an earlier cycle's samples.
// `scratch` holds kVirtualMicScratch floats. Returns the frames run
// through `block` (the cycle's length, within the buffers' room).
// Allocates nothing, takes no lock, makes no system call.
std::uint64_t runMicCycle(LiveBlock& block, const spa_data* input, spa_data* voice, spa_data* speakers,
                          std::uint64_t frames, bool xrun, float* scratch) noexcept CORVANE_LIVE_NONBLOCKING;

struct VirtualMicOptions {
    std::string name = "Corvane Voice";  // the virtual microphone's node name and description
    std::string input;                   // source node: name, description or part of one; "" the default source
    std::string output;                  // with monitor: sink node likewise; "" the default sink
    bool monitor = false;                // also play the voice on the speakers
    std::uint32_t rate = 0;              // 0: the graph's rate
    std::uint32_t block = 256;           // frames per cycle asked of the graph (node.latency)
    const std::atomic<bool>* stop = nullptr;  // set by a signal: the waits of the start-up give up
};

class VirtualMic {
public:
    // [main-thread] Claims the name, connects to the PipeWire server and
    // finds the source (and with monitor the sink). The name is claimed
    // among this user's tools by a lock on a file in $XDG_RUNTIME_DIR,
    // held until this object goes, so of two tools asking for one name at
    // the same instant one goes on and the other is refused before it
    // loads anything. Throws ToolError when there is no server, no such
    // node, another tool holds the name or a node named `name` already
    // exists; with kExitInterrupted when `stop` is set while it waits.
    explicit VirtualMic(const VirtualMicOptions& options);
    ~VirtualMic();  // the node and its links go (unless stop() gave up: then nothing is torn down)
    VirtualMic(const VirtualMic&) = delete;
    VirtualMic& operator=(const VirtualMic&) = delete;

    std::uint32_t sampleRate() const noexcept;
    static constexpr std::uint32_t inputChannels() noexcept { return 1; }
    std::uint32_t outputChannels() const noexcept;  // 1, or 2 with the monitor
    std::string inputName() const;                  // the source's description
    std::string outputName() const;                 // the sink's (with the monitor)

    // [main-thread] Makes the node (its process call runs `block`) and the
    // links; the node is there, and listed, once this returns. Then it looks
    // once more: should another node of the name have come meanwhile (from
    // a program that took no lock), the one with the lower object.serial
    // stays and the other refuses. Throws ToolError when the server refuses
    // or the streams do not start within 100 s; with kExitInterrupted as
    // soon as `stop` is set while it waits.
    void open(LiveBlock& block);

    // [main-thread] The delay the tool's own graph adds (the voice's and the
    // suppressor's), in frames at sampleRate(): told to PipeWire as the
    // virtual microphone's latency on top of the microphone's own, so a
    // recording program (or a second voice chained with --input) sees the
    // whole path. Before open() too.
    void setProcessLatency(std::uint32_t frames);

    // [main-thread] The cycles run from open(); stop() takes the node away.
    // True once it is gone; false when that did not finish within
    // `patience` (a process call that does not return keeps PipeWire
    // waiting): the streams are then left as they are, cycles may still
    // come, and neither this object nor the block may be torn down; the
    // caller can only end the process. Called again, it waits once more,
    // and is true once the first tear-down has finished.
    bool stop(std::chrono::milliseconds patience = std::chrono::seconds(3));

    // [main-thread] Why the session cannot go on ("" while it can): the
    // microphone went away, or the server did.
    std::string trouble() const;

    // [any-thread] What a listener of the virtual microphone hears later
    // than the microphone heard it, without the voice's own delay: the
    // source's reported capture latency (or one graph cycle when it reports
    // none), in seconds.
    double latency() const noexcept;

    struct Impl;  // the PipeWire objects (public for the C callbacks' tables)

private:
    void openStreams();
    std::unique_ptr<Impl> impl_;
    std::shared_future<void> stopping_;  // the tear-down stop() started
};

}  // namespace corvane::tool
