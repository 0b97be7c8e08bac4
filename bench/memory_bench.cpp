// memory_bench.cpp - the engine's memory. Every measurement runs in a child
// process of its own (fork), so what one bring-up took cannot hide in the
// heap another left behind:
//   BM_BringUpMemory/bundled        bring-up on voices/;
//   BM_BringUpMemory/generated:1000 bring-up on 100 generated packages of 10
//                                   voices each;
//   BM_VoiceMemory/<voice>          one bundled voice loaded and run for a
//                                   second, over the bring-up before it.
// Counters, each a delta over the child's own baseline taken just before:
// rss_kib (VmRSS, KiB), anon_kib (RssAnon: the part not backed by files, so
// without the library code and data pages touched for the first time) and
// heap_kib (bytes in use on the C heap, KiB).
#include <benchmark/benchmark.h>

#include <corvane/Corvane.h>
#include <corvane/voicemod/VoicemodExtension.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "GlueRig.h"

namespace {

using corvane::extensions::voicemod::VoicemodExtension;

struct Sample {
    long rssKiB = 0;
    long anonKiB = 0;
    long long heapBytes = 0;
};

// Runs `work` in a child process; `work` fills the sample. False when the
// child failed.
bool inChild(const std::function<bool(Sample&)>& work, Sample& out) {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        Sample sample;
        bool ok = false;
        try {
            ok = work(sample);
        } catch (...) {
            ok = false;
        }
        corvane::Corvane::shutdown();
        const ssize_t written = ok ? write(fds[1], &sample, sizeof sample) : 0;
        _exit(written == static_cast<ssize_t>(sizeof sample) ? 0 : 1);
    }
    close(fds[1]);
    Sample sample;
    const ssize_t got = read(fds[0], &sample, sizeof sample);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != static_cast<ssize_t>(sizeof sample) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    out = sample;
    return true;
}

void report(benchmark::State& state, const std::vector<Sample>& samples) {
    double rss = 0.0, anon = 0.0, heap = 0.0;
    for (const Sample& s : samples) {
        rss += static_cast<double>(s.rssKiB);
        anon += static_cast<double>(s.anonKiB);
        heap += static_cast<double>(s.heapBytes) / 1024.0;
    }
    state.counters["rss_kib"] = rss / static_cast<double>(samples.size());
    state.counters["anon_kib"] = anon / static_cast<double>(samples.size());
    state.counters["heap_kib"] = heap / static_cast<double>(samples.size());
}

void runBringUp(benchmark::State& state, const std::string& dir, std::size_t expectedVoices) {
    std::vector<Sample> samples;
    for (auto _ : state) {
        Sample sample;
        const bool ok = inChild(
            [&](Sample& s) {
                const long rss0 = benchsupport::residentKiB();
                const long anon0 = benchsupport::anonymousResidentKiB();
                const long long heap0 = benchsupport::heapBytesInUse();
                benchsupport::bringUp(dir);
                s.rssKiB = benchsupport::residentKiB() - rss0;
                s.anonKiB = benchsupport::anonymousResidentKiB() - anon0;
                s.heapBytes = benchsupport::heapBytesInUse() - heap0;
                return expectedVoices == 0 || VoicemodExtension::listVoices().size() == expectedVoices;
            },
            sample);
        if (!ok) {
            state.SkipWithError("the measuring child failed");
            return;
        }
        samples.push_back(sample);
    }
    report(state, samples);
}

void runVoice(benchmark::State& state, const std::string& voice) {
    std::vector<Sample> samples;
    for (auto _ : state) {
        Sample sample;
        const bool ok = inChild(
            [&](Sample& s) {
                benchsupport::bringUp(benchsupport::voicesDir());
                benchsupport::GlueRig rig(2, benchsupport::kBlockFrames);
                const long rss0 = benchsupport::residentKiB();
                const long anon0 = benchsupport::anonymousResidentKiB();
                const long long heap0 = benchsupport::heapBytesInUse();
                rig.voicemodNode().loadVoice(voice);
                bool processed = true;
                for (int i = 0; i < 200; ++i) processed &= rig.node();
                s.rssKiB = benchsupport::residentKiB() - rss0;
                s.anonKiB = benchsupport::anonymousResidentKiB() - anon0;
                s.heapBytes = benchsupport::heapBytesInUse() - heap0;
                return processed;
            },
            sample);
        if (!ok) {
            state.SkipWithError("the measuring child failed");
            return;
        }
        samples.push_back(sample);
    }
    report(state, samples);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchsupport::discardLogs();
    // The bundled voices, listed in a child so this process stays un-started.
    std::vector<std::string> voices;
    {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        const pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            int code = 0;
            try {
                benchsupport::bringUp(benchsupport::voicesDir());
                for (const std::string& v : VoicemodExtension::listVoices()) {
                    const std::string line = v + "\n";
                    if (write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) code = 1;
                }
            } catch (const std::exception& e) {
                std::fprintf(stderr, "memory_bench: bring-up failed: %s\n", e.what());
                code = 1;
            }
            corvane::Corvane::shutdown();
            _exit(code);
        }
        close(fds[1]);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
        close(fds[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
        for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
            voices.push_back(text.substr(start, end - start));
    }

    static benchsupport::TempDir generated("memory");
    benchsupport::writePackages(generated.path(), 100, 10, "Memory");
    const std::string generatedDir = generated.path().string();

    benchmark::RegisterBenchmark("BM_BringUpMemory/bundled", [n = voices.size()](benchmark::State& state) {
        runBringUp(state, benchsupport::voicesDir(), n);
    })->Iterations(1);
    benchmark::RegisterBenchmark("BM_BringUpMemory/generated:1000", [generatedDir](benchmark::State& state) {
        runBringUp(state, generatedDir, 1000);
    })->Iterations(1);
    for (const std::string& voice : voices) {
        benchmark::RegisterBenchmark(("BM_VoiceMemory/" + voice).c_str(),
                                     [voice](benchmark::State& state) { runVoice(state, voice); })
            ->Iterations(1);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
