// CInterface.cpp - every function of the engine's C interface
// (VoicemodUSDK.h and VoicemodUSDKExtras.h): argument checks, the control
// mutex, and the step into the engine's state or audio path.
#include <cmath>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "engine/AudioPath.h"
#include "engine/EngineState.h"
#include "voice/Package.h"
#include "engine/Results.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"

#ifndef VCMD_ENGINE_VERSION_STRING
#define VCMD_ENGINE_VERSION_STRING "Corvane bundled voice engine"
#endif

namespace vcmd {
namespace {

static_assert(std::atomic<float>::is_always_lock_free, "parameter calls must not fall back to a lock");

// Blocks longer than this are refused as a caller error (about 87 s at 192 kHz).
constexpr std::uint32_t kMaxFrames = 1u << 24;
constexpr std::uint32_t kAllVoicesSelector = 1;

// Writes `text` to `buffer` of *length bytes (see vcmdGetCurrentVoice).
std::int32_t copyOut(const std::string& text, char* buffer, std::uint32_t* length) noexcept {
    if (static_cast<std::uint64_t>(*length) < static_cast<std::uint64_t>(text.size()) + 1)
        return VCMD_ERR_BUFFER_TOO_SMALL;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *length = static_cast<std::uint32_t>(text.size());
    return VCMD_OK;
}

std::int32_t setSwitch(std::atomic<bool>& flag, bool enabled) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    flag.store(enabled, std::memory_order_relaxed);
    return VCMD_OK;
}

std::int32_t getSwitch(const std::atomic<bool>& flag, bool* enabled) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (enabled == nullptr) return VCMD_ERR_NULL_POINTER;
    *enabled = flag.load(std::memory_order_relaxed);
    return VCMD_OK;
}

}  // namespace
}  // namespace vcmd

using namespace vcmd;

extern "C" {

int32_t vcmdInitSDK(const char* clientKey, const char* clientSecret, const char* version) noexcept {
    if (clientKey == nullptr || clientSecret == nullptr || version == nullptr) return VCMD_ERR_NULL_POINTER;
    if (std::strncmp(version, "1.", 2) != 0) return VCMD_ERR_INVALID_ARGUMENT;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    if (e.started.load(std::memory_order_relaxed)) return VCMD_ALREADY_STARTED;
    e.started.store(true, std::memory_order_release);
    return VCMD_OK;
}

const char* vcmdGetVersionString(void) noexcept { return VCMD_ENGINE_VERSION_STRING; }

namespace {

// Stores one of the engine's two directory paths; an empty path is refused.
int32_t setPath(std::string Engine::*member, const char* path) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (path == nullptr) return VCMD_ERR_NULL_POINTER;
    if (path[0] == '\0') return VCMD_ERR_INVALID_ARGUMENT;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    try {
        e.*member = path;
    } catch (...) {
        return VCMD_ERR_OUT_OF_MEMORY;
    }
    return VCMD_OK;
}

}  // namespace

int32_t vcmdSetTempPath(const char* path) noexcept { return setPath(&Engine::tempPath, path); }

int32_t vcmdSetContentPath(const char* path) noexcept { return setPath(&Engine::contentPath, path); }

int32_t vcmdMountPackage(const char* path, int32_t reserved0, int32_t reserved1, int32_t reserved2,
                         int32_t* packageId) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (path == nullptr || packageId == nullptr) return VCMD_ERR_NULL_POINTER;
    if (reserved0 != 0 || reserved1 != 0 || reserved2 != 0 || path[0] == '\0') return VCMD_ERR_INVALID_ARGUMENT;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    e.retired.reclaim();
    try {
        return mount(e, path, packageId);
    } catch (const std::bad_alloc&) {
        return VCMD_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return VCMD_ERR_INTERNAL;
    }
}

int32_t vcmdGetNumberOfVoices(uint32_t selector, uint32_t* count) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (count == nullptr) return VCMD_ERR_NULL_POINTER;
    if (selector != kAllVoicesSelector) return VCMD_ERR_INVALID_ARGUMENT;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    *count = static_cast<std::uint32_t>(e.voices.size());
    return VCMD_OK;
}

