// voices_bench.cpp - every bundled voice, in 256-frame blocks of 48 kHz
// stereo through VoicemodNode::process, with and without background sounds:
//   rt_factor          seconds of audio processed per second of CPU time;
//   worst_block_us     the slowest single block after warm-up (the "max"
//                      aggregate is the slowest over all repetitions);
//   worst_pct_deadline that block against its deadline (256 / 48000 s);
//   p999_block_us      the 99.9th percentile block, to tell one preempted
//                      block from a voice that is slow now and then;
//   heap_blocks        heap blocks taken by the timed process calls.
// The voices are the ones VoicemodExtension::listVoices gives after
// bringing up on voices/; "(no voice)" is the engine's dry path.
#include <benchmark/benchmark.h>

#include <corvane/voicemod/VoicemodExtension.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

void runVoice(benchmark::State& state, const std::string& voice, bool background) {
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
    std::vector<double> blockSeconds;
    blockSeconds.reserve(static_cast<std::size_t>(state.max_iterations));
    bool ok = true;
    heapCounterStart();
    for (auto _ : state) {
        const auto start = Clock::now();
        ok &= rig.node();
        const auto stop = Clock::now();
        blockSeconds.push_back(std::chrono::duration<double>(stop - start).count());
    }
    const long heapBlocks = heapCounterStop();
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }
    std::sort(blockSeconds.begin(), blockSeconds.end());
    const double worst = blockSeconds.empty() ? 0.0 : blockSeconds.back();
    const double p999 =
        blockSeconds.empty() ? 0.0 : blockSeconds[static_cast<std::size_t>(0.999 * (blockSeconds.size() - 1))];
    state.counters["rt_factor"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlockSeconds, benchmark::Counter::kIsRate);
    state.counters["worst_block_us"] = worst * 1e6;
    state.counters["worst_pct_deadline"] = worst / kBlockSeconds * 100.0;
    state.counters["p999_block_us"] = p999 * 1e6;
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
