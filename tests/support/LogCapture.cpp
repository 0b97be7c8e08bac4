#include "LogCapture.h"

#include <ostream>

namespace testsupport {

LogCapture::LogCapture() : previousLevel_(corvane::Logger::getMinimumLevel()) {
    corvane::Logger::setMinimumLevel(corvane::LogLevel::Debug);
    corvane::Logger::setSink(
        [this](corvane::LogLevel level, const std::string& message) { lines_.push_back({level, message}); });
}

LogCapture::~LogCapture() {
    corvane::Logger::resetSink();
    corvane::Logger::setMinimumLevel(previousLevel_);
}

std::vector<std::string> LogCapture::messages(corvane::LogLevel level) const {
    std::vector<std::string> out;
    for (const LogLine& line : lines_)
        if (line.level == level) out.push_back(line.message);
    return out;
}

std::ostream& operator<<(std::ostream& os, const LogLine& line) {
    return os << corvane::Logger::levelName(line.level) << ": " << line.message;
}

}  // namespace testsupport
