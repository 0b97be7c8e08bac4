// Effects.h - creates the effect or background layer a package entry names.
#pragma once

#include <cstdint>
#include <memory>

#include "effects/Effect.h"
#include "effects/ChainConfig.h"
#include "voice/VoiceModel.h"

namespace vcmd {

// Builds `def` for `config`, sized for kMaxChannels channels, its settings
// applied without a glide. `seed` seeds its noise source, if it has one.
// Allocates; throws std::bad_alloc.
std::unique_ptr<Effect> makeEffect(const EffectDef& def, const ChainConfig& config, std::uint64_t seed);

}  // namespace vcmd
