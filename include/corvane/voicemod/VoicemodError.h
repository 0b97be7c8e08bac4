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
// what() starts with the logged message exactly and goes on to say what was
// wrong: the argument as the caller gave it (in double quotes, with quotes,
// backslashes and control characters escaped) and the voice changer's own
// description of the code, for example
//   Could not load voice. "Chipmonk": no mounted voice has that name
//   Could not set voicemod parameter. "Pitch" = 99: value is not finite or
//     outside the parameter's range
//   Could not get voicemod bypass. Voice changer: the voice engine is not
//     started (call vcmdInitSDK first)
// (the descriptions are the bundled engine's; a vendor SDK words its own).
// The log keeps the fixed message alone. code() is the voice-changer's
// result code. The graph operations the host calls (setBusFormat, process)
// never throw it: they log and return false.
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
