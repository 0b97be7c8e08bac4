// pitch_bench.cpp - our low-latency pitch shifter against SoundTouch, and
// with its formant stage (formants kept while the pitch moves) against
// Rubber Band's formant-preserving shifters (R3 "finer" and R2 "faster",
// real-time mode).
//
// Every case processes 48 kHz stereo in 256-frame blocks. Besides the time
// per block, each case reports:
//   realtime_x  seconds of audio processed per second of CPU (higher is faster)
//   latency_ms  delay between input and output
//   error_pct   error of a 220 Hz sine's shifted frequency against the ideal,
//               measured by zero crossings on the output
// Run all cases in one go so that the ratios come from the same machine
// state: ./pitch_bench --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "pitch/FormantShifter.h"
#include "pitch/PitchShifter.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"

#ifdef PITCH_BENCH_WITH_SOUNDTOUCH
#include <soundtouch/SoundTouch.h>
#endif
#ifdef PITCH_BENCH_WITH_RUBBERBAND
#include <rubberband/RubberBandStretcher.h>
#endif

namespace {

constexpr double kRate = 48000.0;
constexpr int kBlock = 256;
constexpr double kPi = 3.14159265358979323846;

std::vector<float> testSignal(std::size_t frames, double frequency) {
    std::vector<float> s(frames);
    for (std::size_t i = 0; i < frames; ++i)
        s[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * frequency * static_cast<double>(i) / kRate));
    return s;
}

// A voice-like signal for the timing: harmonics of a gliding 150 Hz.
std::vector<float> voiceSignal(std::size_t frames) {
    std::vector<float> s(frames);
    double phase = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        phase += 2.0 * kPi * (150.0 + 30.0 * std::sin(static_cast<double>(i) / 9000.0)) / kRate;
        double v = 0.0;
        for (int h = 1; h <= 8; ++h) v += std::sin(h * phase) / h;
        s[i] = static_cast<float>(0.3 * v);
    }
    return s;
}

double zeroCrossingFrequency(const std::vector<float>& s, std::size_t begin) {
    double first = -1.0, last = -1.0;
    int n = 0;
    for (std::size_t i = begin + 1; i < s.size(); ++i) {
        if (s[i - 1] < 0.0f && s[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + s[i - 1] / (s[i - 1] - s[i]);
            if (first < 0.0) first = t;
            last = t;
            ++n;
        }
    }
    return n < 2 ? 0.0 : (n - 1) * kRate / (last - first);
}

double errorPercent(const std::vector<float>& out, float semitones) {
    const double expected = 220.0 * std::pow(2.0, semitones / 12.0);
    return 100.0 * std::fabs(zeroCrossingFrequency(out, out.size() / 3) / expected - 1.0);
}

void report(benchmark::State& state, double latencyFrames, double error) {
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBlock);
    state.counters["realtime_x"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
    state.counters["latency_ms"] = 1000.0 * latencyFrames / kRate;
    state.counters["error_pct"] = error;
}

// --- ours -------------------------------------------------------------------------

double oursError(float semitones, bool highQuality) {
    vcmd::PitchShifter shifter;
    shifter.configure(kRate, highQuality);
    shifter.jumpSemitones(semitones);
    std::vector<float> s = testSignal(static_cast<std::size_t>(kRate * 2), 220.0), r = s;
    for (std::size_t i = 0; i + kBlock <= s.size(); i += kBlock) {
        float* io[2] = {s.data() + i, r.data() + i};
        shifter.process(io, 2, kBlock);
    }
    return errorPercent(s, semitones);
}

// Times `processor.process(io, 2, kBlock)` on speech-like stereo blocks, the
// same way for every configuration of ours.
template <class Processor>
void timeStereoBlocks(benchmark::State& state, Processor& processor) {
    const std::vector<float> input = voiceSignal(kBlock * 64);
    std::vector<float> l(kBlock), r(kBlock);
    std::size_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) l[i] = r[i] = input[at + i];
        at = (at + kBlock) % input.size();
        float* io[2] = {l.data(), r.data()};
        processor.process(io, 2, kBlock);
        benchmark::DoNotOptimize(l.data());
        benchmark::DoNotOptimize(r.data());
    }
}

void BM_Ours(benchmark::State& state, bool highQuality) {
    const auto semitones = static_cast<float>(state.range(0));
    vcmd::PitchShifter shifter;
    shifter.configure(kRate, highQuality);
    shifter.jumpSemitones(semitones);
    timeStereoBlocks(state, shifter);
    report(state, shifter.latencyFrames(), oursError(semitones, highQuality));
}
void BM_OursRealTime(benchmark::State& state) { BM_Ours(state, false); }
void BM_OursHighQuality(benchmark::State& state) { BM_Ours(state, true); }

