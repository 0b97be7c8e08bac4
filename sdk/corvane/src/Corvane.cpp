#include "corvane/Corvane.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace corvane {
namespace {

struct HostState {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, CVAny> values;
    std::filesystem::path tempDirectory;  // made by initialize(), empty before
};

HostState& state() {
    static HostState s;
    return s;
}

std::filesystem::path makeTempDirectory() {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) throw std::runtime_error("Corvane: no system temporary directory: " + ec.message());
    std::random_device device;
    std::mt19937_64 random(device());
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::filesystem::path candidate = base / ("corvane-" + std::to_string(random() % 100000000000ULL));
        if (std::filesystem::create_directory(candidate, ec)) return candidate;
    }
    throw std::runtime_error("Corvane: could not create a temporary directory under " + base.u8string());
}

}  // namespace

void Corvane::initialize() {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.tempDirectory.empty()) {
        s.tempDirectory = makeTempDirectory();
        // The directory lives as long as the process: a program that never
        // calls shutdown() leaves nothing behind in the temporary folder.
        static const bool cleanupRegistered = [] { return std::atexit(&Corvane::shutdown) == 0; }();
        (void)cleanupRegistered;
    }
    s.values[{"corvane", "tempDirPath"}] = CVAny(s.tempDirectory.u8string());
}

void Corvane::shutdown() {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values.clear();
    if (!s.tempDirectory.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(s.tempDirectory, ec);
        s.tempDirectory.clear();
    }
}

Result<CVAny> Corvane::getValue(const std::string& objectId, const std::string& key) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.values.find({objectId, key});
    if (it == s.values.end()) return Error("Corvane: no value \"" + key + "\" for object \"" + objectId + "\"");
    return it->second;
}

void Corvane::setValue(const std::string& objectId, const std::string& key, const CVAny& value) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values[{objectId, key}] = value;
}

bool Corvane::removeValue(const std::string& objectId, const std::string& key) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.values.erase({objectId, key}) > 0;
}

}  // namespace corvane
