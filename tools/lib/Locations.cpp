#include "Locations.h"

#include <cstdlib>
#include <system_error>

#ifndef CORVANE_VOICEMOD_SOURCE_VOICES
#error "CORVANE_VOICEMOD_SOURCE_VOICES must name the source tree's voices folder"
#endif
#ifndef CORVANE_VOICEMOD_SOURCE_SAMPLE
#error "CORVANE_VOICEMOD_SOURCE_SAMPLE must name the source tree's speech sample"
#endif

namespace corvane::tool {
namespace fs = std::filesystem;
namespace {

// The installed layout: bin/corvane-voicemod beside share/corvane-voicemod/.
std::optional<fs::path> installedShare(const std::optional<fs::path>& executableDir, const char* leaf) {
    if (!executableDir) return std::nullopt;
    return (*executableDir / ".." / "share" / "corvane-voicemod" / leaf).lexically_normal();
}

}  // namespace

std::optional<fs::path> executableDirectory() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) return std::nullopt;
    return self.parent_path();
}

Location chooseContentDirectory(const std::string& option, const char* environment,
                                const std::optional<fs::path>& executableDir, const fs::path& sourceTree) {
    if (!option.empty()) return {fs::path(option), "--content"};
    if (environment != nullptr && environment[0] != '\0')
        return {fs::path(environment), "CORVANE_VOICEMOD_CONTENT"};
    if (auto installed = installedShare(executableDir, "voices")) {
        std::error_code ec;
        if (fs::is_directory(*installed, ec)) return {*installed, "installed"};
    }
    return {sourceTree, "source tree"};
}

Location contentDirectory(const std::string& option) {
    return chooseContentDirectory(option, std::getenv("CORVANE_VOICEMOD_CONTENT"), executableDirectory(),
                                  fs::path(CORVANE_VOICEMOD_SOURCE_VOICES));
}

Location chooseSpeechSample(const std::optional<fs::path>& executableDir, const fs::path& sourceTree) {
    if (auto installed = installedShare(executableDir, "samples")) {
        std::error_code ec;
        const fs::path file = *installed / "speech.wav";
        if (fs::is_regular_file(file, ec)) return {file, "installed"};
    }
    return {sourceTree, "source tree"};
}

Location speechSample() {
    return chooseSpeechSample(executableDirectory(), fs::path(CORVANE_VOICEMOD_SOURCE_SAMPLE));
}

}  // namespace corvane::tool
