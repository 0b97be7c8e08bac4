// VoicemodError.h - the exception a failed voice-changer call ends in.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

#include "corvane/voicemod/Export.h"

namespace corvane::extensions::voicemod {

// Thrown by every operation an application calls (bring-up, the voice list,
// the node's controls) when a voice-changer call returns a failure code,
// right after the failure has been logged through Logger::error.
//
// what() is the logged message exactly; code() is the voice-changer's result
// code. The graph operations the host calls (setBusFormat, process) never
// throw it: they log and return false.
class CORVANE_VOICEMOD_API VoicemodError : public std::runtime_error {
public:
    // [any-thread]; allocates the message.
    VoicemodError(const std::string& message, std::int32_t code);
    ~VoicemodError() override;

    VoicemodError(const VoicemodError&) = default;
    VoicemodError& operator=(const VoicemodError&) = default;

    // [any-thread]; never throws.
    std::int32_t code() const noexcept;

private:
    std::int32_t code_;
};

}  // namespace corvane::extensions::voicemod
