#include "corvane/voicemod/VoicemodNode.h"

#include <VoicemodUSDK.h>

#include <corvane/AudioBuffer.h>
#include <corvane/Logger.h>

#include <cstdint>
#include <cstring>

#include "Failure.h"
#include "SdkExtras.h"

namespace corvane::extensions::voicemod {
namespace {

// Size of the buffer handed to vcmdGetCurrentVoice, NUL included.
constexpr std::uint32_t kVoiceNameBufferSize = 100;

using detail::failWith;
using detail::number;
using detail::inQuotes;

// Logs a failure on the graph path. Logging may itself fail (no memory for
// the message, a throwing sink); that must not escape to the host's thread.
void logGraphFailure(const char* message) noexcept {
    try {
        Logger::error(message);
    } catch (...) {
    }
}

}  // namespace

VoicemodNode::VoicemodNode() = default;
VoicemodNode::~VoicemodNode() = default;

bool VoicemodNode::setBusFormat(AudioBusFormat& inputBusFormat, AudioBusFormat& outputBusFormat) {
    try {
        if (!AudioBusFormat::matchBusFormats(inputBusFormat, outputBusFormat)) return false;
        // Read after matching: matching may have filled the input's rate in.
        const float sampleRate = static_cast<float>(inputBusFormat.sampleRate);
        if (vcmdSetSampleRate(sampleRate) != 0) {
            logGraphFailure("Could not set sample rate.");
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool VoicemodNode::process(AudioBus& inputBus, AudioBus& outputBus) {
    try {
        outputBus.copyFrom(inputBus);
        AudioBuffer<float>* buffer = outputBus.buffer;
        if (buffer == nullptr) return false;
        const std::uint32_t channels = buffer->getNumberOfChannels();
        const std::uint32_t frames = buffer->getNumberOfFrames();
        // An empty block is processed trivially. A buffer of no frames may
        // have no storage at all (null channel pointers), which the voice
        // changer would refuse as a null pointer.
        if (channels == 0 || frames == 0) return true;
        const std::int32_t code =
            channels == 1 ? vcmdProcessBuffer(buffer->getWritePointer(0), frames)
                          : vcmdProcessStereoBuffer(buffer->getWritePointer(0), buffer->getWritePointer(1), frames);
        if (code != 0) {
            logGraphFailure("Voicemod could not process buffer.");
            return false;
        }
        return true;
    } catch (...) {
        return false;
    }
}

bool VoicemodNode::loadVoice(const std::string& voiceName) {
    const std::int32_t code = vcmdLoadVoice(voiceName.c_str(), 0, 0);
    if (code != 0) failWith("Could not load voice.", code, inQuotes(voiceName));
    return true;
}

std::string VoicemodNode::getCurrentVoice() const {
    char voiceName[kVoiceNameBufferSize] = {};
    std::uint32_t maxVoiceNameLength = kVoiceNameBufferSize;
    const std::int32_t code = vcmdGetCurrentVoice(voiceName, &maxVoiceNameLength);
    if (code != 0) failWith("Could not get current voice name.", code);
    // The length written back is not trusted: the name ends at its first NUL
    // or at the end of the buffer.
    return std::string(voiceName, strnlen(voiceName, kVoiceNameBufferSize));
}

#define CORVANE_VOICEMOD_SWITCH(Getter, Setter, getCall, setCall, what)          \
    bool VoicemodNode::Getter() {                                                \
        bool value = false;                                                      \
        const std::int32_t code = getCall(&value);                               \
        if (code != 0) failWith("Could not get voicemod " what ".", code);       \
        return value;                                                            \
    }                                                                            \
    void VoicemodNode::Setter(bool enabled) {                                    \
        const std::int32_t code = setCall(enabled);                              \
        if (code != 0)                                                           \
            failWith("Could not set voicemod " what ".", code, enabled ? "(on)" : "(off)"); \
    }

CORVANE_VOICEMOD_SWITCH(getBypassEnabled, setBypassEnabled, vcmdGetBypass, vcmdSetBypass, "bypass")
CORVANE_VOICEMOD_SWITCH(getMuteEnabled, setMuteEnabled, vcmdGetMute, vcmdSetMute, "mute")
CORVANE_VOICEMOD_SWITCH(getOfflineModeEnabled, setOfflineModeEnabled, vcmdIsOfflineModeEnabled,
                        vcmdEnableOfflineMode, "offline mode")
CORVANE_VOICEMOD_SWITCH(getBackgroundSoundsEnabled, setBackgroundSoundsEnabled, vcmdIsBackgroundSoundsEnabled,
                        vcmdEnableBackgroundSounds, "background sound")

#undef CORVANE_VOICEMOD_SWITCH

float VoicemodNode::getParameter(const char* parameterName) {
    float value = 0.0f;
    const std::int32_t code = vcmdGetParameter(parameterName, &value);
    if (code != 0) failWith("Could not get voicemod parameter.", code, inQuotes(parameterName));
    return value;
}

void VoicemodNode::setParameter(const char* parameterName, float value) {
    const std::int32_t code = vcmdSetParameter(parameterName, value);
    if (code != 0)
        failWith("Could not set voicemod parameter.", code, inQuotes(parameterName) + " = " + number(value));
}

std::int32_t VoicemodNode::trySetParameter(const char* parameterName, float value) noexcept {
    return vcmdSetParameter(parameterName, value);
}

// The two queries call the voice changer's optional functions through the
// pointers found when the extension loaded (SdkExtras.h); a null pointer
// means this voice changer cannot tell.

std::optional<std::uint32_t> VoicemodNode::getLatencyFrames() {
    const detail::GetLatencyFrames getLatency = detail::sdkGetLatencyFrames();
    if (getLatency == nullptr) return std::nullopt;
    std::uint32_t frames = 0;
    const std::int32_t code = getLatency(&frames);
    if (code != 0) failWith("Could not get voicemod latency.", code);
    return frames;
}

std::optional<std::vector<VoicemodParameterInfo>> VoicemodNode::getParameterInfo(const std::string& voiceName) {
    const detail::GetVoiceParameterCount getCount = detail::sdkGetVoiceParameterCount();
    const detail::GetVoiceParameter getParameter = detail::sdkGetVoiceParameter();
    if (getCount == nullptr || getParameter == nullptr) return std::nullopt;
    constexpr const char* kFailure = "Could not get voicemod parameter list.";
    std::uint32_t count = 0;
    std::int32_t code = getCount(voiceName.c_str(), &count);
    if (code != 0) failWith(kFailure, code, inQuotes(voiceName));
    std::vector<VoicemodParameterInfo> parameters;
    parameters.reserve(count);
    for (std::uint32_t index = 0; index < count; ++index) {
        VoicemodParameterInfo info;
        // Room for the usual texts; should one be longer the voice changer
        // says how much it needs and the call is made once more.
        std::uint32_t nameLength = 64, unitLength = 32;
        for (int attempt = 0; attempt < 2; ++attempt) {
            info.name.assign(nameLength, '\0');
            info.unit.assign(unitLength, '\0');
            const std::uint32_t nameRoom = nameLength, unitRoom = unitLength;
            code = getParameter(voiceName.c_str(), index, info.name.data(), &nameLength, info.unit.data(),
                                &unitLength, &info.minimum, &info.maximum, &info.defaultValue);
            if (code == 0 || (nameLength <= nameRoom && unitLength <= unitRoom)) break;
        }
        if (code != 0)
            failWith(kFailure, code, inQuotes(voiceName) + " parameter " + std::to_string(index));
        // The lengths written back are not trusted beyond the buffers.
        info.name.resize(strnlen(info.name.c_str(), info.name.size()));
        info.unit.resize(strnlen(info.unit.c_str(), info.unit.size()));
        parameters.push_back(std::move(info));
    }
    return parameters;
}

}  // namespace corvane::extensions::voicemod
