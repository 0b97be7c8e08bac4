// Logger.h - the host's process-wide logger.
#pragma once

#include <functional>
#include <string>

#include "corvane/Export.h"

namespace corvane {

enum class LogLevel { Debug = 0, Info = 1, Error = 2, Off = 3 };

// Static logger with three levels. Messages below the minimum level are
// dropped before the sink is called. The default sink writes
// "[corvane] LEVEL: message" lines to standard error.
//
// Every function is [any-thread]; a call that reaches the sink takes a lock
// and may allocate and block on I/O, so the audio path logs only failures.
class CORVANE_API Logger {
public:
    using Sink = std::function<void(LogLevel, const std::string&)>;

    static void debug(const std::string& message);
    static void info(const std::string& message);
    static void error(const std::string& message);
    static void log(LogLevel level, const std::string& message);

    // Messages below `level` are dropped; LogLevel::Off drops everything.
    // The default is Debug.
    static void setMinimumLevel(LogLevel level) noexcept;
    static LogLevel getMinimumLevel() noexcept;

    // Replaces the sink (for example a capturing sink in tests); an empty
    // function restores the default standard-error sink.
    static void setSink(Sink sink);
    static void resetSink();

    // "debug", "info", "error" or "off".
    static const char* levelName(LogLevel level) noexcept;
};

}  // namespace corvane
