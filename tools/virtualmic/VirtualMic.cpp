// VirtualMic.cpp - see VirtualMic.h: the connection to the server, the
// main thread's calls and the tear-down on every way out. The PipeWire
// objects are VirtualMicImpl.h's; the graph's view and the streams have
// files of their own.
#include "virtualmic/VirtualMic.h"

#include "virtualmic/VirtualMicImpl.h"

#include <future>
#include <thread>

#include "platform/ToolError.h"

namespace corvane::tool {

VirtualMic::VirtualMic(const VirtualMicOptions& options) : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.options = options;
    s.claim = std::make_unique<NameClaim>(options.name);
    pw_init(nullptr, nullptr);
    s.loop = pw_thread_loop_new("corvane-pipewire", nullptr);
    if (s.loop == nullptr) throw ToolError("cannot start PipeWire's client loop");
    s.context = pw_context_new(pw_thread_loop_get_loop(s.loop),
                               pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
    if (s.context == nullptr || pw_thread_loop_start(s.loop) < 0) {
        s.tearDown();
        throw ToolError("cannot start PipeWire's client library");
    }
    {
        Locked locked(s.loop);
        s.core = pw_context_connect(s.context,
                                    pw_properties_new(PW_KEY_APP_NAME, "corvane-voicemod", nullptr), 0);
        if (s.core != nullptr) {
            pw_core_add_listener(s.core, &s.coreListener, &kVirtualMicCoreEvents, &s);
            s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(s.registry, &s.registryListener, &kVirtualMicRegistryEvents, &s);
        }
    }
    if (s.core == nullptr) {
        s.tearDown();
        throw ToolError("--virtual-mic: no PipeWire server to connect to; it needs a desktop session running "
                        "PipeWire");
    }
    Locked locked(s.loop);
    // The globals, then what the metadata bound on the way says.
    const bool answered = s.roundtrip() && s.roundtrip();
    if (s.stopped()) throw ToolError("interrupted", kExitInterrupted);
    if (!answered)
        throw ToolError("--virtual-mic: the PipeWire server does not answer" +
                        (s.serverError.empty() ? std::string() : ": " + s.serverError));
    for (const auto& [id, node] : s.nodes)
        if (node.name == options.name) throw ToolError(alreadyThere(options.name));
    s.rate = options.rate != 0 ? options.rate : s.graphRate != 0 ? s.graphRate : 48000;
    s.source = s.findNode(options.input, true, s.defaultSource);
    s.sourceId = s.source.id;
    if (s.portsOf(s.source.id, true).empty())
        throw ToolError("PipeWire source " + nodeLabel(s.source) + " has no output ports to capture from");
    if (options.monitor) s.sink = s.findNode(options.output, false, s.defaultSink);
}

VirtualMic::~VirtualMic() {
    // A tear-down that has not finished still uses the PipeWire objects:
    // they are left to the end of the process.
    if (stopping_.valid() && stopping_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        static_cast<void>(impl_.release());
}

std::uint32_t VirtualMic::sampleRate() const noexcept { return impl_->rate; }
std::uint32_t VirtualMic::outputChannels() const noexcept { return impl_->options.monitor ? 2 : 1; }
std::string VirtualMic::inputName() const { return impl_->source.description.empty() ? impl_->source.name : impl_->source.description; }
std::string VirtualMic::outputName() const { return impl_->sink.description.empty() ? impl_->sink.name : impl_->sink.description; }

void VirtualMic::open(LiveBlock& block) {
    Impl& s = *impl_;
    s.block = &block;
    s.scratch.assign(kVirtualMicScratch, 0.0f);
    try {
        openStreams();
    } catch (...) {
        // Streams already started must not call into the block any more.
        s.tearDown();
        throw;
    }
}
void VirtualMic::setProcessLatency(std::uint32_t frames) {
    Impl& s = *impl_;
    s.processFrames.store(frames, std::memory_order_relaxed);
    if (s.loop == nullptr || stopping_.valid()) return;
    Locked locked(s.loop);
    s.publishLatency();
}

bool VirtualMic::stop(std::chrono::milliseconds patience) {
    if (!stopping_.valid()) {
        // On a thread of its own, so a stream whose process call never
        // returns costs `patience`, not the program.
        auto done = std::make_shared<std::promise<void>>();
        stopping_ = done->get_future().share();
        std::thread([impl = impl_.get(), done] {
            impl->tearDown();
            done->set_value();
        }).detach();
    }
    return stopping_.wait_for(patience) == std::future_status::ready;
}

std::string VirtualMic::trouble() const {
    Impl& s = *impl_;
    if (s.loop == nullptr || stopping_.valid()) return "";
    Locked locked(s.loop);
    // A microphone removed while it is linked makes the server send errors
    // about the objects that went with it ("unknown resource 6 op:2"), at
    // times before the microphone's own removal is heard of: one round trip
    // first, so that the removal is what is named.
    if ((!s.serverError.empty() || !s.stateError.empty()) && !s.sourceGone && !s.serverGone &&
        !s.errorChecked) {
        s.errorChecked = true;
        s.roundtrip(std::chrono::seconds(1));
    }
    if (s.sourceGone) return "the microphone " + nodeLabel(s.source) + " went away";
    if (!s.serverError.empty()) return "the PipeWire server: " + s.serverError;
    if (!s.stateError.empty())
        return "the PipeWire streams of " + quote(s.options.name) + ": " + s.stateError;
    if (const std::uint32_t wrong = s.wrongRate.load(std::memory_order_relaxed))
        return "the PipeWire graph runs at " + std::to_string(wrong) + " Hz, not the " + std::to_string(s.rate) +
               " Hz the voice was set up for";
    return "";
}

double VirtualMic::latency() const noexcept {
    const Impl& s = *impl_;
    if (s.reportedLatency.load(std::memory_order_relaxed))
        return static_cast<double>(s.captureNanoseconds.load(std::memory_order_relaxed)) * 1e-9;
    return static_cast<double>(s.cycleFrames.load(std::memory_order_relaxed)) / s.rate;
}

}  // namespace corvane::tool
