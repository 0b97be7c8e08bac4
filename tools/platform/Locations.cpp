#include "platform/Locations.h"

#include <system_error>

#include "platform/Platform.h"

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
    const std::optional<fs::path> self = executablePath();
    if (!self) return std::nullopt;
    return self->parent_path();
}

Location chooseContentDirectory(const std::string& option, const char* environment,
                                const std::optional<fs::path>& executableDir, const fs::path& sourceTree) {
    if (!option.empty()) return {fs::u8path(option), "--content"};
    if (environment != nullptr && environment[0] != '\0')
        return {fs::u8path(environment), "CORVANE_VOICEMOD_CONTENT"};
    if (auto installed = installedShare(executableDir, "voices")) {
        std::error_code ec;
        if (fs::is_directory(*installed, ec)) return {*installed, "installed"};
    }
    return {sourceTree, "source tree"};
}

Location contentDirectory(const std::string& option) {
    const std::optional<std::string> environment = environmentValue("CORVANE_VOICEMOD_CONTENT");
    return chooseContentDirectory(option, environment ? environment->c_str() : nullptr, executableDirectory(),
                                  fs::u8path(CORVANE_VOICEMOD_SOURCE_VOICES));
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
    return chooseSpeechSample(executableDirectory(), fs::u8path(CORVANE_VOICEMOD_SOURCE_SAMPLE));
}

}  // namespace corvane::tool
