#include "Failure.h"

#include <VoicemodUSDK.h>

#include <corvane/Logger.h>

#include <cstdio>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>

#include "corvane/voicemod/VoicemodError.h"

namespace corvane::extensions::voicemod::detail {

std::string describe(std::int32_t code) {
    const char* text = vcmdGetResultDescription(code);
    return text != nullptr ? text : "";
}

std::string inQuotes(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte == 0) {
            out += "\\0";
        } else if (byte < 0x20 || byte == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned>(byte));
            out += escaped;
        } else {
            out += c;  // UTF-8 sequences pass through as they are
        }
    }
    out += '"';
    return out;
}

std::string inQuotes(const char* text) { return text != nullptr ? inQuotes(std::string_view(text)) : "(null)"; }

std::string number(float value) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    // Enough digits that a value just outside a range does not print as
    // the range's end.
    out << std::setprecision(std::numeric_limits<float>::max_digits10) << value;
    return out.str();
}

void fail(const std::string& logged, const std::string& detail, std::int32_t code) {
    Logger::error(logged);
    throw VoicemodError(logged + detail, code);
}

void failWith(const char* logged, std::int32_t code, const std::string& subject) {
    const std::string message(logged);
    const bool sentence = !message.empty() && message.back() == '.';
    std::string detail;
    if (!subject.empty())
        detail = " " + subject + ": ";
    else
        detail = sentence ? " Voice changer: " : ": ";
    fail(message, detail + describe(code), code);
}

}  // namespace corvane::extensions::voicemod::detail
