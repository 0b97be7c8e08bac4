// voice_words.cpp - how well each bundled voice keeps the words, measured on
// real speech: intelligibility (STOI), transients the voice made up, true
// peak and loudness change, and for voices with a tail its ringing share and
// reverberation time.
//
//   voice_words [--voice NAME]... [--set PARAMETER=VALUE]... [SPEECH.wav ...]
//
// --voice measures only the voices named; --set changes a parameter of
// every voice measured that has it (for trying settings).
// Without arguments it reads the speech recordings Debian's alsa-utils
// installs (/usr/share/sounds/alsa, all but Noise.wav). The recordings are
// joined, 0.3 s of silence after each, and run through every voice at
// 48 kHz mono in 256-frame blocks, at its default parameters, background
// sounds on. The tail measures come from the voice's impulse response with
// background sounds off. Prints one Markdown table; exits 1 when a file
// cannot be read.
#include <ebur128.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <filesystem>
#include <string>
#include <vector>

#include "Onsets.h"
#include "ReferenceSignals.h"
#include "Stoi.h"
#include "TailMeasure.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"

namespace {

using quality::rmsOf;
using quality::whiteNoise;

constexpr double kRate = 48000.0;
constexpr std::size_t kBlock = 256;

bool readMono(const std::string& path, std::vector<float>& out) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (f == nullptr) return false;
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, interleaved.data(), info.frames);
    sf_close(f);
    std::vector<float> mono;
    for (sf_count_t i = 0; i < info.frames; ++i) {
        double sum = 0.0;
        for (int c = 0; c < info.channels; ++c) sum += interleaved[static_cast<std::size_t>(i * info.channels + c)];
        mono.push_back(static_cast<float>(sum / info.channels));
    }
    out = info.samplerate == static_cast<int>(kRate) ? mono : quality::resample(mono, info.samplerate, kRate);
    return true;
}

void startEngine() {
    vcmdResetForTesting();
    vcmdInitSDK("quality", "quality", "1.0");
    for (const char* file : {"characters.zvmd", "devices.zvmd", "spaces.zvmd", "people.zvmd"}) {
        int32_t id = 0;
        vcmdMountPackage((std::string(CORVANE_VOICES_DIR) + "/" + file).c_str(), 0, 0, 0, &id);
    }
    vcmdSetSampleRate(static_cast<float>(kRate));
}

std::vector<std::string> voiceNames() {
    uint32_t n = 0;
    vcmdGetNumberOfVoices(1, &n);
    std::vector<std::vector<char>> storage(n, std::vector<char>(128));
    std::vector<char*> ptrs;
    for (auto& s : storage) ptrs.push_back(s.data());
    vcmdGetVoiceNames(ptrs.data(), n, 128, 1);
    return std::vector<std::string>(ptrs.begin(), ptrs.end());
}

// The voice freshly loaded on `input`; the output moved back by the
// voice's latency so that it lines up with the input.
std::vector<std::pair<std::string, float>> settings;

std::vector<float> render(const std::string& voice, const std::vector<float>& input, bool background) {
    startEngine();
    vcmdEnableBackgroundSounds(background);
    vcmdLoadVoice(voice.c_str(), 0, 0);
    for (const auto& [name, value] : settings) vcmdSetParameter(name.c_str(), value);
    uint32_t latency = 0;
    vcmdGetLatencyFrames(&latency);
    std::vector<float> s = input;
    s.resize(input.size() + latency, 0.0f);
    for (std::size_t i = 0; i < s.size(); i += kBlock)
        vcmdProcessBuffer(s.data() + i, static_cast<uint32_t>(std::min(kBlock, s.size() - i)));
    s.erase(s.begin(), s.begin() + latency);
    return s;
}

