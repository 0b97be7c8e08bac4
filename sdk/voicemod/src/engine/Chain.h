// Chain.h - one voice made audible: the effects of a VoiceDef configured for
// a sample rate, plus the parameter slots the control thread writes and the
// audio thread reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/Limiter.h"
#include "dsp/Piece.h"
#include "effects/ChainConfig.h"
#include "voice/VoiceModel.h"

namespace vcmd {

class Effect;
class Generator;

class Chain {
public:
    // Builds and configures every effect: all allocation happens here, on the
    // calling (control) thread. `values` holds one starting value per
    // parameter (null: the defaults, or with `shared` the values in those
    // slots now). With `shared`, one slot per parameter owned by someone else
    // (the voice's live values, which outlive the chain), the chain follows
    // those slots instead of its own: a slot that differs from the starting
    // value when the chain first runs is a change, taken up as any other.
    // Throws std::bad_alloc when memory runs out.
    Chain(const VoiceDef& voice, const ChainConfig& config, const float* values = nullptr,
          std::atomic<float>* shared = nullptr);
    ~Chain();
    Chain(const Chain&) = delete;
    Chain& operator=(const Chain&) = delete;

    const VoiceDef& voice() const noexcept { return *voice_; }
    const ChainConfig& config() const noexcept { return config_; }

    // Parameter slots, one per VoiceDef::parameters entry, written by control
    // calls and read once per piece by the audio thread.
    std::atomic<float>& parameter(std::size_t index) noexcept { return slots_[index]; }
    std::size_t parameterCount() const noexcept { return parameterCount_; }

    // [audio-thread] Processes `frames` (<= kPieceFrames) frames of
    // `channels` (1 or 2) channels in place. `background` says whether the
    // background layers should be heard; their level ramps towards it.
    void process(float* const* io, int channels, int frames, bool background) noexcept;

    // [audio-thread] Clears every effect's history (used after a non-finite
    // value escaped into the state). Does not allocate.
    void reset() noexcept;

    // Delay the chain adds, in frames at its sample rate.
    std::uint32_t latencyFrames() const noexcept { return latency_; }

private:
    void applyParameters() noexcept;
    // Moves a setting of the effect or layer at VoiceDef index `effectIndex`.
    void setTarget(int effectIndex, int setting, float value) noexcept;

    const VoiceDef* voice_;
    ChainConfig config_;
    std::vector<std::unique_ptr<Effect>> effects_;      // in signal order
    std::vector<std::unique_ptr<Generator>> backgrounds_;  // the background layers
    std::vector<Effect*> hearing_;  // effects that follow the voice's input
    std::vector<int> effectSlot_;  // VoiceDef effect index -> effects_/backgrounds_ index
    std::unique_ptr<std::atomic<float>[]> ownSlots_;  // without shared slots
    std::atomic<float>* slots_ = nullptr;            // the slots read once per piece
    std::vector<float> applied_;
    std::size_t parameterCount_ = 0;
    std::uint32_t latency_ = 0;
    float backgroundGain_ = 0.0f;
    float backgroundStep_ = 0.0f;
    float layerBuffer_[kPieceFrames] = {};
    Limiter limiter_;  // the output stage
};

static_assert(kPieceFrames <= Limiter::kMaxFrames, "the limiter takes a whole piece at a time");

}  // namespace vcmd