// The shifter and its formant stage as the pitch effect runs them, with the
// formants kept (formant 0) while the pitch moves.
struct OursWithFormants {
    vcmd::PitchShifter shifter;
    vcmd::FormantShifter formants;
    OursWithFormants(float semitones) {
        shifter.configure(kRate, false);
        shifter.jumpSemitones(semitones);
        formants.configure(kRate, static_cast<int>(shifter.latencyFrames()));
        formants.jumpPitch(semitones);
        formants.jumpFormant(0.0f);
    }
    void process(float* const* io, int channels, int frames) {
        formants.hear(io, channels, frames);
        shifter.process(io, channels, frames);
        formants.process(io, channels, frames);
    }
};

void BM_OursFormantsKept(benchmark::State& state) {
    const auto semitones = static_cast<float>(state.range(0));
    OursWithFormants ours(semitones);
    timeStereoBlocks(state, ours);
    OursWithFormants check(semitones);
    std::vector<float> s = testSignal(static_cast<std::size_t>(kRate * 2), 220.0), t = s;
    for (std::size_t i = 0; i + kBlock <= s.size(); i += kBlock) {
        float* io[2] = {s.data() + i, t.data() + i};
        check.process(io, 2, kBlock);
    }
    report(state, ours.shifter.latencyFrames() + static_cast<unsigned>(ours.formants.latencyFrames()),
           errorPercent(s, semitones));
    // Which build of the formant stage's inner loops ran (the CPU decides).
    state.SetLabel(std::string("kernels: ") + ours.formants.kernels().name);
}

// The whole engine with the pure pitch voice, through the C interface.
void BM_EngineChipmunk(benchmark::State& state) {
    vcmdResetForTesting();
    vcmdInitSDK("bench", "bench", "1.0");
    int32_t id = 0;
    vcmdMountPackage((std::string(CORVANE_VOICES_DIR) + "/characters.zvmd").c_str(), 0, 0, 0, &id);
    vcmdSetSampleRate(static_cast<float>(kRate));
    vcmdLoadVoice("Chipmunk", 0, 0);
    const auto semitones = static_cast<float>(state.range(0));
    vcmdSetParameter("Pitch", semitones);
    uint32_t latency = 0;
    vcmdGetLatencyFrames(&latency);
    const std::vector<float> input = voiceSignal(kBlock * 64);
    std::vector<float> l(kBlock), r(kBlock);
    std::size_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) l[i] = r[i] = input[at + i];
        at = (at + kBlock) % input.size();
        vcmdProcessStereoBuffer(l.data(), r.data(), kBlock);
        benchmark::DoNotOptimize(l.data());
    }
    // Accuracy through the engine too.
    vcmdLoadVoice("Chipmunk", 0, 0);
    vcmdSetParameter("Pitch", semitones);
    std::vector<float> s = testSignal(static_cast<std::size_t>(kRate * 2), 220.0), t = s;
    for (std::size_t i = 0; i + kBlock <= s.size(); i += kBlock) vcmdProcessStereoBuffer(s.data() + i, t.data() + i, kBlock);
    report(state, latency, errorPercent(s, semitones));
    vcmdResetForTesting();
}

// --- SoundTouch ------------------------------------------------------------------

#ifdef PITCH_BENCH_WITH_SOUNDTOUCH
void configure(soundtouch::SoundTouch& st, float semitones) {
    st.setSampleRate(static_cast<unsigned>(kRate));
    st.setChannels(2);
    st.setPitchSemiTones(semitones);
}

// Runs a sine through SoundTouch and measures its delay as SoundTouch
// reports it and the output frequency.
double soundTouchError(float semitones) {
    soundtouch::SoundTouch st;
    configure(st, semitones);
    const std::vector<float> s = testSignal(static_cast<std::size_t>(kRate * 2), 220.0);
    std::vector<float> in(2 * kBlock), out(2 * kBlock), mono;
    for (std::size_t i = 0; i + kBlock <= s.size(); i += kBlock) {
        for (int k = 0; k < kBlock; ++k) in[2 * k] = in[2 * k + 1] = s[i + k];
        st.putSamples(in.data(), kBlock);
        unsigned got;
        while ((got = st.receiveSamples(out.data(), kBlock)) > 0)
            for (unsigned k = 0; k < got; ++k) mono.push_back(out[2 * k]);
    }
    return errorPercent(mono, semitones);
}

