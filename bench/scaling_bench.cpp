// scaling_bench.cpp - bring-up and the catalogue as content grows.
//   BM_Initialize/packages:N   VoicemodExtension::initialize over a folder of
//                              N generated packages (one voice each), from a
//                              never-started engine every time
//                              (vcmdResetForTesting before each timed call);
//   BM_ListVoices/voices:N     VoicemodExtension::listVoices with N voices
//                              mounted (packages of 10 voices each).
// The per_item_us counters are the time per package and per voice;
// faults_per_call the minor page faults per call (memory the call had to
// get from the kernel again). The packages are generated into a temporary
// folder and removed at exit.
#include <benchmark/benchmark.h>

#include <corvane/Corvane.h>
#include <corvane/voicemod/VoicemodExtension.h>

#include <VoicemodUSDKExtras.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "BenchSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using corvane::extensions::voicemod::VoicemodExtension;

constexpr int kVoicesPerCataloguePackage = 10;

long minorFaults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

benchsupport::TempDir& root() {
    static benchsupport::TempDir dir("scaling");
    return dir;
}

// The folder holding `packages` packages of `voicesPerPackage` voices,
// written on first use.
std::string contentFolder(int packages, int voicesPerPackage) {
    static std::map<std::pair<int, int>, std::string> made;
    const auto key = std::make_pair(packages, voicesPerPackage);
    if (auto found = made.find(key); found != made.end()) return found->second;
    const auto dir = root().path() / ("p" + std::to_string(packages) + "x" + std::to_string(voicesPerPackage));
    benchsupport::writePackages(dir, packages, voicesPerPackage, "Scale");
    return made.emplace(key, dir.string()).first->second;
}

void BM_Initialize(benchmark::State& state) {
    const int packages = static_cast<int>(state.range(0));
    const std::string dir = contentFolder(packages, 1);
    double seconds = 0.0;
    long faults = 0;
    for (auto _ : state) {
        vcmdResetForTesting();
        const long faults0 = minorFaults();
        const auto start = Clock::now();
        try {
            VoicemodExtension::initialize("bench-key", "bench-secret", dir.c_str());
        } catch (const std::exception& e) {
            state.SkipWithError(e.what());
            return;
        }
        const auto stop = Clock::now();
        faults += minorFaults() - faults0;
        const double s = std::chrono::duration<double>(stop - start).count();
        seconds += s;
        state.SetIterationTime(s);
    }
    if (VoicemodExtension::listVoices().size() != static_cast<std::size_t>(packages)) {
        state.SkipWithError("bring-up did not mount every package");
        return;
    }
    state.counters["items"] = packages;
    state.counters["per_item_us"] = seconds / static_cast<double>(state.iterations()) / packages * 1e6;
    state.counters["faults_per_call"] = static_cast<double>(faults) / static_cast<double>(state.iterations());
}

void BM_ListVoices(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    const int packages = (voices + kVoicesPerCataloguePackage - 1) / kVoicesPerCataloguePackage;
    const int perPackage = voices / packages;
    const std::string dir = contentFolder(packages, perPackage);
    try {
        vcmdResetForTesting();
        VoicemodExtension::initialize("bench-key", "bench-secret", dir.c_str());
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    std::size_t listed = 0;
    double seconds = 0.0;
    const long faults0 = minorFaults();
    for (auto _ : state) {
        const auto start = Clock::now();
        auto names = VoicemodExtension::listVoices();
        const auto stop = Clock::now();
        listed = names.size();
        benchmark::DoNotOptimize(names.data());
        const double s = std::chrono::duration<double>(stop - start).count();
        seconds += s;
        state.SetIterationTime(s);
    }
    const long faults = minorFaults() - faults0;
    if (listed != static_cast<std::size_t>(voices)) {
        state.SkipWithError("listVoices did not give every voice");
        return;
    }
    state.counters["items"] = voices;
    state.counters["per_item_us"] = seconds / static_cast<double>(state.iterations()) / voices * 1e6;
    state.counters["faults_per_call"] = static_cast<double>(faults) / static_cast<double>(state.iterations());
}

}  // namespace

BENCHMARK(BM_Initialize)
    ->ArgName("packages")
    ->Arg(1)
    ->Arg(10)
    ->Arg(100)
    ->Arg(1000)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ListVoices)
    ->ArgName("voices")
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    try {
        benchsupport::discardLogs();
        corvane::Corvane::initialize();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "scaling_bench: host set-up failed: %s\n", e.what());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vcmdResetForTesting();
    return 0;
}
