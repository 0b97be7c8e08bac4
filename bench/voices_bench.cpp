// voices_bench.cpp - every bundled voice, in 256-frame blocks of 48 kHz
// stereo through VoicemodNode::process, with and without background sounds.
//
// BM_Voice/<voice>/bg:N - throughput, the benchmark's own loop:
//   rt_factor    seconds of audio processed per second of CPU time;
//   heap_blocks  heap blocks taken by the timed process calls.
//
// BM_Deadline/<voice>/bg:N - one measurement per repetition: kRuns
// identical runs of kDeadlineBlocks blocks, each from a freshly loaded
// voice after warm-up, every block timed by the wall clock, at SCHED_FIFO
// priority like an audio thread (CORVANE_BENCH_REALTIME=1 asks for it; it
// needs the right to). The engine is deterministic, so block i does the same
// work in every run:
//   worst_block_us            slowest block of all runs (what a listener on
//                             this machine would have had to wait for);
//   repeatable_worst_block_us slowest block counting each block index at its
//                             fastest over the runs: a block slow in every
//                             run is the voice's own work, one slow in a
//                             single run was something else on the machine;
//   *_pct_deadline            the same against the block's 5.33 ms deadline;
//   p999_block_us             99.9th percentile block of all runs;
//   realtime                  1 when the runs were at SCHED_FIFO;
//   switches                  times the thread was switched out against its
//                             will during the timed blocks (all runs);
//   heap_blocks               heap blocks taken by the timed blocks.
// The "max" aggregate of each is the largest over the repetitions.
//
// The voices are the ones VoicemodExtension::listVoices gives after
// bringing up on voices/; "(no voice)" is the engine's dry path, from a
// fresh bring-up so no voice of an earlier run is still loaded.
#include <benchmark/benchmark.h>

#include <corvane/voicemod/VoicemodExtension.h>

#include <VoicemodUSDKExtras.h>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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
// Each deadline run: about 10.7 s of audio, tens of ms of CPU, so the
// kernel's real-time throttling (950 ms per second) never steps in.
constexpr std::size_t kDeadlineBlocks = 2000;
constexpr int kRuns = 3;

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

// A stereo rig with `voice` (empty: none, from a fresh bring-up) loaded and
// warmed up; null after SkipWithError.
std::unique_ptr<benchsupport::GlueRig> prepare(benchmark::State& state, const std::string& voice, bool background) {
    try {
        if (voice.empty()) {
            vcmdResetForTesting();
            benchsupport::bringUp(benchsupport::voicesDir());
        }
        auto rig = std::make_unique<benchsupport::GlueRig>(2, benchsupport::kBlockFrames);
        auto& node = rig->voicemodNode();
        node.setBypassEnabled(false);
        node.setMuteEnabled(false);
        node.setBackgroundSoundsEnabled(background);
        if (!voice.empty()) node.loadVoice(voice);
        for (int i = 0; i < kWarmUpBlocks; ++i) {
            if (!rig->node()) {
                state.SkipWithError("the voice changer refused a block");
                return nullptr;
            }
        }
        return rig;
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return nullptr;
    }
}

void runVoice(benchmark::State& state, const std::string& voice, bool background) {
    auto rig = prepare(state, voice, background);
    if (!rig) return;
    bool ok = true;
    heapCounterStart();
    for (auto _ : state) {
        ok &= rig->node();
    }
    const long heapBlocks = heapCounterStop();
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }
    state.counters["rt_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
    state.counters["heap_blocks"] = static_cast<double>(heapBlocks);
}

long involuntarySwitches() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nivcsw;
}

void runDeadline(benchmark::State& state, const std::string& voice, bool background) {
    std::vector<double> seconds(kRuns * kDeadlineBlocks);
    bool ok = true;
    bool realtime = true;
    long heapBlocks = 0;
    long switches = 0;
    for (auto _ : state) {
        for (int run = 0; run < kRuns && ok; ++run) {
            // A fresh chain each run, so every run starts from the same state.
            auto rig = prepare(state, voice, background);
            if (!rig) return;
            double* times = seconds.data() + static_cast<std::size_t>(run) * kDeadlineBlocks;
            RealtimeScope scope;
            realtime &= scope.active();
            const long switches0 = involuntarySwitches();
            heapCounterStart();
            for (std::size_t i = 0; i < kDeadlineBlocks; ++i) {
                const auto start = Clock::now();
                ok &= rig->node();
                const auto stop = Clock::now();
                times[i] = std::chrono::duration<double>(stop - start).count();
            }
            heapBlocks += heapCounterStop();
            switches += involuntarySwitches() - switches0;
        }
    }
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }
    double repeatable = 0.0;
    for (std::size_t i = 0; i < kDeadlineBlocks; ++i) {
        double fastest = seconds[i];
        for (int run = 1; run < kRuns; ++run) fastest = std::min(fastest, seconds[run * kDeadlineBlocks + i]);
        repeatable = std::max(repeatable, fastest);
    }
    std::sort(seconds.begin(), seconds.end());
    const double worst = seconds.back();
    const double p999 = seconds[static_cast<std::size_t>(0.999 * static_cast<double>(seconds.size() - 1))];
    state.counters["worst_block_us"] = worst * 1e6;
    state.counters["worst_pct_deadline"] = worst / kBlockSeconds * 100.0;
    state.counters["repeatable_worst_block_us"] = repeatable * 1e6;
    state.counters["repeatable_worst_pct_deadline"] = repeatable / kBlockSeconds * 100.0;
    state.counters["p999_block_us"] = p999 * 1e6;
    state.counters["realtime"] = realtime ? 1.0 : 0.0;
    state.counters["heap_blocks"] = static_cast<double>(heapBlocks);
    state.counters["switches"] = static_cast<double>(switches);
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
            const std::string tail =
                "/" + (voice.empty() ? std::string("(no voice)") : voice) + (background ? "/bg:1" : "/bg:0");
            benchmark::RegisterBenchmark(("BM_Voice" + tail).c_str(), [voice, background](benchmark::State& state) {
                runVoice(state, voice, background);
            })
                ->Unit(benchmark::kMicrosecond)
                ->ComputeStatistics("max", maxOf);
            benchmark::RegisterBenchmark(("BM_Deadline" + tail).c_str(),
                                         [voice, background](benchmark::State& state) {
                                             runDeadline(state, voice, background);
                                         })
                ->Iterations(1)
                ->Unit(benchmark::kMillisecond)
                ->ComputeStatistics("max", maxOf);
        }
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
