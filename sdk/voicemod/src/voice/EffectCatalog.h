// EffectCatalog.h - every effect type a voice can use, with the names,
// legal ranges and defaults of its settings. The package reader checks
// against this table and the chain builder creates effects from it.
#pragma once

#include <cstring>

namespace vcmd {

enum class EffectType {
    PitchShift,
    RingMod,
    NoiseMod,
    Whisper,
    LowPass,
    HighPass,
    BandPass,
    Peaking,
    Band,
    Distortion,
    BitCrush,
    Echo,
    Chorus,
    Tremolo,
    Reverb,
    Gain,
    LoudnessMatch,
    // Background layers: generated sound mixed after the chain while
    // background sounds are enabled.
    WhiteNoise,
    PinkNoise,
    BrownNoise,
    Hum,
    Tone,
};

constexpr int kMaxSettings = 5;

struct SettingInfo {
    const char* name;
    float minimum;
    float maximum;
    float defaultValue;
    const char* unit;
};

struct EffectInfo {
    EffectType type;
    const char* name;  // the "type" string in a package
    bool background;
    int settingCount;
    SettingInfo settings[kMaxSettings];
};

// The value a pitch effect's "formant" setting holds when its package leaves
// it out: the formants then follow "semitones" (move with the pitch, as on a
// tape played faster or slower) until a parameter sets them.
constexpr float kFormantFollowsPitch = -1.0e9f;

// A pitch effect's "synthesis" setting: the grain shifter alone, or with
// its voiced parts made pitch-synchronously on the pitch tracker's marks.
constexpr float kSynthesisPitchSynchronous = 1.0f;

// Upper bounds the effects allocate for, whatever the settings.
constexpr float kMaxEchoMs = 2000.0f;
constexpr float kMaxChorusDelayMs = 40.0f;
constexpr float kMaxChorusDepthMs = 15.0f;

inline constexpr EffectInfo kEffectInfos[] = {
    {EffectType::PitchShift, "pitch", false, 3,
     {{"semitones", -12.0f, 12.0f, 0.0f, "st"},
      {"formant", -12.0f, 12.0f, 0.0f, "st"},
      {"synthesis", 0.0f, 1.0f, 0.0f, ""}}},
    {EffectType::RingMod, "ringmod", false, 2,
     {{"frequency", 1.0f, 5000.0f, 30.0f, "Hz"}, {"mix", 0.0f, 1.0f, 1.0f, ""}}},
    {EffectType::NoiseMod, "noisemod", false, 1, {{"mix", 0.0f, 1.0f, 1.0f, ""}}},
    {EffectType::Whisper, "whisper", false, 1, {{"mix", 0.0f, 1.0f, 1.0f, ""}}},
    {EffectType::LowPass, "lowpass", false, 2,
     {{"frequency", 20.0f, 20000.0f, 1000.0f, "Hz"}, {"q", 0.1f, 20.0f, 0.7071f, ""}}},
    {EffectType::HighPass, "highpass", false, 2,
     {{"frequency", 20.0f, 20000.0f, 1000.0f, "Hz"}, {"q", 0.1f, 20.0f, 0.7071f, ""}}},
    {EffectType::BandPass, "bandpass", false, 2,
     {{"frequency", 20.0f, 20000.0f, 1000.0f, "Hz"}, {"q", 0.1f, 20.0f, 0.7071f, ""}}},
    {EffectType::Peaking, "peaking", false, 3,
     {{"frequency", 20.0f, 20000.0f, 1000.0f, "Hz"},
      {"q", 0.1f, 20.0f, 0.7071f, ""},
      {"gain_db", -24.0f, 24.0f, 0.0f, "dB"}}},
    {EffectType::Band, "band", false, 2,
     {{"low", 20.0f, 20000.0f, 300.0f, "Hz"}, {"high", 20.0f, 20000.0f, 3400.0f, "Hz"}}},
    {EffectType::Distortion, "distortion", false, 2,
     {{"drive_db", 0.0f, 48.0f, 12.0f, "dB"}, {"mix", 0.0f, 1.0f, 1.0f, ""}}},
    {EffectType::BitCrush, "bitcrush", false, 4,
     {{"bits", 1.0f, 24.0f, 8.0f, "bits"},
      {"downsample", 1.0f, 64.0f, 1.0f, "x"},
      {"mix", 0.0f, 1.0f, 1.0f, ""},
      {"relative", 0.0f, 1.0f, 0.0f, ""}}},
    {EffectType::Echo, "echo", false, 3,
     {{"delay_ms", 1.0f, kMaxEchoMs, 250.0f, "ms"}, {"feedback", 0.0f, 0.95f, 0.3f, ""}, {"mix", 0.0f, 1.0f, 0.4f, ""}}},
    {EffectType::Chorus, "chorus", false, 5,
     {{"delay_ms", 0.5f, kMaxChorusDelayMs, 15.0f, "ms"},
      {"depth_ms", 0.0f, kMaxChorusDepthMs, 3.0f, "ms"},
      {"rate_hz", 0.01f, 20.0f, 0.8f, "Hz"},
      {"feedback", -0.95f, 0.95f, 0.0f, ""},
      {"mix", 0.0f, 1.0f, 0.5f, ""}}},
    {EffectType::Tremolo, "tremolo", false, 2,
     {{"rate_hz", 0.1f, 40.0f, 5.0f, "Hz"}, {"depth", 0.0f, 1.0f, 0.5f, ""}}},
    {EffectType::Reverb, "reverb", false, 3,
     {{"size", 0.0f, 1.0f, 0.5f, ""}, {"damping", 0.0f, 1.0f, 0.5f, ""}, {"mix", 0.0f, 1.0f, 0.3f, ""}}},
    {EffectType::Gain, "gain", false, 1, {{"gain_db", -60.0f, 24.0f, 0.0f, "dB"}}},
    {EffectType::LoudnessMatch, "loudness_match", false, 1, {{"range_db", 0.0f, 12.0f, 6.0f, "dB"}}},
    {EffectType::WhiteNoise, "white_noise", true, 1, {{"level_db", -100.0f, 0.0f, -40.0f, "dB"}}},
    {EffectType::PinkNoise, "pink_noise", true, 1, {{"level_db", -100.0f, 0.0f, -40.0f, "dB"}}},
    {EffectType::BrownNoise, "brown_noise", true, 1, {{"level_db", -100.0f, 0.0f, -40.0f, "dB"}}},
    {EffectType::Hum, "hum", true, 2,
     {{"frequency", 40.0f, 70.0f, 50.0f, "Hz"}, {"level_db", -100.0f, 0.0f, -40.0f, "dB"}}},
    {EffectType::Tone, "tone", true, 3,
     {{"frequency", 20.0f, 8000.0f, 220.0f, "Hz"},
      {"wobble_hz", 0.0f, 10.0f, 0.0f, "Hz"},
      {"level_db", -100.0f, 0.0f, -40.0f, "dB"}}},
};

inline const EffectInfo* findEffectInfo(const char* name) noexcept {
    for (const EffectInfo& info : kEffectInfos)
        if (std::strcmp(info.name, name) == 0) return &info;
    return nullptr;
}

inline const EffectInfo& effectInfo(EffectType type) noexcept {
    for (const EffectInfo& info : kEffectInfos)
        if (info.type == type) return info;
    return kEffectInfos[0];
}

inline int findSetting(const EffectInfo& info, const char* name) noexcept {
    for (int i = 0; i < info.settingCount; ++i)
        if (std::strcmp(info.settings[i].name, name) == 0) return i;
    return -1;
}

}  // namespace vcmd
