// VirtualMic.cpp - see VirtualMic.h. Longer than most files here because it
// is one piece: the three PipeWire streams of one node group (capture,
// virtual microphone, monitor), their set-up from the options, the process
// call that runs the host graph in the capture stream's cycle, and their
// tear-down on every way out; PipeWire's C API spells each of those out.
#include "virtualmic/VirtualMic.h"

// PipeWire's C API is largely macros built on GNU statement expressions and
// C99 compound literals, which clang's -Wpedantic names where they expand.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression-from-macro-expansion"
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif

#include <pipewire/extensions/metadata.h>
#include <pipewire/stream.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/latency-utils.h>
#include <spa/utils/result.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

// The longest the start-up waits for the streams.
constexpr auto kStartPatience = std::chrono::seconds(100);

struct NodeInfo {
    std::uint32_t id = 0;
    std::uint64_t serial = 0;  // object.serial: ids are reused, serials are not (0: the server gave none)
    std::string name;
    std::string description;
    std::string mediaClass;
    int priority = 0;
};

// Of two nodes, the one made first: the lower object.serial (the lower id
// where the server gives no serials).
bool madeBefore(const NodeInfo& a, const NodeInfo& b) {
    return a.serial != 0 && b.serial != 0 ? a.serial < b.serial : a.id < b.id;
}

struct PortInfo {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    bool output = false;
    bool monitor = false;
    std::string channel;
    std::string name;
};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* lookup(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? value : "";
}

// "default.audio.source" and its kin hold {"name":"node.name"}.
std::string nameInJson(const char* json) {
    if (json == nullptr) return "";
    const std::string text = json;
    const auto key = text.find("\"name\"");
    if (key == std::string::npos) return "";
    const auto open = text.find('"', text.find(':', key) + 1);
    if (open == std::string::npos) return "";
    const auto close = text.find('"', open + 1);
    return close == std::string::npos ? "" : text.substr(open + 1, close - open - 1);
}

std::string nodeLabel(const NodeInfo& node) {
    return node.description.empty() || node.description == node.name
               ? quote(node.name)
               : quote(node.description) + " (" + printable(node.name) + ")";
}

std::string alreadyThere(const std::string& name, const char* when = "") {
    return "--virtual-mic: PipeWire already has a node named " + quote(name) + when +
           " (is another 'live --virtual-mic' running?); give another name";
}

// A virtual microphone's name, claimed among this user's tools on one
// PipeWire server: an exclusive flock on
// $XDG_RUNTIME_DIR/corvane-voicemod-mic-<hash of server and name>.lock, held
// while this lives (the system drops it whatever way the process ends, even
// SIGKILL). Checking the server's nodes and making the node later cannot do
// that alone: two tools started at the same instant both find the name free.
// Without $XDG_RUNTIME_DIR, or where the file cannot be made or locked, no
// claim is made, and VirtualMic::open's second look is what decides.
class NameClaim {
public:
    explicit NameClaim(const std::string& name) {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime == nullptr || *runtime != '/') return;
        // The server the name is on: PipeWire's socket, as the client library finds it.
        const char* remote = std::getenv("PIPEWIRE_REMOTE");
        const char* socketDir = std::getenv("PIPEWIRE_RUNTIME_DIR");
        std::string server = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
        if (server.front() != '/')
            server =
                std::string(socketDir != nullptr && *socketDir != '\0' ? socketDir : runtime) + "/" + server;
        std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
        for (const char c : server + '\n' + name)
            hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
        char file[64];
        std::snprintf(file, sizeof file, "/corvane-voicemod-mic-%016llx.lock",
                      static_cast<unsigned long long>(hash));
        const std::string path = runtime + std::string(file);
        // The holder removes the file as it goes: a lock taken on a file
        // already removed is taken again on the new one.
        for (int attempt = 0; attempt < 5; ++attempt) {
            const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd < 0) return;
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const int error = errno;
                ::close(fd);
                if (error == EWOULDBLOCK)
                    throw ToolError("--virtual-mic: another 'live --virtual-mic' already has the name " +
                                    quote(name) + "; give another name");
                return;
            }
            struct stat held = {}, named = {};
            if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
                held.st_ino == named.st_ino) {
                fd_ = fd;
                path_ = path;
                return;
            }
            ::close(fd);
        }
    }
    ~NameClaim() {
        if (fd_ < 0) return;
        ::unlink(path_.c_str());
        ::close(fd_);
    }
    NameClaim(const NameClaim&) = delete;
    NameClaim& operator=(const NameClaim&) = delete;

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

