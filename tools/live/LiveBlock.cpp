#include "live/LiveBlock.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <string>

#if defined(__linux__)
#include <sys/resource.h>
#include <time.h>
#endif

#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

float peakOf(const float* samples, std::uint32_t frames) noexcept {
    float peak = 0.0f;
    for (std::uint32_t i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(samples[i]));
    return peak;
}

// Raises a meter to `peak`. Only the audio thread raises it and only the
// reader resets it, so a reset landing between the load and the store just
// shows this block's peak once more.
void raise(std::atomic<float>& meter, float peak) noexcept {
    if (peak > meter.load(std::memory_order_relaxed)) meter.store(peak, std::memory_order_relaxed);
}

}  // namespace

AudioBusFormat LiveBlock::DeviceInput::getFormat() const {
    AudioBusFormat format;
    format.sampleRate = owner_.sampleRate_;
    format.numberOfChannels = owner_.inputChannels_;
    return format;
}

std::uint32_t LiveBlock::DeviceInput::read(AudioBuffer<float>& block) {
    const std::uint32_t frames = std::min(owner_.pending_, block.getNumberOfFrames());
    float peak = 0.0f;
    for (std::uint32_t c = 0; c < block.getNumberOfChannels(); ++c) {
        float* to = block.getWritePointer(c);
        if (owner_.input_ == nullptr || owner_.input_[c] == nullptr) {
            std::fill_n(to, frames, 0.0f);
            continue;
        }
        const float* from = owner_.input_[c] + owner_.offset_;
        std::copy_n(from, frames, to);
        peak = std::max(peak, peakOf(from, frames));
    }
    raise(owner_.inputPeak_, peak);
    return frames;
}

bool LiveBlock::DeviceOutput::write(const AudioBuffer<float>& block) {
    const std::uint32_t frames = block.getNumberOfFrames();
    const std::uint32_t channels = block.getNumberOfChannels();
    float peak = 0.0f;
    for (std::uint32_t c = 0; c < owner_.outputChannels_; ++c) {
        float* to = owner_.output_[c] + owner_.offset_;
        if (channels == 0) {
            std::fill_n(to, frames, 0.0f);
            continue;
        }
        // Mono reaches every speaker; a stereo voice goes left and right.
        const float* from = block.getReadPointer(std::min(c, channels - 1));
        std::copy_n(from, frames, to);
        peak = std::max(peak, peakOf(from, frames));
    }
    raise(owner_.outputPeak_, peak);
    return true;
}

LiveBlock::LiveBlock(AudioProcessorNode& node, std::uint32_t inputChannels, std::uint32_t outputChannels,
                     std::uint32_t sampleRate, std::uint32_t framesPerBlock)
    : LiveBlock({}, node, inputChannels, outputChannels, sampleRate, framesPerBlock) {}

LiveBlock::LiveBlock(const std::vector<AudioProcessorNode*>& before, AudioProcessorNode& node,
                     std::uint32_t inputChannels, std::uint32_t outputChannels, std::uint32_t sampleRate,
                     std::uint32_t framesPerBlock)
    : inputChannels_(inputChannels),
      outputChannels_(outputChannels),
      sampleRate_(sampleRate),
      framesPerBlock_(framesPerBlock),
      source_(*this),
      sink_(*this),
      graph_(source_, sink_) {
    for (AudioProcessorNode* first : before) graph_.addNode(first);
    graph_.addNode(&node);
    const Result<void> configured = graph_.configure(framesPerBlock);
    if (configured.isError()) {
        // The error code is the index of the node that refused the format.
        const int voiceIndex = static_cast<int>(before.size());
        if (configured.error().getCode() == voiceIndex)
            throw ToolError("the voice changer does not take " + std::to_string(sampleRate) + " Hz, " +
                            std::to_string(inputChannels) + " channel(s) in blocks of " +
                            std::to_string(framesPerBlock) + " frames");
        if (configured.error().getCode() >= 0 && configured.error().getCode() < voiceIndex)
            throw ToolError(before[static_cast<std::size_t>(configured.error().getCode())]->getDisplayName() +
                            " does not take " + std::to_string(sampleRate) + " Hz, " + std::to_string(inputChannels) +
                            " channel(s) in blocks of " + std::to_string(framesPerBlock) + " frames");
        throw ToolError(configured.error().getMessage());
    }
}

