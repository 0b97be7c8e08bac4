// Engine.cpp - the process-wide engine state behind the C functions.
//
// Control calls serialise on one mutex and may allocate. The two process
// functions never take that mutex: a new voice is built on the control
// thread and handed over through a single-slot mailbox (an atomic pointer);
// chains the audio thread has finished with go into a small lock-free
// retire list and are deleted by the next control call. Switches and
// parameter values are atomics read once per piece of at most kPieceFrames.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "Chain.h"
#include "Denormals.h"
#include "Package.h"
#include "Results.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"

#ifndef VCMD_ENGINE_VERSION_STRING
#define VCMD_ENGINE_VERSION_STRING "Corvane bundled voice engine"
#endif

namespace vcmd {
namespace {

constexpr float kMinSampleRate = 8000.0f;
constexpr float kMaxSampleRate = 192000.0f;
constexpr float kDefaultSampleRate = 48000.0f;
// Length of every switch ramp: bypass, mute and the crossfade between voices.
constexpr double kRampSeconds = 0.005;
// Blocks longer than this are refused as a caller error (about 87 s at 192 kHz).
constexpr std::uint32_t kMaxFrames = 1u << 24;
constexpr std::uint32_t kAllVoicesSelector = 1;
constexpr int kRetireSlots = 16;

// Chains the audio thread no longer uses. Only the audio thread stores a
// non-null pointer into a slot and only control calls take them out, so each
// slot has one writer of each kind.
class RetireList {
public:
    bool push(Chain* chain) noexcept {
        for (auto& slot : slots_) {
            if (slot.load(std::memory_order_relaxed) == nullptr) {
                slot.store(chain, std::memory_order_release);
                return true;
            }
        }
        return false;
    }
    void reclaim() noexcept {
        for (auto& slot : slots_) delete slot.exchange(nullptr, std::memory_order_acquire);
    }

private:
    std::atomic<Chain*> slots_[kRetireSlots] = {};
};

// A switch ramp counted in whole samples, so that its ends are exact: at 0
// the old state is untouched, at `length` the new one.
struct SwitchRamp {
    std::uint32_t position = 0;
    // Moves one sample towards `on` (length) or off (0).
    void step(bool on, std::uint32_t length) noexcept {
        if (on) {
            if (position < length) ++position;
        } else if (position > 0) {
            --position;
        }
    }
    bool settled(bool on, std::uint32_t length) const noexcept { return position == (on ? length : 0u); }
    float gain(std::uint32_t length) const noexcept {
        return position >= length ? 1.0f : static_cast<float>(position) / static_cast<float>(length);
    }
    // Keeps the same fraction when the ramp's length changes.
    void rescale(std::uint32_t from, std::uint32_t to) noexcept {
        position = static_cast<std::uint32_t>((static_cast<std::uint64_t>(position) * to + from / 2) / from);
    }
};

// State owned by the audio thread.
struct AudioState {
    Chain* active = nullptr;        // the voice heard now (null: dry)
    Chain* fading = nullptr;        // the voice fading out (null: dry)
    bool crossfading = false;
    SwitchRamp fade;                // 0 old voice .. length new voice
    SwitchRamp bypass;              // 0 voice .. length dry input
    SwitchRamp mute;                // 0 heard .. length silent
    std::uint32_t rampLength = 240;
    Chain* unretired = nullptr;     // waits for room in the retire list
    float dry[kMaxChannels][kPieceFrames] = {};
    float wet[kMaxChannels][kPieceFrames] = {};
    float old[kMaxChannels][kPieceFrames] = {};
};

struct Engine {
    std::mutex control;
    std::atomic<bool> started{false};
    std::string tempPath;
    std::string contentPath;

    std::atomic<bool> bypass{false};
    std::atomic<bool> mute{false};
    std::atomic<bool> offline{false};
    std::atomic<bool> background{true};
    std::atomic<float> sampleRate{kDefaultSampleRate};
    std::atomic<std::uint32_t> latency{0};

    // Catalogue, in mount order.
    std::vector<std::unique_ptr<Package>> packages;
    std::unordered_map<std::string, std::int32_t> packageByPath;
    std::vector<const VoiceDef*> voices;
    std::unordered_map<std::string_view, const VoiceDef*> voiceByName;  // earliest mount wins

