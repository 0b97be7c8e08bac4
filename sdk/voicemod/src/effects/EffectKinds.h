// EffectKinds.h - the makers of each kind of effect, one file per family
// (PitchEffect.cpp, Modulation.cpp, Filters.cpp, NonLinear.cpp, Delays.cpp,
// Level.cpp, Layers.cpp); makeEffect() and makeGenerator() pick among them
// by type. Each
// allocates; throws std::bad_alloc.
#pragma once

#include <cstdint>
#include <memory>

#include "dsp/Dsp.h"
#include "effects/ChainConfig.h"
#include "effects/Effect.h"
#include "effects/Generator.h"
#include "voice/VoiceModel.h"

namespace vcmd {

std::unique_ptr<Effect> makePitchEffect(const EffectDef& def, const ChainConfig& config);
std::unique_ptr<Effect> makeRingMod(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeNoiseMod(const EffectDef& def, double sampleRate, std::uint64_t seed);
std::unique_ptr<Effect> makeWhisper(const EffectDef& def, double sampleRate, std::uint64_t seed);
std::unique_ptr<Effect> makeTremolo(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeFilter(const EffectDef& def, double sampleRate, FilterKind kind);
std::unique_ptr<Effect> makeBand(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeDistortion(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeBitCrush(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeEcho(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeChorus(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeReverb(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeGain(const EffectDef& def, double sampleRate);
std::unique_ptr<Effect> makeLoudnessMatch(const EffectDef& def, double sampleRate);
std::unique_ptr<Generator> makeNoiseLayer(const EffectDef& def, double sampleRate, std::uint64_t seed);
std::unique_ptr<Generator> makeHumLayer(const EffectDef& def, double sampleRate);
std::unique_ptr<Generator> makeToneLayer(const EffectDef& def, double sampleRate);

}  // namespace vcmd