LiveBlock::~LiveBlock() = default;

void LiveBlock::silenceOutput(std::uint32_t frames) noexcept {
    for (std::uint32_t c = 0; c < outputChannels_; ++c) std::fill_n(output_[c] + offset_, frames, 0.0f);
}

bool LiveBlock::measureThreadCosts(bool on) noexcept {
#if defined(__linux__)
    measureThreadCosts_ = on;
#else
    measureThreadCosts_ = false;
#endif
    return measureThreadCosts_ == on;
}

LiveBlock::ThreadCosts LiveBlock::threadCosts() noexcept {
    ThreadCosts costs;
#if defined(__linux__)
    timespec cpu{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu) == 0)
        costs.cpuNanoseconds =
            static_cast<std::uint64_t>(cpu.tv_sec) * 1000000000u + static_cast<std::uint64_t>(cpu.tv_nsec);
    rusage usage{};
    if (getrusage(RUSAGE_THREAD, &usage) == 0) {
        costs.minorFaults = static_cast<std::uint64_t>(usage.ru_minflt);
        costs.majorFaults = static_cast<std::uint64_t>(usage.ru_majflt);
        costs.preemptions = static_cast<std::uint64_t>(usage.ru_nivcsw);
    }
#endif
    return costs;
}

void LiveBlock::process(const float* const* input, float* const* output, unsigned long frames,
                        bool xrun) noexcept {
    using Clock = std::chrono::steady_clock;
    // Read on either side of the timed span, so the CPU time covers it.
    ThreadCosts before;
    if (measureThreadCosts_) before = threadCosts();
    const Clock::time_point started = Clock::now();

    input_ = input;
    output_ = output;
    const auto total = static_cast<std::uint32_t>(frames);
    for (offset_ = 0; offset_ < total; offset_ += pending_) {
        pending_ = std::min(framesPerBlock_, total - offset_);
        if (graph_.processBlock() != AudioGraph::BlockStatus::Processed) {
            silenceOutput(pending_);
            failedBlocks_.fetch_add(1, std::memory_order_relaxed);
        }
    }
    input_ = nullptr;
    output_ = nullptr;

    if (xrun) xruns_.fetch_add(1, std::memory_order_relaxed);
    const auto took = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count());
    const double deadlineNanoseconds = 1e9 * static_cast<double>(total) / sampleRate_;
    if (static_cast<double>(took) > deadlineNanoseconds) late_.fetch_add(1, std::memory_order_relaxed);
    if (static_cast<double>(took) > 0.1 * deadlineNanoseconds) overTenth_.fetch_add(1, std::memory_order_relaxed);
    // Only this thread writes the count, so it is this callback's number.
    const std::uint64_t index = callbacks_.load(std::memory_order_relaxed) + 1;
    record(took, static_cast<std::uint64_t>(deadlineNanoseconds), index,
           std::chrono::duration_cast<std::chrono::nanoseconds>(started.time_since_epoch()).count(),
           measureThreadCosts_ ? &before : nullptr);
    frames_.fetch_add(total, std::memory_order_relaxed);
    callbacks_.fetch_add(1, std::memory_order_release);
}

