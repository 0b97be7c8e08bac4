// glue_bench.cpp - the glue's cost per block: VoicemodNode::process on a
// host bus against the floor (memcpy of the block + a direct call of the
// same voice-changer function), with no voice loaded so the engine takes its
// cheapest path and the glue is what differs.
//
// Each iteration runs a batch of node blocks and a batch of floor blocks
// back to back, the order alternating from one iteration to the next, and
// times each batch, so both are measured over the same stretch of time on
// the same buffers. Counters:
//   node_ns, floor_ns  per-block time of the fastest batch of each: on a
//                      shared machine the fastest batch is the one nothing
//                      else interrupted or slowed;
//   ratio              node_ns / floor_ns;
//   ratio_mean         total node time / total floor time (every batch).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "BenchSupport.h"
#include "GlueRig.h"

namespace {

using Clock = std::chrono::steady_clock;

void BM_Glue(benchmark::State& state) {
    const auto channels = static_cast<std::uint32_t>(state.range(0));
    const auto frames = static_cast<std::uint32_t>(state.range(1));
    benchsupport::GlueRig rig(channels, frames);
    // About 16 Ki samples per batch (tens of microseconds): short enough
    // that many batches run undisturbed, long enough that the two clock
    // reads per batch (tens of ns) stay far below the batch's own time.
    const long batch = std::max<long>(4, 16384 / static_cast<long>(frames * channels));
    for (int i = 0; i < 64; ++i) {
        if (!rig.node() || !rig.floor()) {
            state.SkipWithError("the voice changer refused a block");
            return;
        }
    }
    double nodeSeconds = 0.0;
    double floorSeconds = 0.0;
    double nodeFastest = 1e9;
    double floorFastest = 1e9;
    bool nodeFirst = true;
    bool ok = true;
    for (auto _ : state) {
        for (int half = 0; half < 2; ++half) {
            const bool runNode = (half == 0) == nodeFirst;
            const auto start = Clock::now();
            if (runNode) {
                for (long b = 0; b < batch; ++b) ok &= rig.node();
            } else {
                for (long b = 0; b < batch; ++b) ok &= rig.floor();
            }
            const auto stop = Clock::now();
            const double seconds = std::chrono::duration<double>(stop - start).count();
            (runNode ? nodeSeconds : floorSeconds) += seconds;
            double& fastest = runNode ? nodeFastest : floorFastest;
            fastest = std::min(fastest, seconds);
        }
        benchmark::ClobberMemory();
        nodeFirst = !nodeFirst;
    }
    if (!ok) {
        state.SkipWithError("the voice changer refused a block");
        return;
    }
    state.counters["node_ns"] = nodeFastest / static_cast<double>(batch) * 1e9;
    state.counters["floor_ns"] = floorFastest / static_cast<double>(batch) * 1e9;
    state.counters["ratio"] = nodeFastest / floorFastest;
    state.counters["ratio_mean"] = nodeSeconds / floorSeconds;
    state.counters["frames"] = frames;
    state.counters["channels"] = channels;
}

double minOf(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end()); }
double maxOf(const std::vector<double>& v) { return v.empty() ? 0.0 : *std::max_element(v.begin(), v.end()); }

}  // namespace

BENCHMARK(BM_Glue)
    ->ArgNames({"channels", "frames"})
    ->ArgsProduct({{1, 2}, {32, 128, 256, 1024, 4096}})
    ->ComputeStatistics("min", minOf)
    ->ComputeStatistics("max", maxOf)
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        benchsupport::bringUp(benchsupport::voicesDir());
    } catch (const std::exception& e) {
        std::fprintf(stderr, "glue_bench: bring-up failed: %s\n", e.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
