#include "corvane/voicemod/VoicemodError.h"

namespace corvane::extensions::voicemod {

VoicemodError::VoicemodError(const std::string& message, std::int32_t code)
    : std::runtime_error(message), code_(code) {}

VoicemodError::~VoicemodError() = default;

std::int32_t VoicemodError::code() const noexcept { return code_; }

}  // namespace corvane::extensions::voicemod
