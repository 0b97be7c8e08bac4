// EngineState.h - the engine's one process-wide state and the control-side
// operations on it.
//
// Control calls serialise on one mutex and may allocate. The audio path
// never takes that mutex: a new voice is built on the control thread and
// handed over through a single-slot mailbox (an atomic pointer); chains the
// audio thread has finished with go into a small lock-free retire list and
// are deleted by the next control call. Switches and parameter values are
// atomics read once per piece of at most kPieceFrames.
//
// Parameter calls take no lock either, so a host may automate parameters
// from its audio thread while a voice is being built. Each mounted voice
// keeps its values in slots of its package (VoiceDef::live) that every chain
// built for it follows, and the voice the parameter calls reach is published
// as an atomic pointer (liveVoice) with a generation count that a voice
// switch advances. A setter writes the slot of the voice it found and
// returns success only if no switch happened meanwhile, otherwise it writes
// the new voice; a switch waits, on the control thread, for the setters
// that began before it, so none of them can write a voice after that voice
// has been made current again and its values started over. Voices and
// their slots stay put until the engine is reset.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/AudioPath.h"
#include "engine/Chain.h"
#include "voice/Package.h"

namespace vcmd {

constexpr float kMinSampleRate = 8000.0f;
constexpr float kMaxSampleRate = 192000.0f;

// The audio side (AudioShared: switches, rate, mailbox, retire list, the
// audio thread's state) and the control side's own.
struct Engine : AudioShared {
    std::mutex control;
    std::atomic<bool> started{false};
    std::string tempPath;
    std::string contentPath;

    std::atomic<bool> offline{false};
    std::atomic<std::uint32_t> latency{0};

    // Catalogue, in mount order.
    std::vector<std::unique_ptr<Package>> packages;
    std::unordered_map<std::string, std::int32_t> packageByPath;
    std::vector<const VoiceDef*> voices;
    std::unordered_map<std::string_view, const VoiceDef*> voiceByName;  // earliest mount wins

    // The current voice as the control side sees it.
    const VoiceDef* voice = nullptr;
    Chain* posted = nullptr;  // newest chain handed to the audio thread
    // The current voice for the parameter calls: set once its slots hold
    // their starting values, before its chain is posted.
    std::atomic<const VoiceDef*> liveVoice{nullptr};
    // Advanced by every switch of liveVoice; setters in flight counted by the
    // parity of the generation they began in.
    std::atomic<std::uint64_t> voiceGeneration{0};
    std::atomic<std::uint32_t> settersInFlight[2] = {};
};

// The process-wide engine.
Engine& engine() noexcept;

bool isStarted() noexcept;

// The operations below are called with the control mutex held.

// Builds the chain of the current voice for the current settings and posts
// it to the audio thread; the chain follows the voice's live parameter
// values. VCMD_OK (also without a voice), VCMD_ERR_OUT_OF_MEMORY or
// VCMD_ERR_INTERNAL.
std::int32_t rebuildCurrent(Engine& e) noexcept;

// Builds `voice`'s chain for the current settings, starting from its
// default parameter values and following its live slots, and makes it the
// current voice: its slots go back to their defaults, the parameter calls
// reach it from then on, and only then is the chain posted to the audio
// thread, so the voice heard and the voice written are never two. Returns
// once no parameter call that began before the switch is still running.
// Should the chain not be built, nothing has changed. VCMD_OK,
// VCMD_ERR_OUT_OF_MEMORY or VCMD_ERR_INTERNAL.
std::int32_t switchVoice(Engine& e, const VoiceDef& voice) noexcept;

// [any thread, lock-free] Sets the current voice's parameter `name`
// (VoicemodUSDK.h, vcmdSetParameter). Allocates nothing, takes no lock;
// tries again only when a voice switch completed while it wrote.
std::int32_t setLiveParameter(Engine& e, const char* name, float value) noexcept;

// Mounts the package at `path` (relative paths also under the content path)
// and sets *packageId; an already mounted file gives its old id. Refusals set
// the package refusal detail. Throws std::bad_alloc, leaving the catalogue
// as it was.
std::int32_t mount(Engine& e, const char* path, std::int32_t* packageId);

// Index of `voice`'s parameter `name`, or -1 when there is no voice or it
// has no such parameter. Takes no lock and allocates nothing.
int findParameter(const VoiceDef* voice, const char* name) noexcept;

// The JSON description of a mounted voice (see vcmdGetVoiceInfoJson).
// Throws std::bad_alloc.
std::string voiceInfoJson(const VoiceDef& voice);

// Back to the never-started state. Must not run while a process call or a
// parameter call does.
void resetEngine(Engine& e) noexcept;

}  // namespace vcmd
