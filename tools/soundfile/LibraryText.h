// LibraryText.h - what the reader and the writer share: libsndfile's
// messages in the tool's words, a length in seconds, a double as a float.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>

namespace corvane::tool {

inline std::string libsndfileReason(SNDFILE* file) {
    const char* text = sf_strerror(file);
    return text != nullptr && text[0] != '\0' ? text : "unknown libsndfile error";
}

// A libsndfile message fit to show, or the tool's own sentence where the
// library has none worth reading ("Unspecified internal error.", "This is a
// bug in libsndfile.").
inline std::string libraryReason(const char* text, const std::string& fallback) {
    const std::string message = text != nullptr ? text : "";
    if (message.empty() || message.find("bug in libsndfile") != std::string::npos ||
        message.find("internal error") != std::string::npos || message.find("No error defined") != std::string::npos)
        return fallback;
    return message;
}

// "1.25 s": `frames` at `rate`.
inline std::string seconds(std::uint64_t frames, int rate) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", rate > 0 ? static_cast<double>(frames) / rate : 0.0);
    return text;
}

// A double as a float, out-of-range values as infinities (a plain
// conversion of those is undefined).
inline float toFloat(double value) {
    constexpr double kLargest = std::numeric_limits<float>::max();
    if (value > kLargest) return std::numeric_limits<float>::infinity();
    if (value < -kLargest) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

}  // namespace corvane::tool