int32_t vcmdGetVoiceNames(char** names, uint32_t count, uint32_t bufferSize, uint32_t selector) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (selector != kAllVoicesSelector) return VCMD_ERR_INVALID_ARGUMENT;
    if (names == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    if (count > e.voices.size()) return VCMD_ERR_INVALID_ARGUMENT;
    // Check everything first so that a failure writes nothing.
    for (std::uint32_t i = 0; i < count; ++i) {
        if (names[i] == nullptr) return VCMD_ERR_NULL_POINTER;
        if (e.voices[i]->name.size() + 1 > bufferSize) return VCMD_ERR_BUFFER_TOO_SMALL;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string& name = e.voices[i]->name;
        std::memcpy(names[i], name.c_str(), name.size() + 1);
    }
    return VCMD_OK;
}

int32_t vcmdLoadVoice(const char* name, int32_t reserved0, int32_t reserved1) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr) return VCMD_ERR_NULL_POINTER;
    if (reserved0 != 0 || reserved1 != 0) return VCMD_ERR_INVALID_ARGUMENT;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    auto found = e.voiceByName.find(std::string_view(name));
    if (found == e.voiceByName.end()) return VCMD_ERR_UNKNOWN_VOICE;
    // Should the voice not be built, the current voice, its values and
    // what is heard stay as they were.
    return switchVoice(e, *found->second);
}

int32_t vcmdGetCurrentVoice(char* buffer, uint32_t* length) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (buffer == nullptr || length == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    static const std::string kNone;
    return copyOut(e.voice != nullptr ? e.voice->name : kNone, buffer, length);
}

int32_t vcmdSetBypass(bool enabled) noexcept { return setSwitch(engine().bypass, enabled); }
int32_t vcmdGetBypass(bool* enabled) noexcept { return getSwitch(engine().bypass, enabled); }
int32_t vcmdSetMute(bool enabled) noexcept { return setSwitch(engine().mute, enabled); }
int32_t vcmdGetMute(bool* enabled) noexcept { return getSwitch(engine().mute, enabled); }
int32_t vcmdEnableBackgroundSounds(bool enabled) noexcept { return setSwitch(engine().background, enabled); }
int32_t vcmdIsBackgroundSoundsEnabled(bool* enabled) noexcept { return getSwitch(engine().background, enabled); }
int32_t vcmdIsOfflineModeEnabled(bool* enabled) noexcept { return getSwitch(engine().offline, enabled); }

int32_t vcmdEnableOfflineMode(bool enabled) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    if (e.offline.load(std::memory_order_relaxed) == enabled) return VCMD_OK;
    e.offline.store(enabled, std::memory_order_relaxed);
    // The voice is rebuilt from scratch: its history and noise seeds start
    // over, and it picks up the mode's quality settings.
    const std::int32_t code = rebuildCurrent(e);
    if (code != VCMD_OK) e.offline.store(!enabled, std::memory_order_relaxed);
    return code;
}

// The two parameter calls take no lock: they find the current voice through
// its atomic pointer and write or read its live slots, which every chain of
// that voice follows. They never wait for a voice being built; a set that
// meets a voice switch is made again on the new voice (EngineState.h).

int32_t vcmdSetParameter(const char* name, float value) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr) return VCMD_ERR_NULL_POINTER;
    return setLiveParameter(engine(), name, value);
}

int32_t vcmdGetParameter(const char* name, float* value) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr || value == nullptr) return VCMD_ERR_NULL_POINTER;
    const VoiceDef* voice = engine().liveVoice.load(std::memory_order_acquire);
    const int parameter = findParameter(voice, name);
    if (parameter < 0) return VCMD_ERR_UNKNOWN_PARAMETER;
    *value = voice->live[static_cast<std::size_t>(parameter)].load(std::memory_order_relaxed);
    return VCMD_OK;
}

int32_t vcmdSetSampleRate(float sampleRate) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (!std::isfinite(sampleRate) || sampleRate < kMinSampleRate || sampleRate > kMaxSampleRate)
        return VCMD_ERR_UNSUPPORTED_SAMPLE_RATE;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    const float previous = e.sampleRate.load(std::memory_order_relaxed);
    if (previous == sampleRate) return VCMD_OK;
    e.sampleRate.store(sampleRate, std::memory_order_relaxed);
    // The voice's delay lines and filters are sized and tuned for one rate:
    // build it again for the new one rather than touching it on the audio
    // thread.
    const std::int32_t code = rebuildCurrent(e);
    if (code != VCMD_OK) e.sampleRate.store(previous, std::memory_order_relaxed);
    return code;
}

