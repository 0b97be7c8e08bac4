#include "live/LiveSession.h"

#include <portaudio.h>

#include <algorithm>
#include <future>
#include <memory>
#include <thread>
#include <cstdio>
#include <string>

#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

constexpr PaStreamCallbackFlags kXrunFlags = paInputUnderflow | paInputOverflow | paOutputUnderflow | paOutputOverflow;

// PortAudio's callback, on the device's (or the audio server's) thread.
int streamCallback(const void* input, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags flags, void* user) {
    static_cast<LiveBlock*>(user)->process(static_cast<const float* const*>(input),
                                           static_cast<float* const*>(output), frames, (flags & kXrunFlags) != 0);
    return paContinue;
}

std::string rateText(double rate) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f Hz", rate);
    return text;
}

std::string deviceName(const DeviceInfo& device) { return quote(device.name) + " (" + device.hostApi + ")"; }

}  // namespace

std::uint32_t LiveSession::inputChannelsFor(const DeviceInfo& input) {
    return static_cast<std::uint32_t>(std::clamp(input.inputChannels, 0, 2));
}

std::uint32_t LiveSession::outputChannelsFor(const DeviceInfo& output) {
    return static_cast<std::uint32_t>(std::clamp(output.outputChannels, 0, 2));
}

LiveSession::LiveSession(const DeviceInfo& input, const DeviceInfo& output, LiveBlock& block) : block_(block) {
    PaStreamParameters in{};
    in.device = input.index;
    in.channelCount = static_cast<int>(block.inputChannels());
    in.sampleFormat = paFloat32 | paNonInterleaved;
    in.suggestedLatency = input.defaultInputLatency;
    PaStreamParameters out{};
    out.device = output.index;
    out.channelCount = static_cast<int>(block.outputChannels());
    out.sampleFormat = paFloat32 | paNonInterleaved;
    out.suggestedLatency = output.defaultOutputLatency;
    const double rate = block.sampleRate();

    // Ask each device on its own first, so the message names the one that
    // refuses.
    if (Pa_IsFormatSupported(&in, nullptr, rate) != paFormatIsSupported)
        throw ToolError("input device " + deviceName(input) + " does not take " + rateText(rate) + " with " +
                        std::to_string(in.channelCount) + " channel(s): " +
                        Pa_GetErrorText(Pa_IsFormatSupported(&in, nullptr, rate)));
    if (Pa_IsFormatSupported(nullptr, &out, rate) != paFormatIsSupported)
        throw ToolError("output device " + deviceName(output) + " does not take " + rateText(rate) + " with " +
                        std::to_string(out.channelCount) + " channel(s): " +
                        Pa_GetErrorText(Pa_IsFormatSupported(nullptr, &out, rate)));

    devices_ = input.index == output.index ? "device " + deviceName(input)
                                           : "devices " + deviceName(input) + " and " + deviceName(output);
    PaStream* stream = nullptr;
    const PaError opened = Pa_OpenStream(&stream, &in, &out, rate, block.framesPerBlock(), paNoFlag, streamCallback,
                                         &block_);
    if (opened != paNoError)
        throw ToolError("cannot open " + devices_ + " at " + rateText(rate) + " in blocks of " +
                        std::to_string(block.framesPerBlock()) + " frames: " + Pa_GetErrorText(opened));
    stream_ = stream;
    // Some devices report no latency or a nonsense one (a JACK client's
    // ports without a latency of their own give about 24 hours): only
    // figures under ten seconds count.
    const auto plausible = [](double seconds) { return seconds >= 0.0 && seconds < 10.0 ? seconds : 0.0; };
    if (const PaStreamInfo* info = Pa_GetStreamInfo(stream)) {
        inputLatency_ = plausible(info->inputLatency);
        outputLatency_ = plausible(info->outputLatency);
    }
}

LiveSession::~LiveSession() {
    if (!stop() || stuck_) return;
    if (stream_ != nullptr) Pa_CloseStream(static_cast<PaStream*>(stream_));
}

void LiveSession::start() {
    const PaError started = Pa_StartStream(static_cast<PaStream*>(stream_));
    if (started != paNoError) throw ToolError("cannot start " + devices_ + ": " + Pa_GetErrorText(started));
    running_ = true;
}

bool LiveSession::stop(std::chrono::milliseconds patience) {
    if (stuck_) return false;
    if (!running_) return true;
    running_ = false;
    auto* stream = static_cast<PaStream*>(stream_);
    // Stopped on a thread of its own, so a device that never answers costs
    // `patience`, not the program. A stream the device has already ended is
    // only aborted: stopping would wait for buffers that will never play.
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> stopped = done->get_future();
    std::thread([stream, done] {
        if (Pa_IsStreamActive(stream) == 1)
            Pa_StopStream(stream);
        else
            Pa_AbortStream(stream);
        done->set_value();
    }).detach();
    if (stopped.wait_for(patience) == std::future_status::ready) return true;
    stuck_ = true;
    return false;
}

bool LiveSession::active() const { return Pa_IsStreamActive(static_cast<PaStream*>(stream_)) == 1; }

}  // namespace corvane::tool
