// Package.h - the in-memory form of a mounted voice package and the strict
// reader that turns a .zvmd file into it. The file format is described in
// docs/VOICE_PACKAGES.md.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "EffectCatalog.h"

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

// Largest package file the reader accepts.
constexpr std::uintmax_t kMaxPackageBytes = 1024u * 1024u;
// Most parameters one voice may have.
constexpr std::size_t kMaxVoiceParameters = 32;
// Longest voice or parameter name, in bytes without the NUL.
constexpr std::size_t kMaxNameBytes = 99;

// Reads and checks the package at `path` (UTF-8, already canonical). On success
// fills `out` and returns VCMD_OK; otherwise returns VCMD_ERR_NO_SUCH_FILE or
// VCMD_ERR_INVALID_PACKAGE and a one-line reason in `error` ("voices[1].name
// is empty"). Allocates; may throw std::bad_alloc.
std::int32_t readPackage(const std::string& path, Package& out, std::string& error);

// Same checks on a document already in memory (used by the reader and the
// tests); `path` only names the source in messages.
std::int32_t parsePackage(const std::string& text, Package& out, std::string& error);

}  // namespace vcmd