int32_t vcmdProcessBuffer(float* samples, uint32_t frames) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (samples == nullptr) return VCMD_ERR_NULL_POINTER;
    if (frames > kMaxFrames) return VCMD_ERR_INVALID_ARGUMENT;
    float* io[1] = {samples};
    return processBlock(engine(), io, 1, frames);
}

int32_t vcmdProcessStereoBuffer(float* left, float* right, uint32_t frames) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (left == nullptr || right == nullptr) return VCMD_ERR_NULL_POINTER;
    if (frames > kMaxFrames) return VCMD_ERR_INVALID_ARGUMENT;
    // The two channels must not share memory.
    const auto l = reinterpret_cast<std::uintptr_t>(left);
    const auto r = reinterpret_cast<std::uintptr_t>(right);
    const std::uintptr_t bytes = static_cast<std::uintptr_t>(frames) * sizeof(float);
    if (frames > 0 && l < r + bytes && r < l + bytes) return VCMD_ERR_INVALID_ARGUMENT;
    if (left == right) return VCMD_ERR_INVALID_ARGUMENT;
    float* io[2] = {left, right};
    return processBlock(engine(), io, 2, frames);
}

const char* vcmdGetResultDescription(int32_t result) noexcept {
    if (result == VCMD_ERR_INVALID_PACKAGE || result == VCMD_ERR_NO_SUCH_FILE) {
        if (const char* detail = packageRefusalDetail(result)) return detail;
    }
    return describeResult(result);
}

// --- extras ------------------------------------------------------------------

void vcmdResetForTesting(void) noexcept {
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    resetEngine(e);
}

int32_t vcmdGetLatencyFrames(uint32_t* frames) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (frames == nullptr) return VCMD_ERR_NULL_POINTER;
    *frames = engine().latency.load(std::memory_order_relaxed);
    return VCMD_OK;
}

int32_t vcmdGetVoiceParameterCount(const char* voice, uint32_t* count) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (voice == nullptr || count == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    auto found = e.voiceByName.find(std::string_view(voice));
    if (found == e.voiceByName.end()) return VCMD_ERR_UNKNOWN_VOICE;
    *count = static_cast<std::uint32_t>(found->second->parameters.size());
    return VCMD_OK;
}

int32_t vcmdGetVoiceParameter(const char* voice, uint32_t index, char* name, uint32_t* nameLength, char* unit,
                              uint32_t* unitLength, float* minimum, float* maximum, float* defaultValue) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (voice == nullptr || name == nullptr || nameLength == nullptr || unit == nullptr || unitLength == nullptr ||
        minimum == nullptr || maximum == nullptr || defaultValue == nullptr)
        return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    auto found = e.voiceByName.find(std::string_view(voice));
    if (found == e.voiceByName.end()) return VCMD_ERR_UNKNOWN_VOICE;
    const auto& parameters = found->second->parameters;
    if (index >= parameters.size()) return VCMD_ERR_INVALID_ARGUMENT;
    const ParameterDef& p = parameters[index];
    // Both texts fit or neither is written.
    const std::uint64_t nameNeeded = static_cast<std::uint64_t>(p.name.size()) + 1;
    const std::uint64_t unitNeeded = static_cast<std::uint64_t>(p.unit.size()) + 1;
    if (*nameLength < nameNeeded || *unitLength < unitNeeded) {
        *nameLength = static_cast<std::uint32_t>(nameNeeded);
        *unitLength = static_cast<std::uint32_t>(unitNeeded);
        return VCMD_ERR_BUFFER_TOO_SMALL;
    }
    copyOut(p.name, name, nameLength);
    copyOut(p.unit, unit, unitLength);
    *minimum = p.minimum;
    *maximum = p.maximum;
    *defaultValue = p.defaultValue;
    return VCMD_OK;
}

int32_t vcmdGetVoiceInfoJson(const char* name, char* buffer, uint32_t* length) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr || buffer == nullptr || length == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    auto found = e.voiceByName.find(std::string_view(name));
    if (found == e.voiceByName.end()) return VCMD_ERR_UNKNOWN_VOICE;
    try {
        const std::string text = voiceInfoJson(*found->second);
        if (static_cast<std::uint64_t>(*length) < text.size() + 1) {
            *length = static_cast<std::uint32_t>(text.size() + 1);
            return VCMD_ERR_BUFFER_TOO_SMALL;
        }
        return copyOut(text, buffer, length);
    } catch (const std::bad_alloc&) {
        return VCMD_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return VCMD_ERR_INTERNAL;
    }
}

}  // extern "C"
