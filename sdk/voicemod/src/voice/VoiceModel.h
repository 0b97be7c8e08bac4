// VoiceModel.h - the in-memory form of a mounted voice package: its voices,
// each an effect chain with its background layers and the parameters that
// steer their settings. The package reader fills it in; the chain and the
// effects are built from it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "voice/EffectCatalog.h"

namespace vcmd {

struct Package;

// Where a parameter writes: one setting of one effect (or background layer)
// of the voice. The parameter's range [min, max] maps linearly onto
// [from, to] of the setting.
struct ParameterTarget {
    int effect = 0;   // index into VoiceDef::effects
    int setting = 0;  // index into the effect type's settings
    float from = 0.0f;
    float to = 0.0f;
};

struct ParameterDef {
    std::string name;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
    std::string unit;
    std::vector<ParameterTarget> targets;

    // The setting value `value` of this parameter gives on target `t`.
    float mapped(const ParameterTarget& t, float value) const noexcept {
        if (maximum == minimum) return t.from;
        const float u = (value - minimum) / (maximum - minimum);
        return t.from + (t.to - t.from) * u;
    }
};

struct EffectDef {
    std::string id;
    EffectType type = EffectType::Gain;
    float settings[kMaxSettings] = {};
};

struct VoiceDef {
    std::string name;
    std::string description;
    // The effect chain in signal order, then the background layers; both
    // live in one list so parameters address them the same way.
    std::vector<EffectDef> effects;
    std::vector<ParameterDef> parameters;
    // Parameter name -> index into `parameters`. The keys view the names in
    // `parameters`, so a lookup by a caller's C string allocates nothing.
    std::unordered_map<std::string_view, int> parameterIndex;
    const Package* package = nullptr;
    // The voice's live parameter values, one slot per entry of `parameters`,
    // in its package's board; set when the package is mounted. Parameter
    // calls write and read them without a lock, and every chain built for
    // the voice reads them once per piece.
    std::atomic<float>* live = nullptr;
    // Seeds the voice's noise sources, so a voice always sounds the same.
    std::uint64_t seed = 0;
};

struct Package {
    std::int32_t id = 0;
    std::string path;  // canonical path of the file
    std::string title;
    std::vector<VoiceDef> voices;
    // The slots VoiceDef::live points into, for every voice of the package;
    // they live as long as the package does.
    std::unique_ptr<std::atomic<float>[]> board;
};

// Most parameters one voice may have (the package reader refuses more).
constexpr std::size_t kMaxVoiceParameters = 32;

}  // namespace vcmd
