// LogCapture.h - records what goes through the host Logger during a test.
#pragma once

#include <corvane/Logger.h>

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

struct LogLine {
    corvane::LogLevel level;
    std::string message;
    bool operator==(const LogLine& other) const { return level == other.level && message == other.message; }
};

// Installs a capturing sink (and the Debug minimum level) for its lifetime.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<LogLine>& lines() const { return lines_; }
    std::vector<std::string> messages(corvane::LogLevel level) const;
    void clear() { lines_.clear(); }

private:
    std::vector<LogLine> lines_;
    corvane::LogLevel previousLevel_;
};

std::ostream& operator<<(std::ostream& os, const LogLine& line);

}  // namespace testsupport
