// EngineRender.cpp - see EngineRender.h.
#include "EngineRender.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <stdexcept>

#include "pitch/PitchShifter.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"
#include "VoicemodUSDKResults.h"

namespace quality {
namespace {

void check(std::int32_t result, const char* what) {
    if (result != VCMD_OK)
        throw std::runtime_error(std::string(what) + " failed: " + vcmdGetResultDescription(result));
}

}  // namespace

std::vector<std::string> startEngine(const std::string& voicesDir) {
    vcmdResetForTesting();
    check(vcmdInitSDK("quality", "quality", "1.0"), "vcmdInitSDK");
    std::vector<std::string> packages;
    for (const auto& entry : std::filesystem::directory_iterator(voicesDir))
        if (entry.path().extension() == ".zvmd") packages.push_back(entry.path().string());
    std::sort(packages.begin(), packages.end());
    for (const std::string& p : packages) {
        std::int32_t id = 0;
        check(vcmdMountPackage(p.c_str(), 0, 0, 0, &id), "vcmdMountPackage");
    }
    std::uint32_t n = 0;
    check(vcmdGetNumberOfVoices(1, &n), "vcmdGetNumberOfVoices");
    std::vector<std::vector<char>> storage(n, std::vector<char>(256));
    std::vector<char*> pointers;
    for (auto& s : storage) pointers.push_back(s.data());
    if (n > 0) check(vcmdGetVoiceNames(pointers.data(), n, 256, 1), "vcmdGetVoiceNames");
    return {pointers.begin(), pointers.end()};
}

std::vector<float> renderVoice(const std::string& voicesDir, const VoiceRun& run, const std::vector<float>& input,
                               double tail) {
    startEngine(voicesDir);
    check(vcmdSetSampleRate(static_cast<float>(run.rate)), "vcmdSetSampleRate");
    check(vcmdEnableBackgroundSounds(run.background), "vcmdEnableBackgroundSounds");
    check(vcmdEnableOfflineMode(run.offline), "vcmdEnableOfflineMode");
    check(vcmdLoadVoice(run.voice.c_str(), 0, 0), "vcmdLoadVoice");
    for (const auto& p : run.parameters) check(vcmdSetParameter(p.first.c_str(), p.second), "vcmdSetParameter");
    std::vector<float> s = input;
    s.resize(input.size() + static_cast<std::size_t>(tail * run.rate), 0.0f);
    for (std::size_t i = 0; i < s.size(); i += 256) {
        const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(256, s.size() - i));
        check(vcmdProcessBuffer(s.data() + i, n), "vcmdProcessBuffer");
    }
    return s;
}

std::vector<float> renderVoiceAligned(const std::string& voicesDir, const VoiceRun& run,
                                      const std::vector<float>& input) {
    // A second is more than any voice's delay.
    std::vector<float> out = renderVoice(voicesDir, run, input, 1.0);
    std::uint32_t latency = 0;
    check(vcmdGetLatencyFrames(&latency), "vcmdGetLatencyFrames");
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(latency, out.size())));
    out.resize(input.size());
    return out;
}

std::vector<float> shiftPitch(const std::vector<float>& input, double rate, float semitones, bool highQuality) {
    vcmd::PitchShifter shifter;
    shifter.configure(rate, highQuality);
    shifter.jumpSemitones(semitones);
    std::vector<float> s = input;
    for (std::size_t i = 0; i < s.size(); i += 256) {
        float* io[1] = {s.data() + i};
        shifter.process(io, 1, static_cast<int>(std::min<std::size_t>(256, s.size() - i)));
    }
    return s;
}

}  // namespace quality
