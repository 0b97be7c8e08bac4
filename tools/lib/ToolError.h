// ToolError.h - the one failure type of the command-line tool.
#pragma once

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

// Quotes a name for a message: "x.wav".
inline std::string quote(const std::string& text) { return "\"" + text + "\""; }

}  // namespace corvane::tool
