// AudioPath.h - what the audio thread owns and does: the switch ramps, the
// voices it is running, and the processing of one block.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/Chain.h"

namespace vcmd {

constexpr float kDefaultSampleRate = 48000.0f;
constexpr int kRetireSlots = 16;

// Length of every switch ramp: bypass, mute and the crossfade between voices.
constexpr double kRampSeconds = 0.005;

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

// State owned by the audio thread: by whichever thread holds `inside`.
struct AudioState {
    // Set while a thread runs a process function. The engine has one audio
    // state, so a second thread that finds it set is turned away rather than
    // made to wait; acquiring and releasing it also orders everything below
    // between audio threads that take turns.
    std::atomic<bool> inside{false};
    Chain* active = nullptr;        // the voice heard now (null: dry)
    Chain* fading = nullptr;        // the voice fading out (null: dry)
    bool crossfading = false;
    SwitchRamp fade;                // 0 old voice .. length new voice
    std::uint32_t fadeWait = 0;     // frames until the new voice sounds (its latency)
    SwitchRamp bypass;              // 0 voice .. length dry input
    SwitchRamp mute;                // 0 heard .. length silent
    std::uint32_t rampLength = 240;
    Chain* unretired = nullptr;     // waits for room in the retire list
    float dry[kMaxChannels][kPieceFrames] = {};
    float wet[kMaxChannels][kPieceFrames] = {};
    float old[kMaxChannels][kPieceFrames] = {};
};

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

// The part of the engine the audio path reads and writes: the switches and
// the rate (written by control calls, read once per piece), the mailbox a
// new voice arrives in, the retire list finished voices leave by, and the
// audio thread's own state. The engine's state (EngineState.h) is made of
// it and the control side's catalogue.
struct AudioShared {
    std::atomic<bool> bypass{false};
    std::atomic<bool> mute{false};
    std::atomic<bool> background{true};
    std::atomic<float> sampleRate{kDefaultSampleRate};

    std::atomic<Chain*> mailbox{nullptr};
    RetireList retired;
    AudioState audio;
};

// [audio-thread] Runs `frames` frames of `channels` (1 or 2) channels in
// place through the engine's audio side, in pieces of at most kPieceFrames.
// No lock, no allocation, no system call, never waits. Returns VCMD_OK, or
// VCMD_ERR_CONCURRENT_PROCESS with the samples untouched when another thread
// is inside it.
std::int32_t processBlock(AudioShared& e, float* const* io, int channels, std::uint32_t frames) noexcept;

}  // namespace vcmd
