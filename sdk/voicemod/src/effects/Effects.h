// Effects.h - creates the effect or background layer a package entry names.
#pragma once

#include <cstdint>
#include <memory>

#include "effects/Effect.h"
#include "effects/Generator.h"
#include "effects/ChainConfig.h"
#include "voice/VoiceModel.h"

namespace vcmd {

// Builds `def` for `config`, sized for kMaxChannels channels, its settings
// applied without a glide. `seed` seeds its noise source, if it has one.
// Allocates; throws std::bad_alloc.
// Null for a background layer (effectInfo(type).background): makeGenerator.
std::unique_ptr<Effect> makeEffect(const EffectDef& def, const ChainConfig& config, std::uint64_t seed);

// Builds the background layer `def` for `config`, its settings applied
// without a glide, its noise (if any) seeded with `seed`. Null for an
// effect. Allocates; throws std::bad_alloc.
std::unique_ptr<Generator> makeGenerator(const EffectDef& def, const ChainConfig& config, std::uint64_t seed);

}  // namespace vcmd