struct Level {
    double loudness;  // LUFS
    double truePeak;  // dBTP
};
Level level(const std::vector<float>& s) {
    ebur128_state* st = ebur128_init(1, static_cast<unsigned long>(kRate), EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_add_frames_float(st, s.data(), s.size());
    Level l{};
    ebur128_loudness_global(st, &l.loudness);
    double peak = 0.0;
    ebur128_true_peak(st, 0, &peak);
    l.truePeak = 20.0 * std::log10(peak + 1e-12);
    ebur128_destroy(&st);
    return l;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files, only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--voice" && i + 1 < argc) {
            only.emplace_back(argv[++i]);
        } else if (arg == "--set" && i + 1 < argc) {
            const std::string s = argv[++i];
            const std::size_t eq = s.find('=');
            if (eq == std::string::npos) {
                std::fprintf(stderr, "voice_words: --set wants PARAMETER=VALUE, not %s\n", s.c_str());
                return 2;
            }
            settings.emplace_back(s.substr(0, eq), std::stof(s.substr(eq + 1)));
        } else {
            files.push_back(arg);
        }
    }
    if (files.empty()) {
        const std::filesystem::path dir = "/usr/share/sounds/alsa";
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
            if (entry.path().extension() == ".wav" && entry.path().filename() != "Noise.wav")
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        if (files.empty()) {
            std::fprintf(stderr, "voice_words: no speech in %s (Debian: alsa-utils)\n", dir.c_str());
            return 1;
        }
    }
    std::vector<float> speech;
    for (const std::string& f : files) {
        std::vector<float> s;
        if (!readMono(f, s)) {
            std::fprintf(stderr, "voice_words: cannot read %s\n", f.c_str());
            return 1;
        }
        speech.insert(speech.end(), s.begin(), s.end());
        speech.resize(speech.size() + static_cast<std::size_t>(0.3 * kRate), 0.0f);
    }
    const Level in = level(speech);
    std::printf("Speech: %zu recording(s), %.1f s, %.1f LUFS, %.1f dBTP.\n\n", files.size(),
                static_cast<double>(speech.size()) / kRate, in.loudness, in.truePeak);

    // The known cases the measure must reproduce.
    const std::vector<float> noise = whiteNoise(speech.size(), rmsOf(speech) * std::sqrt(10.0), 99);
    std::vector<float> noisy = speech;
    for (std::size_t i = 0; i < noisy.size(); ++i) noisy[i] += noise[i];
    std::printf("STOI known cases: the input itself %.3f; with noise 10 dB louder %.3f; noise alone %.3f.\n\n",
                quality::stoi(speech, speech, kRate), quality::stoi(speech, noisy, kRate),
                quality::stoi(speech, noise, kRate));

    std::printf("| voice | STOI | new onsets | true peak dBTP | loudness change LU | tail top-1 %% share | RT60 s |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|\n");
    startEngine();
    for (const std::string& voice : voiceNames()) {
        if (!only.empty() && std::find(only.begin(), only.end(), voice) == only.end()) continue;
        const std::vector<float> out = render(voice, speech, true);
        if (const char* dump = std::getenv("VOICE_WORDS_DUMP")) {
            SF_INFO info{};
            info.samplerate = static_cast<int>(kRate);
            info.channels = 1;
            info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
            if (SNDFILE* f = sf_open((std::string(dump) + "/" + voice + ".wav").c_str(), SFM_WRITE, &info)) {
                sf_writef_float(f, out.data(), static_cast<sf_count_t>(out.size()));
                sf_close(f);
            }
        }
        const Level l = level(out);
        const double stoi = quality::stoi(speech, out, kRate);
        const std::size_t onsets = quality::countNewOnsets(speech, out, kRate);
        // Impulse response, background off: 8 s after one sample at 0.5.
        std::vector<float> impulse(static_cast<std::size_t>(8.0 * kRate), 0.0f);
        impulse[0] = 0.5f;
        const std::vector<float> ir = render(voice, impulse, false);
        double tailEnergy = 0.0;
        for (std::size_t i = static_cast<std::size_t>(0.2 * kRate); i < ir.size(); ++i) tailEnergy += ir[i] * ir[i];
        std::string share = "-", rt = "-";
        if (tailEnergy > 1e-6) {
            char b[32];
            std::snprintf(b, sizeof b, "%.1f %%", 100.0 * quality::tailTopPercentShare(ir, kRate, 0.1));
            share = b;
            std::snprintf(b, sizeof b, "%.2f", quality::reverberationSeconds(ir, kRate, 0.05));
            rt = b;
        }
        std::printf("| %s | %.3f | %zu | %.1f | %+.1f | %s | %s |\n", voice.c_str(), stoi, onsets, l.truePeak,
                    l.loudness - in.loudness, share.c_str(), rt.c_str());
        std::fflush(stdout);
    }
    vcmdResetForTesting();
    return 0;
}