std::uint64_t runMicCycle(LiveBlock& block, const spa_data* input, spa_data* voice, spa_data* speakers,
                          std::uint64_t frames, bool xrun, float* scratch) noexcept CORVANE_LIVE_NONBLOCKING {
    // The microphone's samples, only within its buffer (the chunk's offset
    // and size clamped to its maxsize, as PipeWire's loopback does; an
    // offset between two samples is no sample at all).
    std::uint64_t given = 0;
    const float* samples = nullptr;
    if (input != nullptr && input->data != nullptr && input->chunk != nullptr &&
        input->chunk->offset % sizeof(float) == 0) {
        const std::uint32_t offset = std::min(input->chunk->offset, input->maxsize);
        const std::uint32_t size = std::min(input->chunk->size, input->maxsize - offset);
        samples = static_cast<const float*>(SPA_PTROFF(input->data, offset, void));
        given = size / sizeof(float);
    }
    if (frames == 0) frames = given;
    const auto room = [](const spa_data* data) -> std::uint64_t {
        return data != nullptr && data->data != nullptr ? data->maxsize / sizeof(float)
                                                        : kVirtualMicLongestCycle;
    };
    frames = std::min<std::uint64_t>({frames, room(voice), room(speakers), kVirtualMicLongestCycle});
    // Every output chunk is set, so a buffer is never handed on with the
    // samples of an earlier cycle.
    for (spa_data* data : {voice, speakers}) {
        if (data == nullptr || data->chunk == nullptr) continue;
        data->chunk->offset = 0;
        data->chunk->stride = sizeof(float);
        data->chunk->size = data->data != nullptr ? static_cast<std::uint32_t>(frames * sizeof(float)) : 0;
    }
    if (frames == 0) return 0;
    // Fewer samples than the cycle, or none: silence for the rest.
    if (samples != nullptr && given < frames) {
        float* padded = scratch + 2 * kVirtualMicLongestCycle;
        std::copy(samples, samples + given, padded);
        std::fill(padded + given, padded + frames, 0.0f);
        samples = padded;
    }
    const float* inputs[1] = {samples};
    float* outputs[2] = {
        voice != nullptr && voice->data != nullptr ? static_cast<float*>(voice->data) : scratch,
        speakers != nullptr && speakers->data != nullptr ? static_cast<float*>(speakers->data)
                                                         : scratch + kVirtualMicLongestCycle};
    block.process(inputs, outputs, static_cast<unsigned long>(frames), xrun);
    return frames;
}

struct VirtualMic::Impl {
    VirtualMicOptions options;
    std::unique_ptr<NameClaim> claim;  // released after the node has gone (members go after ~Impl's body)
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    spa_hook coreListener{};
    spa_hook registryListener{};
    std::vector<std::pair<pw_metadata*, spa_hook*>> metadata;
    // The capture stream (from the microphone), the virtual microphone
    // (a playback stream whose node is an Audio/Source) and with the
    // monitor a playback stream to the speakers: one node group, so one
    // driver runs them all.
    pw_stream* capture = nullptr;
    pw_stream* mic = nullptr;
    pw_stream* monitor = nullptr;
    spa_hook captureListener{}, micListener{}, monitorListener{};
    // The capture stream's position: set on the loop thread (io_changed),
    // read on the audio thread.
    std::atomic<spa_io_position*> position{nullptr};

    // Loop thread, read under the loop's lock.
    std::map<std::uint32_t, NodeInfo> nodes;
    std::map<std::uint32_t, PortInfo> ports;
    std::string defaultSource, defaultSink;
    std::uint32_t graphRate = 0;
    int doneSeq = -1;
    int errors = 0;           // core errors so far
    bool serverGone = false;  // the connection itself is lost
    bool errorChecked = false;
    std::string serverError;
    std::string stateError;
    int streaming = 0;  // streams that have reached PAUSED or STREAMING
    std::uint32_t sourceId = 0;
    bool sourceGone = false;

    NodeInfo source, sink;
    std::uint32_t rate = 48000;
    LiveBlock* block = nullptr;
    std::vector<float> scratch;  // runMicCycle's
    // The microphone's latency as PipeWire reports it (loop thread), and
    // the tool's own delay on top of it (main thread): together, what the
    // virtual microphone reports.
    spa_latency_info captureLatency{};
    std::atomic<std::uint32_t> processFrames{0};
    // The audio thread's own.
    std::uint64_t nextPosition = 0;
    std::uint32_t clockId = 0;
    bool started = false;
    // Written by the audio thread (or the loop), read by any.
    std::atomic<std::uint64_t> cycleFrames{0};
    std::atomic<std::uint32_t> wrongRate{0};
    std::atomic<std::uint64_t> captureNanoseconds{0};
    std::atomic<bool> reportedLatency{false};

