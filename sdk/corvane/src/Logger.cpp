#include "corvane/Logger.h"

#include <atomic>
#include <cstdio>
#include <mutex>

namespace corvane {
namespace {

std::atomic<LogLevel> minimumLevel{LogLevel::Debug};

std::mutex& sinkMutex() {
    static std::mutex m;
    return m;
}

Logger::Sink& sink() {
    static Logger::Sink s;
    return s;
}

void writeToStandardError(LogLevel level, const std::string& message) {
    std::fprintf(stderr, "[corvane] %s: %s\n", Logger::levelName(level), message.c_str());
}

}  // namespace

void Logger::debug(const std::string& message) { log(LogLevel::Debug, message); }
void Logger::info(const std::string& message) { log(LogLevel::Info, message); }
void Logger::error(const std::string& message) { log(LogLevel::Error, message); }

void Logger::log(LogLevel level, const std::string& message) {
    if (level == LogLevel::Off || level < minimumLevel.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> lock(sinkMutex());
    if (sink())
        sink()(level, message);
    else
        writeToStandardError(level, message);
}

void Logger::setMinimumLevel(LogLevel level) noexcept { minimumLevel.store(level, std::memory_order_relaxed); }
LogLevel Logger::getMinimumLevel() noexcept { return minimumLevel.load(std::memory_order_relaxed); }

void Logger::setSink(Sink newSink) {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink() = std::move(newSink);
}

void Logger::resetSink() { setSink(Sink()); }

const char* Logger::levelName(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Debug: return "debug";
        case LogLevel::Info: return "info";
        case LogLevel::Error: return "error";
        case LogLevel::Off: return "off";
    }
    return "unknown";
}

}  // namespace corvane
