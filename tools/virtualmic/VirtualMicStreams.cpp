// VirtualMicStreams.cpp - see VirtualMicImpl.h: the three streams of one
// node group (capture, virtual microphone, monitor), the capture stream's
// process call that runs the voice, and their tear-down.
#include "virtualmic/VirtualMicImpl.h"

#include <spa/param/audio/format-utils.h>
#include <spa/utils/result.h>

#include <unistd.h>

#include "platform/ToolError.h"

namespace corvane::tool {
namespace {

// The longest the start-up waits for the streams.
constexpr auto kStartPatience = std::chrono::seconds(100);

const pw_stream_events kCaptureEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &VirtualMic::Impl::onState;
    events.io_changed = &VirtualMic::Impl::onCaptureIo;
    events.param_changed = &VirtualMic::Impl::onCaptureParam;
    events.process = &VirtualMic::Impl::onCaptureProcess;
    return events;
}();

const pw_stream_events kPlaybackEvents = [] {
    pw_stream_events events{};
    events.version = PW_VERSION_STREAM_EVENTS;
    events.state_changed = &VirtualMic::Impl::onState;
    return events;
}();

}  // namespace

void VirtualMic::Impl::onState(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
    auto* self = static_cast<Impl*>(data);
    const auto up = [](pw_stream_state st) {
        return st == PW_STREAM_STATE_PAUSED || st == PW_STREAM_STATE_STREAMING;
    };
    if (up(state) && !up(old)) ++self->streaming;
    if (!up(state) && up(old)) --self->streaming;
    if (state == PW_STREAM_STATE_ERROR && self->stateError.empty())
        self->stateError = error != nullptr ? error : "error";
    pw_thread_loop_signal(self->loop, false);
}

void VirtualMic::Impl::onCaptureIo(void* data, std::uint32_t id, void* area, std::uint32_t) {
    if (id == SPA_IO_Position)
        static_cast<Impl*>(data)->position.store(static_cast<spa_io_position*>(area),
                                                 std::memory_order_release);
}

void VirtualMic::Impl::publishLatency() {
    if (mic == nullptr) return;
    spa_latency_info info = captureLatency;
    info.direction = SPA_DIRECTION_OUTPUT;
    spa_process_latency_info own{};
    own.rate = processFrames.load(std::memory_order_relaxed);
    spa_process_latency_info_add(&own, &info);
    std::uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* params[1] = {spa_latency_build(&builder, SPA_PARAM_Latency, &info)};
    pw_stream_update_params(mic, params, 1);
}

void VirtualMic::Impl::onCaptureParam(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<Impl*>(data);
    if (param == nullptr || id != SPA_PARAM_Latency) return;
    spa_latency_info info{};
    if (spa_latency_parse(param, &info) < 0 || info.direction != SPA_DIRECTION_OUTPUT) return;
    self->captureLatency = info;
    self->publishLatency();
    // Quanta are counted when asked, at the cycle's length then.
    const std::uint64_t cycle = self->cycleFrames.load(std::memory_order_relaxed);
    const double seconds = (static_cast<double>(info.min_quantum) * static_cast<double>(cycle) +
                            static_cast<double>(info.min_rate)) /
                               self->rate +
                           static_cast<double>(info.min_ns) * 1e-9;
    self->captureNanoseconds.store(static_cast<std::uint64_t>(seconds * 1e9), std::memory_order_relaxed);
    self->reportedLatency.store(info.min_quantum > 0.0f || info.min_rate > 0 || info.min_ns > 0,
                                std::memory_order_relaxed);
}

void VirtualMic::Impl::onCaptureProcess(void* data) {
    auto* self = static_cast<Impl*>(data);
    pw_buffer* in = pw_stream_dequeue_buffer(self->capture);
    pw_buffer* out = pw_stream_dequeue_buffer(self->mic);
    pw_buffer* heard = self->monitor != nullptr ? pw_stream_dequeue_buffer(self->monitor) : nullptr;
    self->process(in, out, heard);
    if (in != nullptr) pw_stream_queue_buffer(self->capture, in);
    if (out != nullptr) pw_stream_queue_buffer(self->mic, out);
    if (heard != nullptr) pw_stream_queue_buffer(self->monitor, heard);
    pw_stream_trigger_process(self->mic);
    if (self->monitor != nullptr) pw_stream_trigger_process(self->monitor);
}

spa_data* VirtualMic::Impl::dataOf(pw_buffer* buffer) noexcept {
    return buffer != nullptr && buffer->buffer->n_datas >= 1 ? &buffer->buffer->datas[0] : nullptr;
}

void VirtualMic::Impl::process(pw_buffer* in, pw_buffer* out, pw_buffer* heard) noexcept CORVANE_LIVE_NONBLOCKING {
    bool xrun = false;
    std::uint64_t frames = 0;
    if (const spa_io_position* at = position.load(std::memory_order_acquire)) {
        frames = at->clock.duration;
        // A cycle that does not start where the last one ended means
        // the graph skipped audio; a new driver starts its own count.
        xrun = started && at->clock.id == clockId && at->clock.position > nextPosition;
        started = true;
        clockId = at->clock.id;
        nextPosition = at->clock.position + at->clock.duration;
        if (at->clock.rate.denom != rate) wrongRate.store(at->clock.rate.denom, std::memory_order_relaxed);
    }
    if (frames == 0 && out != nullptr) frames = out->requested;
    const std::uint64_t done =
        runMicCycle(*block, dataOf(in), dataOf(out), dataOf(heard), frames, xrun, scratch.data());
    if (done > 0) cycleFrames.store(done, std::memory_order_relaxed);
}