    ~Impl() { tearDown(); }

    static void onCoreDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Impl*>(data);
        if (id == PW_ID_CORE) self->doneSeq = seq;
        pw_thread_loop_signal(self->loop, false);
    }
    static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
        auto* self = static_cast<Impl*>(data);
        ++self->errors;
        if (id == PW_ID_CORE && res == -EPIPE) self->serverGone = true;
        if (self->serverError.empty())
            self->serverError = std::string(message != nullptr ? message : "") + " (" + spa_strerror(res) + ")" +
                                (id == PW_ID_CORE ? "" : ", object " + std::to_string(id));
        pw_thread_loop_signal(self->loop, false);
    }
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props) {
        auto* self = static_cast<Impl*>(data);
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
            NodeInfo node;
            node.id = id;
            node.serial = std::strtoull(lookup(props, PW_KEY_OBJECT_SERIAL), nullptr, 10);
            node.name = lookup(props, PW_KEY_NODE_NAME);
            node.description = lookup(props, PW_KEY_NODE_DESCRIPTION);
            node.mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
            node.priority = std::atoi(lookup(props, PW_KEY_PRIORITY_SESSION));
            self->nodes[id] = node;
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
            PortInfo port;
            port.id = id;
            port.node = static_cast<std::uint32_t>(std::strtoul(lookup(props, PW_KEY_NODE_ID), nullptr, 10));
            port.output = std::strcmp(lookup(props, PW_KEY_PORT_DIRECTION), "out") == 0;
            port.monitor = std::strcmp(lookup(props, PW_KEY_PORT_MONITOR), "true") == 0;
            port.channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
            port.name = lookup(props, PW_KEY_PORT_NAME);
            self->ports[id] = port;
        } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
            const std::string name = lookup(props, PW_KEY_METADATA_NAME);
            if (name != "default" && name != "settings") return;
            auto* bound = static_cast<pw_metadata*>(
                pw_registry_bind(self->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
            if (bound == nullptr) return;
            auto* hook = new spa_hook{};
            static const pw_metadata_events events = {PW_VERSION_METADATA_EVENTS, &Impl::onMetadata};
            pw_metadata_add_listener(bound, hook, &events, self);
            self->metadata.emplace_back(bound, hook);
        }
    }
    static void onGlobalRemove(void* data, std::uint32_t id) {
        auto* self = static_cast<Impl*>(data);
        self->nodes.erase(id);
        self->ports.erase(id);
        if (id != 0 && id == self->sourceId) self->sourceGone = true;
        pw_thread_loop_signal(self->loop, false);
    }
    static int onMetadata(void* data, std::uint32_t subject, const char* key, const char*, const char* value) {
        auto* self = static_cast<Impl*>(data);
        if (subject != PW_ID_CORE || key == nullptr) return 0;
        if (std::strcmp(key, "default.audio.source") == 0) self->defaultSource = nameInJson(value);
        if (std::strcmp(key, "default.audio.sink") == 0) self->defaultSink = nameInJson(value);
        if (std::strcmp(key, "clock.rate") == 0 && value != nullptr)
            self->graphRate = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
        return 0;
    }
    static void onState(void* data, pw_stream_state old, pw_stream_state state, const char* error) {
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
    static void onCaptureIo(void* data, std::uint32_t id, void* area, std::uint32_t) {
        if (id == SPA_IO_Position)
            static_cast<Impl*>(data)->position.store(static_cast<spa_io_position*>(area),
                                                     std::memory_order_release);
    }
    // [loop thread, or loop locked] Tells the virtual microphone's listeners
    // its latency: the microphone's, as PipeWire's own loopback passes it
    // on, plus the tool's own delay.
    void publishLatency() {
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
    static void onCaptureParam(void* data, std::uint32_t id, const spa_pod* param) {
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
    // [audio-thread] The capture stream's cycle: the microphone's buffer in,
    // the virtual microphone's (and the monitor's) out, then those two are
    // handed on in the same cycle (PipeWire's trigger, as its loopback does).
    static void onCaptureProcess(void* data) {
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

    static spa_data* dataOf(pw_buffer* buffer) noexcept {
        return buffer != nullptr && buffer->buffer->n_datas >= 1 ? &buffer->buffer->datas[0] : nullptr;
    }

    // [audio-thread] One graph cycle through the block (runMicCycle): its
    // length is the graph's (the position's duration; before the stream
    // has a position, what the output asks, else the input's own length).
    void process(pw_buffer* in, pw_buffer* out, pw_buffer* heard) noexcept CORVANE_LIVE_NONBLOCKING {
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

    bool stopped() const { return options.stop != nullptr && options.stop->load(std::memory_order_relaxed); }

    // [main-thread, loop locked] Lets the loop run for at most a tenth of a
    // second, or until it signals.
    void waitAWhile() {
        timespec until{};
        pw_thread_loop_get_time(loop, &until, 100 * SPA_NSEC_PER_MSEC);
        pw_thread_loop_timed_wait_full(loop, &until);
    }

    // [main-thread, loop locked] Waits until the server has answered
    // everything asked so far: false when it did not within `patience`,
    // sent an error meanwhile or `stop` was set.
    bool roundtrip(std::chrono::milliseconds patience = std::chrono::seconds(5)) {
        const int seq = pw_core_sync(core, PW_ID_CORE, 0);
        const int errorsBefore = errors;
        const auto until = std::chrono::steady_clock::now() + patience;
        while (doneSeq != seq && errors == errorsBefore && !serverGone && !stopped() &&
               std::chrono::steady_clock::now() < until)
            waitAWhile();
        return doneSeq == seq;
    }

    // A node's ports one way; its monitor ports only where it has no
    // others (a virtual source's outputs are monitor ports).
    std::vector<PortInfo> portsOf(std::uint32_t node, bool output) const {
        std::vector<PortInfo> found, monitors;
        for (const auto& [id, port] : ports)
            if (port.node == node && port.output == output) (port.monitor ? monitors : found).push_back(port);
        return found.empty() ? monitors : found;
    }

    // The node `wanted` names among those of `kind` ("source" or "sink").
    NodeInfo findNode(const std::string& wanted, bool sourceKind, const std::string& defaultName) const {
        std::vector<NodeInfo> candidates;
        for (const auto& [id, node] : nodes) {
            const bool source = node.mediaClass.rfind("Audio/Source", 0) == 0 || node.mediaClass == "Audio/Duplex";
            const bool sink = node.mediaClass.rfind("Audio/Sink", 0) == 0 || node.mediaClass == "Audio/Duplex";
            if ((sourceKind ? source : sink) && node.name != options.name) candidates.push_back(node);
        }
        const char* kind = sourceKind ? "source" : "sink";
        const char* option = sourceKind ? "--input" : "--output";
        if (wanted.empty()) {
            for (const NodeInfo& node : candidates)
                if (node.name == defaultName) return node;
            const auto best = std::max_element(candidates.begin(), candidates.end(),
                                               [](const NodeInfo& a, const NodeInfo& b) { return a.priority < b.priority; });
            if (best == candidates.end())
                throw ToolError(std::string("the PipeWire server has no audio ") + kind + "; give " + option);
            return *best;
        }
        for (const NodeInfo& node : candidates)
            if (node.name == wanted || node.description == wanted || std::to_string(node.id) == wanted) return node;
        std::vector<NodeInfo> partial;
        for (const NodeInfo& node : candidates)
            if (lower(node.name).find(lower(wanted)) != std::string::npos ||
                lower(node.description).find(lower(wanted)) != std::string::npos)
                partial.push_back(node);
        if (partial.size() == 1) return partial.front();
        std::string list;
        for (const NodeInfo& node : partial.empty() ? candidates : partial)
            list += (list.empty() ? "" : ", ") + nodeLabel(node);
        if (partial.empty())
            throw ToolError(std::string("no PipeWire ") + kind + " " + quote(wanted) +
                            (list.empty() ? std::string(" (there is none)") : " (there are: " + list + ")"));
        throw ToolError(std::string(option) + " " + quote(wanted) + " fits several PipeWire " + kind +
                        "s: " + list);
    }

    void tearDown() {
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
};

namespace {

const pw_core_events kCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &VirtualMic::Impl::onCoreDone;
    events.error = &VirtualMic::Impl::onCoreError;
    return events;
}();

const pw_registry_events kRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &VirtualMic::Impl::onGlobal;
    events.global_remove = &VirtualMic::Impl::onGlobalRemove;
    return events;
}();

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

// The loop's lock, held for a scope.
class Locked {
public:
    explicit Locked(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~Locked() { pw_thread_loop_unlock(loop_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    pw_thread_loop* loop_;
};

}  // namespace

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
            pw_core_add_listener(s.core, &s.coreListener, &kCoreEvents, &s);
            s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
            pw_registry_add_listener(s.registry, &s.registryListener, &kRegistryEvents, &s);
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
