// LiveBlock.h - the work of one audio callback of 'corvane-voicemod live':
// a device's input buffers through the host graph (and so through the
// VoicemodNode) into a device's output buffers, with the figures the status
// line and the summary show. It knows nothing of PortAudio, so it can be run
// and watched without a sound device.
#pragma once

#include <corvane/AudioGraph.h>
#include <corvane/AudioProcessorNode.h>

#include <atomic>
#include <cstdint>
#include <vector>

// Built with -fsanitize=realtime, the callback's work is declared
// non-blocking, so RealtimeSanitizer stops the program at any allocation,
// lock or system call made under it.
#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define CORVANE_LIVE_RTSAN 1
#endif
#endif
#if defined(CORVANE_LIVE_EXPECT_RTSAN) && !defined(CORVANE_LIVE_RTSAN)
#error "the build asks for RealtimeSanitizer, but the compiler does not provide it"
#endif
#ifdef CORVANE_LIVE_RTSAN
#define CORVANE_LIVE_NONBLOCKING [[clang::nonblocking]]
#else
#define CORVANE_LIVE_NONBLOCKING
#endif

namespace corvane::tool {

// What the callbacks have done so far.
struct LiveFigures {
    std::uint64_t callbacks = 0;
    std::uint64_t frames = 0;
    std::uint64_t xruns = 0;         // callbacks the device flagged with an over- or underflow
    std::uint64_t late = 0;          // callbacks whose work took longer than their block lasts
    std::uint64_t overTenth = 0;     // callbacks whose work took over 10 % of that
    std::uint64_t failedBlocks = 0;  // blocks the graph could not process (output silenced)
    // The worst callback is the one whose work took the largest share of
    // its own deadline (the time its frames last), the deadline "late" is
    // judged by too: a late callback makes the worst share over 100 %.
    double worstSeconds = 0.0;       // the work of the worst callback
    std::uint64_t worstCallback = 0; // which callback that was, counted from 1
    double deadlineSeconds = 0.0;    // its deadline (before any callback: one block's)

    // Only with measureThreadCosts(true): what the slowest callback cost its
    // thread, which tells its own work apart from page faults and from time
    // the thread was not running at all (wall time well over CPU time).
    bool threadCosts = false;
    double worstCpuSeconds = 0.0;        // the thread's CPU time in the slowest callback
    std::uint64_t worstPageFaults = 0;   // page faults (minor and major) in it
    std::uint64_t worstMajorFaults = 0;  // of those, faults that read from disk
    std::uint64_t worstPreemptions = 0;  // involuntary context switches in it
    double mostCpuSeconds = 0.0;         // the largest CPU time of any one callback
    std::uint64_t faultedCallbacks = 0;  // callbacks with any page fault
    std::uint64_t preemptedCallbacks = 0;  // callbacks with an involuntary context switch
    double longestGapSeconds = 0.0;        // longest time from one callback's start to the next's
    std::uint64_t longestGapCallback = 0;  // the callback that came after it
    float inputPeak = 0.0f;          // largest sample magnitude since the last takeMeters()
    float outputPeak = 0.0f;

    double worstPercent() const { return deadlineSeconds > 0.0 ? 100.0 * worstSeconds / deadlineSeconds : 0.0; }
};

class LiveBlock {
public:
    // [main-thread] Builds the graph device input -> `node` -> device output
    // and configures it: the node's setBusFormat is called here, with
    // `inputChannels` at `sampleRate`, and every buffer is allocated. Throws
    // ToolError when the node refuses the format (the voice changer does not
    // take every rate). `node` must outlive this object.
    LiveBlock(AudioProcessorNode& node, std::uint32_t inputChannels, std::uint32_t outputChannels,
              std::uint32_t sampleRate, std::uint32_t framesPerBlock);
    // The same with `before` (a noise gate, a suppressor) between the
    // device input and `node`, in that order; they too must outlive this.
    LiveBlock(const std::vector<AudioProcessorNode*>& before, AudioProcessorNode& node, std::uint32_t inputChannels,
              std::uint32_t outputChannels, std::uint32_t sampleRate, std::uint32_t framesPerBlock);
    ~LiveBlock();
    LiveBlock(const LiveBlock&) = delete;
    LiveBlock& operator=(const LiveBlock&) = delete;