    // The current voice as the control side sees it.
    const VoiceDef* voice = nullptr;
    Chain* posted = nullptr;  // newest chain handed to the audio thread
    std::vector<float> values;

    std::atomic<Chain*> mailbox{nullptr};
    RetireList retired;
    AudioState audio;
};

Engine& engine() {
    static Engine instance;
    return instance;
}

bool isStarted() noexcept { return engine().started.load(std::memory_order_acquire); }

// Hands `chain` to the audio thread. A chain still waiting in the mailbox
// was never seen by the audio thread and is deleted here. Caller holds the
// control mutex.
void postChain(Engine& e, Chain* chain) noexcept {
    e.retired.reclaim();
    delete e.mailbox.exchange(chain, std::memory_order_acq_rel);
    e.posted = chain;
    e.latency.store(chain != nullptr ? chain->latencyFrames() : 0, std::memory_order_relaxed);
}

// Builds the chain of the current voice for the current settings and posts
// it, carrying over the parameter values.
std::int32_t rebuildCurrent(Engine& e) noexcept {
    if (e.voice == nullptr) return VCMD_OK;
    try {
        ChainConfig config;
        config.sampleRate = e.sampleRate.load(std::memory_order_relaxed);
        config.offline = e.offline.load(std::memory_order_relaxed);
        auto chain = std::make_unique<Chain>(*e.voice, config, e.values.data());
        postChain(e, chain.release());
        return VCMD_OK;
    } catch (const std::bad_alloc&) {
        return VCMD_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return VCMD_ERR_INTERNAL;
    }
}

// --- audio thread -------------------------------------------------------------

void retire(AudioState& a, Engine& e, Chain* chain) noexcept {
    if (chain == nullptr) return;
    if (!e.retired.push(chain)) a.unretired = chain;
}

void processPiece(Engine& e, float* const* io, int channels, int frames) noexcept {
    AudioState& a = e.audio;
    const float rate = e.sampleRate.load(std::memory_order_relaxed);
    const auto length = static_cast<std::uint32_t>(std::max(1.0, std::round(kRampSeconds * rate)));
    if (length != a.rampLength) {
        a.fade.rescale(a.rampLength, length);
        a.bypass.rescale(a.rampLength, length);
        a.mute.rescale(a.rampLength, length);
        a.rampLength = length;
    }

    if (a.unretired != nullptr && e.retired.push(a.unretired)) a.unretired = nullptr;
    if (!a.crossfading && a.unretired == nullptr) {
        if (Chain* next = e.mailbox.exchange(nullptr, std::memory_order_acq_rel)) {
            a.fading = a.active;
            a.active = next;
            a.crossfading = true;
            a.fade.position = 0;
        }
    }

    // The dry signal: the input with anything non-finite replaced by 0, so
    // neither a voice nor the bypass path can pass it on.
    for (int c = 0; c < channels; ++c) {
        const float* in = io[c];
        float* dry = a.dry[c];
        for (int i = 0; i < frames; ++i) dry[i] = std::isfinite(in[i]) ? in[i] : 0.0f;
    }

    const bool bg = e.background.load(std::memory_order_relaxed);
    const auto bytes = sizeof(float) * static_cast<std::size_t>(frames);
    float* wet[kMaxChannels] = {a.wet[0], a.wet[1]};
    for (int c = 0; c < channels; ++c) std::memcpy(a.wet[c], a.dry[c], bytes);
    if (a.active != nullptr) a.active->process(wet, channels, frames, bg);

    if (a.crossfading) {
        float* old[kMaxChannels] = {a.old[0], a.old[1]};
        for (int c = 0; c < channels; ++c) std::memcpy(a.old[c], a.dry[c], bytes);
        if (a.fading != nullptr) a.fading->process(old, channels, frames, bg);
        for (int i = 0; i < frames; ++i) {
            a.fade.step(true, length);
            if (a.fade.position >= length) break;  // the rest of the piece is the new voice alone
            const float g = a.fade.gain(length);
            for (int c = 0; c < channels; ++c) wet[c][i] = old[c][i] + (wet[c][i] - old[c][i]) * g;
        }
        if (a.fade.position >= length) {
            a.crossfading = false;
            retire(a, e, a.fading);
            a.fading = nullptr;
        }
    }

    // A voice must never put out anything non-finite; if it did, its state is
    // cleared and this piece is silent.
    bool finite = true;
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i) finite &= std::isfinite(wet[c][i]);
    if (!finite) {
        if (a.active != nullptr) a.active->reset();
        if (a.fading != nullptr) a.fading->reset();
        for (int c = 0; c < channels; ++c) std::memset(a.wet[c], 0, bytes);
    }

