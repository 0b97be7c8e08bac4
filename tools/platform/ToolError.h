// ToolError.h - the one failure type of the command-line tool.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace corvane::tool {

// Exit statuses, the same for every command.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,  // a file could not be read or written, or the voice changer refused
    kExitUsage = 2,    // the command line itself is wrong
    kExitInterrupted = 130
};

// A failure the tool reports to the person as one line: what() names the
// file, voice or parameter and the reason; status() is the exit status.
class ToolError : public std::runtime_error {
public:
    ToolError(const std::string& message, int status = kExitFailure)
        : std::runtime_error(message), status_(status) {}
    int status() const noexcept { return status_; }

private:
    int status_;
};

// A name as it can be printed: control characters (a newline, a terminal's
// escape codes, and the C1 controls U+0080..U+009F in UTF-8) as \xHH (\0
// for NUL, \u00HH for C1), so a name cannot break a message's line or drive
// the terminal; everything else, UTF-8 included, as it is.
inline std::string printable(const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0u;
        if (byte == 0) {
            out += "\\0";
        } else if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else if (byte == 0xc2 && next >= 0x80 && next <= 0x9f) {
            out += "\\u00";
            out += kHex[next >> 4];
            out += kHex[next & 15];
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Quotes a name for a message: "x.wav" (printable, above).
inline std::string quote(const std::string& text) { return "\"" + printable(text) + "\""; }

}  // namespace corvane::tool