    // [audio-thread] One device callback: `input` holds inputChannels
    // non-interleaved buffers of `frames` samples (or is null: silence),
    // `output` outputChannels such buffers, all filled here. A mono voice
    // output feeds every output channel; extra input channels beyond the
    // output's are dropped. `xrun` is the device's report of a dropped or
    // late buffer. Blocks longer than framesPerBlock go through in pieces.
    // Allocates nothing, takes no lock, makes no system call, logs nothing.
    void process(const float* const* input, float* const* output, unsigned long frames,
                 bool xrun) noexcept CORVANE_LIVE_NONBLOCKING;

    // [main-thread] Before the stream starts: every callback then also reads
    // its thread's CPU time, page faults and context switches. Those are
    // system calls in the callback (a few microseconds), so this is for
    // measuring only and off by default. Returns false, and stays off, where
    // the system has no per-thread figures (only Linux has).
    bool measureThreadCosts(bool on) noexcept;

    // [any-thread] The figures so far; the meters' peaks are those since the
    // previous call, which starts them again.
    LiveFigures takeFigures() noexcept;

    std::uint32_t inputChannels() const noexcept { return inputChannels_; }
    std::uint32_t outputChannels() const noexcept { return outputChannels_; }
    std::uint32_t sampleRate() const noexcept { return sampleRate_; }
    std::uint32_t framesPerBlock() const noexcept { return framesPerBlock_; }

private:
    // The graph's source: reads the callback's input buffers.
    class DeviceInput : public AudioSource {
    public:
        explicit DeviceInput(LiveBlock& owner) : owner_(owner) {}
        AudioBusFormat getFormat() const override;
        std::uint32_t read(AudioBuffer<float>& block) override;

    private:
        LiveBlock& owner_;
    };
    // The graph's sink: writes the callback's output buffers.
    class DeviceOutput : public AudioSink {
    public:
        explicit DeviceOutput(LiveBlock& owner) : owner_(owner) {}
        bool write(const AudioBuffer<float>& block) override;

    private:
        LiveBlock& owner_;
    };

    void silenceOutput(std::uint32_t frames) noexcept;

    // The thread's running totals, read before and after a callback's work.
    struct ThreadCosts {
        std::uint64_t cpuNanoseconds = 0;
        std::uint64_t minorFaults = 0;
        std::uint64_t majorFaults = 0;
        std::uint64_t preemptions = 0;
    };
    static ThreadCosts threadCosts() noexcept;
    void record(std::uint64_t took, std::uint64_t deadline, std::uint64_t index, std::int64_t startNanoseconds,
                const ThreadCosts* before) noexcept;

    const std::uint32_t inputChannels_;
    const std::uint32_t outputChannels_;
    const std::uint32_t sampleRate_;
    const std::uint32_t framesPerBlock_;
    DeviceInput source_;
    DeviceOutput sink_;
    AudioGraph graph_;

    // The callback's buffers, set for the length of one process() call.
    const float* const* input_ = nullptr;
    float* const* output_ = nullptr;
    std::uint32_t offset_ = 0;  // frames of this callback already through the graph
    std::uint32_t pending_ = 0; // frames of this callback the next graph block takes

    std::atomic<std::uint64_t> callbacks_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> xruns_{0};
    std::atomic<std::uint64_t> late_{0};
    std::atomic<std::uint64_t> overTenth_{0};
    std::atomic<std::uint64_t> failedBlocks_{0};
    std::atomic<std::uint64_t> worstNanoseconds_{0};
    std::atomic<std::uint64_t> worstDeadlineNanoseconds_{0};
    std::atomic<std::uint64_t> worstCallback_{0};
    bool measureThreadCosts_ = false;
    std::atomic<std::uint64_t> worstCpuNanoseconds_{0};
    std::atomic<std::uint64_t> worstPageFaults_{0};
    std::atomic<std::uint64_t> worstMajorFaults_{0};
    std::atomic<std::uint64_t> worstPreemptions_{0};
    std::atomic<std::uint64_t> mostCpuNanoseconds_{0};
    std::atomic<std::uint64_t> faultedCallbacks_{0};
    std::atomic<std::uint64_t> preemptedCallbacks_{0};
    std::int64_t previousStart_ = 0;  // steady clock, ns; the audio thread's own
    std::atomic<std::uint64_t> longestGapNanoseconds_{0};
    std::atomic<std::uint64_t> longestGapCallback_{0};
    std::atomic<float> inputPeak_{0.0f};
    std::atomic<float> outputPeak_{0.0f};
    static_assert(std::atomic<float>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free,
                  "the callback's figures must be lock-free");
};

}  // namespace corvane::tool