void BM_SoundTouch(benchmark::State& state) {
    const auto semitones = static_cast<float>(state.range(0));
    soundtouch::SoundTouch st;
    configure(st, semitones);
    const std::vector<float> input = voiceSignal(kBlock * 64);
    std::vector<float> in(2 * kBlock), out(2 * kBlock);
    std::size_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) in[2 * i] = in[2 * i + 1] = input[at + i];
        at = (at + kBlock) % input.size();
        st.putSamples(in.data(), kBlock);
        while (st.receiveSamples(out.data(), kBlock) > 0) benchmark::DoNotOptimize(out.data());
    }
    report(state, st.getSetting(SETTING_INITIAL_LATENCY), soundTouchError(semitones));
}
#endif

// --- Rubber Band -------------------------------------------------------------------

#ifdef PITCH_BENCH_WITH_RUBBERBAND
RubberBand::RubberBandStretcher::Options rubberBandOptions(bool r3) {
    using RB = RubberBand::RubberBandStretcher;
    return RB::OptionProcessRealTime | RB::OptionFormantPreserved |
           (r3 ? RB::OptionEngineFiner : RB::OptionEngineFaster | RB::OptionPitchHighConsistency);
}

// Runs `input` (stereo, the same on both channels) through a real-time
// stretcher in 256-frame blocks; returns the left channel's output.
std::vector<float> rubberBandRun(RubberBand::RubberBandStretcher& rb, const std::vector<float>& input) {
    std::vector<float> l(kBlock), r(kBlock), ol(4 * kBlock), or_(4 * kBlock), out;
    for (std::size_t i = 0; i + kBlock <= input.size(); i += kBlock) {
        for (int k = 0; k < kBlock; ++k) l[k] = r[k] = input[i + k];
        const float* in[2] = {l.data(), r.data()};
        rb.process(in, kBlock, false);
        for (int got; (got = rb.available()) > 0;) {
            float* o[2] = {ol.data(), or_.data()};
            const std::size_t n = rb.retrieve(o, std::min<std::size_t>(static_cast<std::size_t>(got), ol.size()));
            out.insert(out.end(), ol.begin(), ol.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    return out;
}

void BM_RubberBand(benchmark::State& state, bool r3) {
    const auto semitones = static_cast<float>(state.range(0));
    const double scale = std::pow(2.0, semitones / 12.0);
    RubberBand::RubberBandStretcher rb(static_cast<std::size_t>(kRate), 2, rubberBandOptions(r3), 1.0, scale);
    rb.setMaxProcessSize(kBlock);
    const std::vector<float> input = voiceSignal(kBlock * 64);
    std::vector<float> l(kBlock), r(kBlock), ol(4 * kBlock), or_(4 * kBlock);
    std::size_t at = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) l[i] = r[i] = input[at + i];
        at = (at + kBlock) % input.size();
        const float* in[2] = {l.data(), r.data()};
        rb.process(in, kBlock, false);
        for (int got; (got = rb.available()) > 0;) {
            float* o[2] = {ol.data(), or_.data()};
            rb.retrieve(o, std::min<std::size_t>(static_cast<std::size_t>(got), ol.size()));
            benchmark::DoNotOptimize(ol.data());
        }
    }
    RubberBand::RubberBandStretcher check(static_cast<std::size_t>(kRate), 2, rubberBandOptions(r3), 1.0, scale);
    const std::vector<float> out = rubberBandRun(check, testSignal(static_cast<std::size_t>(kRate * 2), 220.0));
    // Its latency as it states it (the output it asks a caller to drop).
    report(state, static_cast<double>(rb.getStartDelay()), errorPercent(out, semitones));
}
void BM_RubberBandR3Formants(benchmark::State& state) { BM_RubberBand(state, true); }
void BM_RubberBandR2Formants(benchmark::State& state) { BM_RubberBand(state, false); }
#endif

}  // namespace

BENCHMARK(BM_OursRealTime)->Arg(-12)->Arg(-7)->Arg(-5)->Arg(7)->Arg(12);
BENCHMARK(BM_OursHighQuality)->Arg(-5)->Arg(7);
BENCHMARK(BM_EngineChipmunk)->Arg(7);
BENCHMARK(BM_OursFormantsKept)->Arg(-7)->Arg(7);
#ifdef PITCH_BENCH_WITH_RUBBERBAND
BENCHMARK(BM_RubberBandR3Formants)->Arg(-7)->Arg(7);
BENCHMARK(BM_RubberBandR2Formants)->Arg(-7)->Arg(7);
#endif
#ifdef PITCH_BENCH_WITH_SOUNDTOUCH
BENCHMARK(BM_SoundTouch)->Arg(-12)->Arg(-5)->Arg(7)->Arg(12);
#endif

BENCHMARK_MAIN();
