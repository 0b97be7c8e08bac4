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

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "LiveBlock.h"

namespace corvane::tool {

struct VirtualMicOptions {
    std::string name = "Corvane Voice";  // the virtual microphone's node name and description
    std::string input;                   // source node: name, description or part of one; "" the default source
    std::string output;                  // with monitor: sink node likewise; "" the default sink
    bool monitor = false;                // also play the voice on the speakers
    std::uint32_t rate = 0;              // 0: the graph's rate
    std::uint32_t block = 256;           // frames per cycle asked of the graph (node.latency)
};

class VirtualMic {
public:
    // [main-thread] Connects to the PipeWire server and finds the source
    // (and with monitor the sink). Throws ToolError when there is no
    // server, no such node, or a node named `name` already exists.
    explicit VirtualMic(const VirtualMicOptions& options);
    ~VirtualMic();  // the node and its links go
    VirtualMic(const VirtualMic&) = delete;
    VirtualMic& operator=(const VirtualMic&) = delete;

    std::uint32_t sampleRate() const noexcept;
    static constexpr std::uint32_t inputChannels() noexcept { return 1; }
    std::uint32_t outputChannels() const noexcept;  // 1, or 2 with the monitor
    std::string inputName() const;                  // the source's description
    std::string outputName() const;                 // the sink's (with the monitor)

    // [main-thread] Makes the node (its process call runs `block`) and the
    // links; the node is there, and listed, once this returns. Throws
    // ToolError when the server refuses.
    void open(LiveBlock& block);

    // [main-thread] The cycles run from open(); stop() takes the node away
    // (true once gone; false when the server did not answer in `patience`).
    bool stop(std::chrono::milliseconds patience = std::chrono::seconds(3));

    // [main-thread] Why the session cannot go on ("" while it can): the
    // source went away, or the server did.
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
};

}  // namespace corvane::tool