void LiveBlock::record(std::uint64_t took, std::uint64_t deadline, std::uint64_t index,
                       std::int64_t startNanoseconds, const ThreadCosts* before) noexcept {
    // took / deadline > worst / worstDeadline, without dividing.
    const std::uint64_t worstDeadline = worstDeadlineNanoseconds_.load(std::memory_order_relaxed);
    const bool worst = worstDeadline == 0 ||
                       static_cast<double>(took) * static_cast<double>(worstDeadline) >
                           static_cast<double>(worstNanoseconds_.load(std::memory_order_relaxed)) *
                               static_cast<double>(deadline);
    if (worst && deadline > 0) {
        worstNanoseconds_.store(took, std::memory_order_relaxed);
        worstDeadlineNanoseconds_.store(deadline, std::memory_order_relaxed);
        worstCallback_.store(index, std::memory_order_relaxed);
    }
    if (before == nullptr) return;
    // A callback that comes long after the one before was woken late, which
    // its own timing cannot show.
    if (index > 1) {
        const auto gap =
            static_cast<std::uint64_t>(std::max<std::int64_t>(startNanoseconds - previousStart_, 0));
        if (gap > longestGapNanoseconds_.load(std::memory_order_relaxed)) {
            longestGapNanoseconds_.store(gap, std::memory_order_relaxed);
            longestGapCallback_.store(index, std::memory_order_relaxed);
        }
    }
    previousStart_ = startNanoseconds;
    const ThreadCosts after = threadCosts();
    const std::uint64_t cpu = after.cpuNanoseconds - before->cpuNanoseconds;
    const std::uint64_t faults =
        (after.minorFaults - before->minorFaults) + (after.majorFaults - before->majorFaults);
    const std::uint64_t preemptions = after.preemptions - before->preemptions;
    if (cpu > mostCpuNanoseconds_.load(std::memory_order_relaxed))
        mostCpuNanoseconds_.store(cpu, std::memory_order_relaxed);
    if (faults > 0) faultedCallbacks_.fetch_add(1, std::memory_order_relaxed);
    if (preemptions > 0) preemptedCallbacks_.fetch_add(1, std::memory_order_relaxed);
    if (worst && deadline > 0) {
        worstCpuNanoseconds_.store(cpu, std::memory_order_relaxed);
        worstPageFaults_.store(faults, std::memory_order_relaxed);
        worstMajorFaults_.store(after.majorFaults - before->majorFaults, std::memory_order_relaxed);
        worstPreemptions_.store(preemptions, std::memory_order_relaxed);
    }
}

LiveFigures LiveBlock::takeFigures() noexcept {
    LiveFigures figures;
    figures.callbacks = callbacks_.load(std::memory_order_acquire);
    figures.frames = frames_.load(std::memory_order_relaxed);
    figures.xruns = xruns_.load(std::memory_order_relaxed);
    figures.late = late_.load(std::memory_order_relaxed);
    figures.overTenth = overTenth_.load(std::memory_order_relaxed);
    figures.failedBlocks = failedBlocks_.load(std::memory_order_relaxed);
    figures.worstSeconds = static_cast<double>(worstNanoseconds_.load(std::memory_order_relaxed)) * 1e-9;
    figures.worstCallback = worstCallback_.load(std::memory_order_relaxed);
    figures.threadCosts = measureThreadCosts_;
    figures.worstCpuSeconds =
        static_cast<double>(worstCpuNanoseconds_.load(std::memory_order_relaxed)) * 1e-9;
    figures.worstPageFaults = worstPageFaults_.load(std::memory_order_relaxed);
    figures.worstMajorFaults = worstMajorFaults_.load(std::memory_order_relaxed);
    figures.worstPreemptions = worstPreemptions_.load(std::memory_order_relaxed);
    figures.mostCpuSeconds = static_cast<double>(mostCpuNanoseconds_.load(std::memory_order_relaxed)) * 1e-9;
    figures.faultedCallbacks = faultedCallbacks_.load(std::memory_order_relaxed);
    figures.preemptedCallbacks = preemptedCallbacks_.load(std::memory_order_relaxed);
    figures.longestGapSeconds =
        static_cast<double>(longestGapNanoseconds_.load(std::memory_order_relaxed)) * 1e-9;
    figures.longestGapCallback = longestGapCallback_.load(std::memory_order_relaxed);
    const std::uint64_t worstDeadline = worstDeadlineNanoseconds_.load(std::memory_order_relaxed);
    figures.deadlineSeconds = worstDeadline > 0 ? static_cast<double>(worstDeadline) * 1e-9
                              : sampleRate_ > 0 ? static_cast<double>(framesPerBlock_) / sampleRate_
                                                : 0.0;
    figures.inputPeak = inputPeak_.exchange(0.0f, std::memory_order_relaxed);
    figures.outputPeak = outputPeak_.exchange(0.0f, std::memory_order_relaxed);
    return figures;
}

}  // namespace corvane::tool
