#include "Chain.h"

#include "Effect.h"

namespace vcmd {

Chain::Chain(const VoiceDef& voice, const ChainConfig& config) : voice_(&voice), config_(config) {
    parameterCount_ = voice.parameters.size();
    parameters_ = std::make_unique<std::atomic<float>[]>(parameterCount_);
}

Chain::~Chain() = default;

void Chain::applyParameters() noexcept {}

void Chain::process(float* const*, int, int, bool) noexcept {}

void Chain::reset() noexcept {}

}  // namespace vcmd
