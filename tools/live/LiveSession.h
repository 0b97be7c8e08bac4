// LiveSession.h - one PortAudio stream from an input device to an output
// device, whose callback runs a LiveBlock.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "live/Devices.h"
#include "live/LiveBlock.h"

namespace corvane::tool {

class LiveSession {
public:
    // [main-thread] Opens the stream: `input`'s first one or two channels to
    // `output`'s first one or two, 32-bit float, non-interleaved, at
    // `sampleRate` in callbacks of exactly block.framesPerBlock() frames.
    // The block must be configured for the same rate and channel counts
    // (inputChannelsFor / outputChannelsFor). Throws ToolError naming the
    // device and the reason when a device refuses the rate, the channels or
    // the block size or cannot be opened. Needs a PortAudioSession.
    LiveSession(const DeviceInfo& input, const DeviceInfo& output, LiveBlock& block);
    ~LiveSession();  // stops the stream when running, closes it (unless stop() gave up)
    LiveSession(const LiveSession&) = delete;
    LiveSession& operator=(const LiveSession&) = delete;

    // [main-thread] Starts and stops the callbacks. stop() is idempotent.
    // It returns false when the device did not let the stream stop within
    // `patience` (a server that died can leave PortAudio waiting for ever):
    // the stream is then left as it is, callbacks may still come, and
    // neither this object, the block nor PortAudio may be torn down; the
    // caller can only end the process.
    void start();
    bool stop(std::chrono::milliseconds patience = std::chrono::seconds(3));

    // [main-thread] True while the device keeps the stream running; false
    // once it has stopped on its own (a device that went away).
    bool active() const;

    // Latencies the devices report for the open stream, in seconds.
    double inputLatency() const noexcept { return inputLatency_; }
    double outputLatency() const noexcept { return outputLatency_; }

    static std::uint32_t inputChannelsFor(const DeviceInfo& input);
    static std::uint32_t outputChannelsFor(const DeviceInfo& output);

private:
    void* stream_ = nullptr;  // PaStream
    std::string devices_;     // for messages: 'devices "a" and "b"'
    LiveBlock& block_;
    bool running_ = false;
    bool stuck_ = false;
    double inputLatency_ = 0.0;
    double outputLatency_ = 0.0;
};

}  // namespace corvane::tool
