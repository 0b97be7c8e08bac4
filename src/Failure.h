// Failure.h - how the library's operations end when a voice-changer call
// fails: the fixed message goes to the host's log, and the exception carries
// that message followed by what the call was about and the voice changer's
// own words for the code. Internal to the library (nothing here is
// exported).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::extensions::voicemod::detail {

// The voice changer's text for `code`; empty when it gives none.
std::string describe(std::int32_t code);

// `text` in double quotes, with quotes, backslashes and control characters
// (an embedded NUL included) escaped, so the exception shows the argument
// exactly as the caller gave it. A null pointer shows as (null).
std::string inQuotes(std::string_view text);
std::string inQuotes(const char* text);

// A float as text in the C locale, to the digits that tell it apart from
// its neighbours ("99", "-3.5", "12.000001", "nan").
std::string number(float value);

// Logs `logged` through Logger::error and throws VoicemodError whose what()
// is `logged` followed by `detail`.
[[noreturn]] void fail(const std::string& logged, const std::string& detail, std::int32_t code);

// fail() with the detail " <subject>: <the voice changer's text>", or
// " Voice changer: <text>" when there is no subject, as in
//   Could not load voice. "Chipmonk": no mounted voice has that name
// A message that does not end in a full stop takes ": <text>" directly.
[[noreturn]] void failWith(const char* logged, std::int32_t code, const std::string& subject = {});

}  // namespace corvane::extensions::voicemod::detail