    // Bypass ramps between the voice and the dry input, mute towards
    // silence. Settled, the output is the input itself or exact zeros.
    const bool bypassOn = e.bypass.load(std::memory_order_relaxed);
    const bool muteOn = e.mute.load(std::memory_order_relaxed);
    if (a.bypass.settled(bypassOn, length) && a.mute.settled(muteOn, length)) {
        for (int c = 0; c < channels; ++c) {
            if (muteOn) {
                std::memset(io[c], 0, bytes);
            } else {
                std::memcpy(io[c], bypassOn ? a.dry[c] : wet[c], bytes);
            }
        }
        return;
    }
    for (int i = 0; i < frames; ++i) {
        a.bypass.step(bypassOn, length);
        a.mute.step(muteOn, length);
        const float mix = a.bypass.gain(length);
        const float audible = 1.0f - a.mute.gain(length);
        for (int c = 0; c < channels; ++c) {
            const float w = wet[c][i], d = a.dry[c][i];
            const float v = mix >= 1.0f ? d : (mix <= 0.0f ? w : w + (d - w) * mix);
            io[c][i] = audible >= 1.0f ? v : v * audible;
        }
    }
}

std::int32_t processBlock(float* const* io, int channels, std::uint32_t frames) noexcept {
    Engine& e = engine();
    DenormalGuard guard;
    float* piece[kMaxChannels] = {io[0], channels > 1 ? io[1] : nullptr};
    for (std::uint32_t done = 0; done < frames;) {
        const int n = static_cast<int>(std::min<std::uint32_t>(kPieceFrames, frames - done));
        processPiece(e, piece, channels, n);
        for (int c = 0; c < channels; ++c) piece[c] += n;
        done += static_cast<std::uint32_t>(n);
    }
    return VCMD_OK;
}

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

std::string voiceInfoJson(const VoiceDef& voice) {
    nlohmann::json info;
    info["name"] = voice.name;
    info["package"] = voice.package != nullptr ? voice.package->path : std::string();
    info["packageId"] = voice.package != nullptr ? voice.package->id : 0;
    info["description"] = voice.description;
    bool background = false;
    for (const EffectDef& def : voice.effects) background = background || effectInfo(def.type).background;
    info["background"] = background;
    nlohmann::json params = nlohmann::json::array();
    for (const ParameterDef& p : voice.parameters) {
        params.push_back({{"name", p.name},
                          {"minimum", p.minimum},
                          {"maximum", p.maximum},
                          {"default", p.defaultValue},
                          {"unit", p.unit}});
    }
    info["parameters"] = std::move(params);
    return info.dump();
}

std::int32_t mount(Engine& e, const char* path, std::int32_t* packageId) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path file(path);
    if (file.is_relative() && !fs::exists(file, ec) && !e.contentPath.empty())
        file = fs::path(e.contentPath) / file;
    const std::string shown = file.string();
    if (!fs::exists(file, ec)) {
        setPackageRefusalDetail(VCMD_ERR_NO_SUCH_FILE, "no such file: " + shown);
        return VCMD_ERR_NO_SUCH_FILE;
    }
    fs::path canonical = fs::canonical(file, ec);
    if (ec) {
        setPackageRefusalDetail(VCMD_ERR_NO_SUCH_FILE, "no such file: " + shown);
        return VCMD_ERR_NO_SUCH_FILE;
    }
    const std::string key = canonical.string();
    if (auto found = e.packageByPath.find(key); found != e.packageByPath.end()) {
        *packageId = found->second;
        return VCMD_OK;
    }
    auto package = std::make_unique<Package>();
    std::string error;
    const std::int32_t code = readPackage(key, *package, error);
    if (code != VCMD_OK) {
        setPackageRefusalDetail(code, (code == VCMD_ERR_NO_SUCH_FILE ? "no such file: " : "invalid package: ") +
                                          key + ": " + error);
        return code;
    }
    package->id = static_cast<std::int32_t>(e.packages.size()) + 1;
    package->path = key;
    Package* added = package.get();
    e.packages.push_back(std::move(package));
    // Mounted whole or not at all: should memory run out half way, the
    // catalogue goes back to what it was.
    const std::size_t before = e.voices.size();
    try {
        for (VoiceDef& voice : added->voices) {
            voice.package = added;
            e.voices.push_back(&voice);
            e.voiceByName.emplace(std::string_view(voice.name), &voice);
        }
        e.packageByPath.emplace(key, added->id);
    } catch (...) {
        e.voices.resize(before);
        for (VoiceDef& voice : added->voices) {
            auto it = e.voiceByName.find(std::string_view(voice.name));
            if (it != e.voiceByName.end() && it->second == &voice) e.voiceByName.erase(it);
        }
        e.packageByPath.erase(key);
        e.packages.pop_back();
        throw;
    }
    *packageId = added->id;
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
    const VoiceDef* previous = e.voice;
    try {
        std::vector<float> values;
        values.reserve(found->second->parameters.size());
        for (const ParameterDef& p : found->second->parameters) values.push_back(p.defaultValue);
        e.voice = found->second;
        e.values.swap(values);
        const std::int32_t code = rebuildCurrent(e);
        if (code != VCMD_OK) {
            e.voice = previous;
            e.values.swap(values);
        }
        return code;
    } catch (...) {
        e.voice = previous;
        return VCMD_ERR_OUT_OF_MEMORY;
    }
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

namespace {

// Index of the current voice's parameter `name`, or -1 when there is no voice
// or it has no such parameter. Called with the control lock held.
int findParameter(const Engine& e, const char* name) {
    if (e.voice == nullptr) return -1;
    const auto& index = e.voice->parameterIndex;
    const auto found = index.find(std::string_view(name));
    return found == index.end() ? -1 : static_cast<int>(found->second);
}

}  // namespace

int32_t vcmdSetParameter(const char* name, float value) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    const int parameter = findParameter(e, name);
    if (parameter < 0) return VCMD_ERR_UNKNOWN_PARAMETER;
    const auto slot = static_cast<std::size_t>(parameter);
    const ParameterDef& p = e.voice->parameters[slot];
    if (!std::isfinite(value) || value < p.minimum || value > p.maximum) return VCMD_ERR_VALUE_OUT_OF_RANGE;
    e.values[slot] = value;
    if (e.posted != nullptr) e.posted->parameter(slot).store(value, std::memory_order_relaxed);
    return VCMD_OK;
}

