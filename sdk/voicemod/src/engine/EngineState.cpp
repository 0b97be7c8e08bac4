// EngineState.cpp - the process-wide engine and what control calls do to
// it: post a voice to the audio thread, mount a package, describe a voice,
// start over.
#include "engine/EngineState.h"

#include <cmath>
#include <filesystem>
#include <new>
#include <thread>

#include <nlohmann/json.hpp>

#include "engine/Results.h"
#include "VoicemodUSDKResults.h"

namespace vcmd {
namespace {

// Hands `chain` to the audio thread. A chain still waiting in the mailbox
// was never seen by the audio thread and is deleted here. Caller holds the
// control mutex.
void postChain(Engine& e, Chain* chain) noexcept {
    e.retired.reclaim();
    delete e.mailbox.exchange(chain, std::memory_order_acq_rel);
    e.posted = chain;
    e.latency.store(chain != nullptr ? chain->latencyFrames() : 0, std::memory_order_relaxed);
}

}  // namespace

Engine& engine() noexcept {
    static Engine instance;
    return instance;
}

bool isStarted() noexcept { return engine().started.load(std::memory_order_acquire); }

namespace {

// Builds a chain of `voice` for the engine's current settings, following the
// voice's live slots and starting from `values` (null: from those slots).
std::int32_t buildChain(const Engine& e, const VoiceDef& voice, const float* values, Chain** chain) noexcept {
    try {
        ChainConfig config;
        config.sampleRate = e.sampleRate.load(std::memory_order_relaxed);
        config.offline = e.offline.load(std::memory_order_relaxed);
        *chain = std::make_unique<Chain>(voice, config, values, voice.live).release();
        return VCMD_OK;
    } catch (const std::bad_alloc&) {
        return VCMD_ERR_OUT_OF_MEMORY;
    } catch (...) {
        return VCMD_ERR_INTERNAL;
    }
}

}  // namespace

std::int32_t rebuildCurrent(Engine& e) noexcept {
    if (e.voice == nullptr) return VCMD_OK;
    Chain* chain = nullptr;
    const std::int32_t code = buildChain(e, *e.voice, nullptr, &chain);
    if (code == VCMD_OK) postChain(e, chain);
    return code;
}

std::int32_t switchVoice(Engine& e, const VoiceDef& voice) noexcept {
    const std::size_t count = voice.parameters.size();
    if (count > kMaxVoiceParameters) return VCMD_ERR_INTERNAL;  // the reader refuses such voices
    float defaults[kMaxVoiceParameters] = {};
    for (std::size_t i = 0; i < count; ++i) defaults[i] = voice.parameters[i].defaultValue;
    // Everything that can fail comes first and touches nothing shared.
    Chain* chain = nullptr;
    const std::int32_t code = buildChain(e, voice, defaults, &chain);
    if (code != VCMD_OK) return code;

    // The voice starts over from its defaults. When it is the current voice
    // again, a setter may still be writing these slots; what it writes after
    // this point is kept by the new chain, which follows the slots.
    for (std::size_t i = 0; i < count; ++i) voice.live[i].store(defaults[i], std::memory_order_relaxed);
    e.voice = &voice;
    // Published before the audio thread can take the chain: from the moment
    // the new voice sounds, the parameter calls reach it. The release orders
    // the defaults above before any setter's write to a slot it finds here.
    e.liveVoice.store(&voice, std::memory_order_release);
    const std::uint64_t before = e.voiceGeneration.fetch_add(1, std::memory_order_seq_cst);
    postChain(e, chain);
    // A setter that began before the switch has either seen the new
    // generation on its second look (and backs off) or is counted here.
    // Waiting for those keeps any of them from writing this voice's slots
    // later, after a following switch has started it over again.
    const std::atomic<std::uint32_t>& earlier = e.settersInFlight[before & 1];
    while (earlier.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
    return VCMD_OK;
}

std::int32_t setLiveParameter(Engine& e, const char* name, float value) noexcept {
    for (;;) {
        const std::uint64_t generation = e.voiceGeneration.load(std::memory_order_seq_cst);
        std::atomic<std::uint32_t>& inFlight = e.settersInFlight[generation & 1];
        inFlight.fetch_add(1, std::memory_order_seq_cst);
        // A switch between the two looks: counted under the wrong generation,
        // so step out and start again under the new one.
        if (e.voiceGeneration.load(std::memory_order_seq_cst) != generation) {
            inFlight.fetch_sub(1, std::memory_order_release);
            continue;
        }
        const VoiceDef* voice = e.liveVoice.load(std::memory_order_acquire);
        const int parameter = findParameter(voice, name);
        std::int32_t code = VCMD_OK;
        if (parameter < 0) {
            code = VCMD_ERR_UNKNOWN_PARAMETER;
        } else {
            const auto slot = static_cast<std::size_t>(parameter);
            const ParameterDef& p = voice->parameters[slot];
            if (!std::isfinite(value) || value < p.minimum || value > p.maximum)
                code = VCMD_ERR_VALUE_OUT_OF_RANGE;
            else
                voice->live[slot].store(value, std::memory_order_relaxed);
        }
        // The answer holds for the voice current now: if a switch completed
        // while this call wrote, the value went to the voice before it, and
        // the call is made again on the new one.
        const bool switched = e.voiceGeneration.load(std::memory_order_seq_cst) != generation;
        inFlight.fetch_sub(1, std::memory_order_release);
        if (!switched) return code;
    }
}

int findParameter(const VoiceDef* voice, const char* name) noexcept {
    if (voice == nullptr) return -1;
    const auto& index = voice->parameterIndex;
    const auto found = index.find(std::string_view(name));
    return found == index.end() ? -1 : static_cast<int>(found->second);
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
    // Paths cross the C interface as UTF-8; convert explicitly so that on
    // Windows nothing goes through the ANSI code page.
    fs::path file = fs::u8path(path);
    // A relative path that is not there is looked up in the content folder.
    // One that cannot be looked at (its folder can be listed but not
    // entered) is refused as given, with the reason.
    const bool present = fs::exists(file, ec);
    if (ec) {
        setPackageRefusalDetail(VCMD_ERR_NO_SUCH_FILE, "no such file: " + file.u8string() + ": " + ec.message());
        return VCMD_ERR_NO_SUCH_FILE;
    }
    if (!present && file.is_relative() && !e.contentPath.empty()) file = fs::u8path(e.contentPath) / file;
    const std::string shown = file.u8string();
    if (!fs::exists(file, ec)) {
        setPackageRefusalDetail(VCMD_ERR_NO_SUCH_FILE, "no such file: " + shown);
        return VCMD_ERR_NO_SUCH_FILE;
    }
    fs::path canonical = fs::canonical(file, ec);
    if (ec) {
        setPackageRefusalDetail(VCMD_ERR_NO_SUCH_FILE, "no such file: " + shown);
        return VCMD_ERR_NO_SUCH_FILE;
    }
    const std::string key = canonical.u8string();
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
    // One board for the live parameter values of all the package's voices,
    // each voice's slots starting at its defaults.
    std::size_t slots = 0;
    for (const VoiceDef& voice : package->voices) slots += voice.parameters.size();
    package->board = std::make_unique<std::atomic<float>[]>(slots > 0 ? slots : 1);
    std::size_t next = 0;
    for (VoiceDef& voice : package->voices) {
        voice.live = package->board.get() + next;
        for (const ParameterDef& p : voice.parameters) package->board[next++].store(p.defaultValue);
    }
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

void resetEngine(Engine& e) noexcept {
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
    e.liveVoice.store(nullptr);
    e.voice = nullptr;
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

}  // namespace vcmd
