// VirtualMicImpl.h - the PipeWire objects behind VirtualMic: shared by
// VirtualMic.cpp (set-up and the main thread's calls), VirtualMicGraph.cpp
// (the server's nodes, ports and metadata) and VirtualMicStreams.cpp (the
// three streams, their process call and their tear-down).
#pragma once

// PipeWire's C API is largely macros built on GNU statement expressions and
// C99 compound literals, which clang's -Wpedantic names where they expand.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wgnu-statement-expression-from-macro-expansion"
#pragma clang diagnostic ignored "-Wc99-extensions"
#endif

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <pipewire/stream.h>
#include <spa/param/latency-utils.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "virtualmic/NameClaim.h"
#include "virtualmic/PipeWireNodes.h"
#include "virtualmic/VirtualMic.h"

namespace corvane::tool {

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

    // The core's and the registry's callbacks, on the loop thread, and the
    // graph they fill in (VirtualMicGraph.cpp).
    static void onCoreDone(void* data, std::uint32_t id, int seq);
    static void onCoreError(void* data, std::uint32_t id, int, int res, const char* message);
    static void onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, std::uint32_t id);
    static int onMetadata(void* data, std::uint32_t subject, const char* key, const char*, const char* value);

    // The streams' callbacks and the cycle (VirtualMicStreams.cpp).
    static void onState(void* data, pw_stream_state old, pw_stream_state state, const char* error);
    static void onCaptureIo(void* data, std::uint32_t id, void* area, std::uint32_t);
    // [loop thread, or loop locked] Tells the virtual microphone's listeners
    // its latency: the microphone's, as PipeWire's own loopback passes it
    // on, plus the tool's own delay.
    void publishLatency();
    static void onCaptureParam(void* data, std::uint32_t id, const spa_pod* param);
    // [audio-thread] The capture stream's cycle: the microphone's buffer in,
    // the virtual microphone's (and the monitor's) out, then those two are
    // handed on in the same cycle (PipeWire's trigger, as its loopback does).
    static void onCaptureProcess(void* data);

    static spa_data* dataOf(pw_buffer* buffer) noexcept;

    // [audio-thread] One graph cycle through the block (runMicCycle): its
    // length is the graph's (the position's duration; before the stream
    // has a position, what the output asks, else the input's own length).
    void process(pw_buffer* in, pw_buffer* out, pw_buffer* heard) noexcept CORVANE_LIVE_NONBLOCKING;

    bool stopped() const { return options.stop != nullptr && options.stop->load(std::memory_order_relaxed); }

    // [main-thread, loop locked] Lets the loop run for at most a tenth of a
    // second, or until it signals.
    void waitAWhile();

    // [main-thread, loop locked] Waits until the server has answered
    // everything asked so far: false when it did not within `patience`,
    // sent an error meanwhile or `stop` was set.
    bool roundtrip(std::chrono::milliseconds patience = std::chrono::seconds(5));

    // A node's ports one way; its monitor ports only where it has no
    // others (a virtual source's outputs are monitor ports).
    std::vector<PortInfo> portsOf(std::uint32_t node, bool output) const;

    // The node `wanted` names among those of `kind` ("source" or "sink").
    NodeInfo findNode(const std::string& wanted, bool sourceKind, const std::string& defaultName) const;

    void tearDown();
};

// The core's and the registry's event tables (VirtualMicGraph.cpp).
extern const pw_core_events kVirtualMicCoreEvents;
extern const pw_registry_events kVirtualMicRegistryEvents;

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

}  // namespace corvane::tool
