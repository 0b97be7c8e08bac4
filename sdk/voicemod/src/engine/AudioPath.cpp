// AudioPath.cpp - the audio thread's side of the engine: take a posted
// voice, run the voices, crossfade, apply bypass and mute.
#include "engine/AudioPath.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "dsp/Denormals.h"
#include "VoicemodUSDKResults.h"

namespace vcmd {
namespace {

void retire(AudioState& a, AudioShared& e, Chain* chain) noexcept {
    if (chain == nullptr) return;
    if (!e.retired.push(chain)) a.unretired = chain;
}

void processPiece(AudioShared& e, float* const* io, int channels, int frames) noexcept {
    AudioState& a = e.audio;
    const float rate = e.sampleRate.load(std::memory_order_relaxed);
    const auto length = static_cast<std::uint32_t>(std::max(1.0, std::round(kRampSeconds * rate)));
    if (length != a.rampLength) {
        a.fade.rescale(a.rampLength, length);
        a.bypass.rescale(a.rampLength, length);
        a.mute.rescale(a.rampLength, length);
        a.rampLength = length;
    }

    if (a.unretired != nullptr && e.retired.push(a.unretired)) a.unretired = nullptr;
    if (!a.crossfading && a.unretired == nullptr) {
        if (Chain* next = e.mailbox.exchange(nullptr, std::memory_order_acq_rel)) {
            a.fading = a.active;
            a.active = next;
            a.crossfading = true;
            a.fade.position = 0;
            a.fadeWait = next->latencyFrames();
        }
    }

    // The dry signal: the input with anything non-finite replaced by 0, so
    // neither a voice nor the bypass path can pass it on.
    for (int c = 0; c < channels; ++c) {
        const float* in = io[c];
        float* dry = a.dry[c];
        for (int i = 0; i < frames; ++i) dry[i] = std::isfinite(in[i]) ? in[i] : 0.0f;
    }

    const bool bg = e.background.load(std::memory_order_relaxed);
    const auto bytes = sizeof(float) * static_cast<std::size_t>(frames);
    float* wet[kMaxChannels] = {a.wet[0], a.wet[1]};
    for (int c = 0; c < channels; ++c) std::memcpy(a.wet[c], a.dry[c], bytes);
    if (a.active != nullptr) a.active->process(wet, channels, frames, bg);

    if (a.crossfading) {
        float* old[kMaxChannels] = {a.old[0], a.old[1]};
        for (int c = 0; c < channels; ++c) std::memcpy(a.old[c], a.dry[c], bytes);
        if (a.fading != nullptr) a.fading->process(old, channels, frames, bg);
        for (int i = 0; i < frames; ++i) {
            // The old voice goes on alone until the new one's delay has
            // passed, so the crossfade meets the new voice's sound rather
            // than the silence before it.
            if (a.fadeWait > 0) {
                --a.fadeWait;
                for (int c = 0; c < channels; ++c) wet[c][i] = old[c][i];
                continue;
            }
            a.fade.step(true, length);
            if (a.fade.position >= length) break;  // the rest of the piece is the new voice alone
            const float g = a.fade.gain(length);
            for (int c = 0; c < channels; ++c) wet[c][i] = old[c][i] + (wet[c][i] - old[c][i]) * g;
        }
        if (a.fade.position >= length) {
            a.crossfading = false;
            retire(a, e, a.fading);
            a.fading = nullptr;
        }
    }

    // A voice must never put out anything non-finite; if it did, its state is
    // cleared and this piece is silent.
    bool finite = true;
    for (int c = 0; c < channels; ++c)
        for (int i = 0; i < frames; ++i) finite &= std::isfinite(wet[c][i]);
    if (!finite) {
        if (a.active != nullptr) a.active->reset();
        if (a.fading != nullptr) a.fading->reset();
        for (int c = 0; c < channels; ++c) std::memset(a.wet[c], 0, bytes);
    }

    // Bypass ramps between the voice and the dry input, mute towards
    // silence. Settled, the output is the input itself or exact zeros.
    const bool bypassOn = e.bypass.load(std::memory_order_relaxed);
    const bool muteOn = e.mute.load(std::memory_order_relaxed);
    if (a.bypass.settled(bypassOn, length) && a.mute.settled(muteOn, length)) {
        for (int c = 0; c < channels; ++c) {
            if (muteOn) {
                std::memset(io[c], 0, bytes);
            } else {
                std::memcpy(io[c], bypassOn ? a.dry[c] : wet[c], bytes);
            }
        }
        return;
    }
    for (int i = 0; i < frames; ++i) {
        a.bypass.step(bypassOn, length);
        a.mute.step(muteOn, length);
        const float mix = a.bypass.gain(length);
        const float audible = 1.0f - a.mute.gain(length);
        for (int c = 0; c < channels; ++c) {
            const float w = wet[c][i], d = a.dry[c][i];
            const float v = mix >= 1.0f ? d : (mix <= 0.0f ? w : w + (d - w) * mix);
            io[c][i] = audible >= 1.0f ? v : v * audible;
        }
    }
}

}  // namespace

static_assert(std::atomic<bool>::is_always_lock_free, "the audio path must not lock");

std::int32_t processBlock(AudioShared& e, float* const* io, int channels, std::uint32_t frames) noexcept {
    // Two threads running the one audio state at once would share its voices:
    // one could retire a voice (and a control call delete it) while the other
    // still runs it. The second is turned away instead.
    if (e.audio.inside.exchange(true, std::memory_order_acquire)) return VCMD_ERR_CONCURRENT_PROCESS;
    {
        DenormalGuard guard;
        float* piece[kMaxChannels] = {io[0], channels > 1 ? io[1] : nullptr};
        for (std::uint32_t done = 0; done < frames;) {
            const int n = static_cast<int>(std::min<std::uint32_t>(kPieceFrames, frames - done));
            processPiece(e, piece, channels, n);
            for (int c = 0; c < channels; ++c) piece[c] += n;
            done += static_cast<std::uint32_t>(n);
        }
    }
    e.audio.inside.store(false, std::memory_order_release);
    return VCMD_OK;
}

}  // namespace vcmd