void VirtualMic::Impl::tearDown() {
    if (loop == nullptr) return;
    pw_thread_loop_lock(loop);
    // The capture stream first: its process call feeds the others.
    for (pw_stream** stream : {&capture, &mic, &monitor})
        if (*stream != nullptr) {
            pw_stream_destroy(*stream);
            *stream = nullptr;
        }
    for (auto& [bound, hook] : metadata) {
        spa_hook_remove(hook);
        delete hook;
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(bound));
    }
    metadata.clear();
    if (registry != nullptr) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        registry = nullptr;
    }
    if (core != nullptr) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
        core = nullptr;
    }
    pw_thread_loop_unlock(loop);
    pw_thread_loop_stop(loop);
    if (context != nullptr) pw_context_destroy(context);
    context = nullptr;
    pw_thread_loop_destroy(loop);
    loop = nullptr;
    pw_deinit();
}

void VirtualMic::openStreams() {
    Impl& s = *impl_;
    Locked locked(s.loop);
    const std::string group = "corvane-voicemod-" + std::to_string(::getpid());
    const auto stream = [&](const std::string& name, pw_properties* props, pw_stream** into, spa_hook* listener,
                            const pw_stream_events* events) {
        pw_properties_set(props, PW_KEY_MEDIA_TYPE, "Audio");
        pw_properties_set(props, PW_KEY_NODE_GROUP, group.c_str());
        pw_properties_set(props, PW_KEY_NODE_LINK_GROUP, group.c_str());
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%u/%u", s.options.block, s.rate);
        if (s.options.rate != 0) pw_properties_setf(props, PW_KEY_NODE_RATE, "1/%u", s.rate);
        *into = pw_stream_new(s.core, name.c_str(), props);
        if (*into == nullptr) throw ToolError("--virtual-mic: PipeWire cannot make the stream " + quote(name));
        pw_stream_add_listener(*into, listener, events, &s);
    };
    const auto connect = [&](pw_stream* into, pw_direction direction, pw_stream_flags flags) {
        // Mono 32-bit float at the voice's rate.
        std::uint8_t buffer[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32P;
        info.rate = s.rate;
        info.channels = 1;
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
        const spa_pod* params[1] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const auto all = static_cast<pw_stream_flags>(flags | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        if (pw_stream_connect(into, direction, PW_ID_ANY, all, params, 1) < 0)
            throw ToolError("--virtual-mic: PipeWire cannot connect a stream");
    };
    const std::string& name = s.options.name;

    // The virtual microphone first, so the capture's first cycle finds it.
    stream(name,
           pw_properties_new(PW_KEY_MEDIA_CLASS, "Audio/Source", PW_KEY_NODE_NAME, name.c_str(),
                             PW_KEY_NODE_DESCRIPTION, name.c_str(), PW_KEY_NODE_VIRTUAL, "true", nullptr),
           &s.mic, &s.micListener, &kPlaybackEvents);
    connect(s.mic, PW_DIRECTION_OUTPUT, static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_TRIGGER));
    s.publishLatency();
    if (s.options.monitor) {
        stream(name + " (monitor)",
               pw_properties_new(PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Communication",
                                 PW_KEY_NODE_NAME, (name + ".monitor").c_str(), PW_KEY_NODE_DESCRIPTION,
                                 (name + " (monitor)").c_str(), PW_KEY_TARGET_OBJECT, s.sink.name.c_str(),
                                 PW_KEY_NODE_DONT_RECONNECT, "true", nullptr),
               &s.monitor, &s.monitorListener, &kPlaybackEvents);
        connect(s.monitor, PW_DIRECTION_OUTPUT,
                static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_TRIGGER));
    }
    stream(name + " (input)",
           pw_properties_new(PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_MEDIA_ROLE, "Communication", PW_KEY_NODE_NAME,
                             (name + ".input").c_str(), PW_KEY_NODE_DESCRIPTION, (name + " (input)").c_str(),
                             PW_KEY_TARGET_OBJECT, s.source.name.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true",
                             nullptr),
           &s.capture, &s.captureListener, &kCaptureEvents);
    connect(s.capture, PW_DIRECTION_INPUT, PW_STREAM_FLAG_AUTOCONNECT);

    const int streams = s.options.monitor ? 3 : 2;
    const auto until = std::chrono::steady_clock::now() + kStartPatience;
    while (s.streaming < streams && s.serverError.empty() && s.stateError.empty() && !s.stopped() &&
           std::chrono::steady_clock::now() < until)
        s.waitAWhile();
    if (s.stopped()) throw ToolError("interrupted", kExitInterrupted);
    if (!s.serverError.empty() || !s.stateError.empty() || s.streaming < streams)
        throw ToolError("--virtual-mic: PipeWire did not start the streams of " + quote(name) +
                        (s.serverError.empty() && s.stateError.empty() ? std::string(" in time")
                                                                       : ": " + s.serverError + s.stateError));
    s.roundtrip();
    if (s.stopped()) throw ToolError("interrupted", kExitInterrupted);

    // A second look, now that the node is listed: a node of the same name
    // made meanwhile by a program that took no claim (another user, another
    // runtime folder) leaves one of them, the one made first.
    const auto own = s.nodes.find(pw_stream_get_node_id(s.mic));
    if (own != s.nodes.end())
        for (const auto& [id, node] : s.nodes)
            if (id != own->first && node.name == name && madeBefore(node, own->second))
                throw ToolError(alreadyThere(name, ", made a moment before this one"));
}

}  // namespace corvane::tool
