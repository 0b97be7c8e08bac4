// Locations.h - where the tool finds its voices and its speech sample.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace corvane::tool {

// A folder the tool chose and why, for --verbose and for messages.
struct Location {
    std::filesystem::path path;
    std::string origin;  // "--content", "CORVANE_VOICEMOD_CONTENT", "installed", "source tree"
};

// The folder the running executable lives in, or nothing when it cannot be
// told. Option and environment texts are UTF-8 paths.
std::optional<std::filesystem::path> executableDirectory();

// The content folder, first match wins:
//   1. `option` (--content) when not empty;
//   2. `environment` (CORVANE_VOICEMOD_CONTENT) when set and not empty;
//   3. <executableDir>/../share/corvane-voicemod/voices when that folder exists;
//   4. `sourceTree` (the voices/ folder of the tree the tool was built from).
// Only the installed folder is checked for existence: an explicit choice is
// taken as given, so a wrong one is reported rather than silently replaced.
Location chooseContentDirectory(const std::string& option, const char* environment,
                                const std::optional<std::filesystem::path>& executableDir,
                                const std::filesystem::path& sourceTree);

// The same choice with this process's environment, executable and build.
Location contentDirectory(const std::string& option);

// The speech sample the demo renders: the installed
// <executableDir>/../share/corvane-voicemod/samples/speech.wav when it
// exists, else the source tree's samples/speech.wav.
Location chooseSpeechSample(const std::optional<std::filesystem::path>& executableDir,
                            const std::filesystem::path& sourceTree);
Location speechSample();

}  // namespace corvane::tool