int32_t vcmdGetParameter(const char* name, float* value) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (name == nullptr || value == nullptr) return VCMD_ERR_NULL_POINTER;
    Engine& e = engine();
    std::lock_guard<std::mutex> lock(e.control);
    const int parameter = findParameter(e, name);
    if (parameter < 0) return VCMD_ERR_UNKNOWN_PARAMETER;
    *value = e.values[static_cast<std::size_t>(parameter)];
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
    return processBlock(io, 1, frames);
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
    return processBlock(io, 2, frames);
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
    AudioState& a = e.audio;
    delete a.active;
    delete a.fading;
    delete a.unretired;
    a.active = a.fading = a.unretired = nullptr;
    a.crossfading = false;
    a.fade = a.bypass = a.mute = SwitchRamp{};
    delete e.mailbox.exchange(nullptr);
    e.retired.reclaim();
    e.posted = nullptr;
    e.voice = nullptr;
    e.values.clear();
    e.voiceByName.clear();
    e.voices.clear();
    e.packageByPath.clear();
    e.packages.clear();
    e.tempPath.clear();
    e.contentPath.clear();
    e.bypass.store(false);
    e.mute.store(false);
    e.offline.store(false);
    e.background.store(true);
    e.sampleRate.store(kDefaultSampleRate);
    e.latency.store(0);
    setPackageRefusalDetail(VCMD_OK, "");
    e.started.store(false, std::memory_order_release);
}

int32_t vcmdGetLatencyFrames(uint32_t* frames) noexcept {
    if (!isStarted()) return VCMD_ERR_NOT_STARTED;
    if (frames == nullptr) return VCMD_ERR_NULL_POINTER;
    *frames = engine().latency.load(std::memory_order_relaxed);
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
