// voices_bench.cpp - every bundled voice, in 256-frame blocks of 48 kHz
// stereo through VoicemodNode::process, with and without background sounds:
//   rt_factor          seconds of audio processed per second of CPU time,
//                      over the benchmark's own loop;
//   worst_block_us     the slowest single block of a separate deadline run
//                      of 2000 blocks, each timed by the wall clock, after
//                      warm-up (the "max" aggregate: slowest of all runs);
//   worst_pct_deadline that block against its deadline (256 / 48000 s);
//   p999_block_us      the 99.9th percentile block of that run;
//   heap_blocks        heap blocks taken by all process calls after warm-up;
//   realtime           1 when the deadline run was at SCHED_FIFO priority,
//                      as an audio thread runs (CORVANE_BENCH_REALTIME=1
//                      asks for it; it needs the right to).
// The voices are the ones VoicemodExtension::listVoices gives after
// bringing up on voices/; "(no voice)" is the engine's dry path, from a
// fresh bring-up so no voice of an earlier run is still loaded.
#include <benchmark/benchmark.h>

#include <corvane/voicemod/VoicemodExtension.h>

#include <VoicemodUSDKExtras.h>

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GlueRig.h"
#include "HeapCounter.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::extensions::voicemod::VoicemodExtension;

// About one second of audio before any block is timed: the voice's
// crossfade in, its delay lines filling and the caches settling.
constexpr int kWarmUpBlocks = 200;
constexpr double kBlockSeconds = benchsupport::kBlockFrames / benchsupport::kSampleRate;
// Blocks of the deadline run: about 10.7 s of audio.
constexpr std::size_t kDeadlineBlocks = 2000;

// Raises the calling thread to SCHED_FIFO for its lifetime when
// CORVANE_BENCH_REALTIME=1; gives the old policy back on destruction.
class RealtimeScope {
public:
    RealtimeScope() {
        const char* want = std::getenv("CORVANE_BENCH_REALTIME");
        if (want == nullptr || std::strcmp(want, "1") != 0) return;
        pthread_getschedparam(pthread_self(), &oldPolicy_, &oldParam_);
        sched_param param{};
        param.sched_priority = 50;
        active_ = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    }
    ~RealtimeScope() {
        if (active_) pthread_setschedparam(pthread_self(), oldPolicy_, &oldParam_);
    }
    RealtimeScope(const RealtimeScope&) = delete;
    RealtimeScope& operator=(const RealtimeScope&) = delete;
    bool active() const noexcept { return active_; }

private:
    bool active_ = false;
    int oldPolicy_ = SCHED_OTHER;
    sched_param oldParam_{};
};

void runVoice(benchmark::State& state, const std::string& voice, bool background) {
    if (voice.empty()) {
        try {
            vcmdResetForTesting();
            benchsupport::bringUp(benchsupport::voicesDir());
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
    }
    benchsupport::GlueRig rig(2, benchsupport::kBlockFrames);
    auto& node = rig.voicemodNode();
    try {
        node.setBypassEnabled(false);
        node.setMuteEnabled(false);
        node.setBackgroundSoundsEnabled(background);
        if (!voice.empty()) node.loadVoice(voice);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    for (int i = 0; i < kWarmUpBlocks; ++i) {
        if (!rig.node()) {
            state.SkipWithError("the voice changer refused a block");
            return;
        }
    }
    // Throughput: the benchmark's own loop, at normal priority.
    bool ok = true;
    heapCounterStart();
    for (auto _ : state) {
        ok &= rig.node();
    }
    long heapBlocks = heapCounterStop();
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }

    // Deadline: a run of its own after the timed loop (so outside its time),
    // every block timed, at SCHED_FIFO when allowed. Short (kDeadlineBlocks
    // blocks, tens of ms of CPU), so the kernel's real-time throttling
    // (950 ms per second) never steps in.
    std::vector<double> blockSeconds(kDeadlineBlocks);
    bool realtime = false;
    {
        RealtimeScope scope;
        realtime = scope.active();
        heapCounterStart();
        for (double& seconds : blockSeconds) {
            const auto start = Clock::now();
            ok &= rig.node();
            const auto stop = Clock::now();
            seconds = std::chrono::duration<double>(stop - start).count();
        }
        heapBlocks += heapCounterStop();
    }
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }
    std::sort(blockSeconds.begin(), blockSeconds.end());
    const double worst = blockSeconds.back();
    const double p999 = blockSeconds[static_cast<std::size_t>(0.999 * static_cast<double>(blockSeconds.size() - 1))];
    state.counters["rt_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
    state.counters["worst_block_us"] = worst * 1e6;
    state.counters["worst_pct_deadline"] = worst / kBlockSeconds * 100.0;
    state.counters["p999_block_us"] = p999 * 1e6;
    state.counters["realtime"] = realtime ? 1.0 : 0.0;
    state.counters["heap_blocks"] = static_cast<double>(heapBlocks);
    state.counters["background"] = background ? 1.0 : 0.0;
}

double maxOf(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); }

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    std::vector<std::string> voices;
    try {
        benchsupport::bringUp(benchsupport::voicesDir());
        voices = VoicemodExtension::listVoices();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "voices_bench: bring-up failed: %s\n", e.what());
        return 1;
    }
    voices.insert(voices.begin(), std::string());
    for (const std::string& voice : voices) {
        for (bool background : {false, true}) {
            const std::string name =
                "BM_Voice/" + (voice.empty() ? std::string("(no voice)") : voice) + (background ? "/bg:1" : "/bg:0");
            benchmark::RegisterBenchmark(name.c_str(), [voice, background](benchmark::State& state) {
                runVoice(state, voice, background);
            })
                ->Unit(benchmark::kMicrosecond)
                ->ComputeStatistics("max", maxOf);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
