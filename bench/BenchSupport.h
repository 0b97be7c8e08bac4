// BenchSupport.h - what the benchmark programs share: the bundled voices'
// folder, a voice-like test signal, generated voice packages in a temporary
// folder, the process's resident memory and a quiet logger.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace benchsupport {

// Sample rate and block length every benchmark runs at unless it says
// otherwise.
constexpr double kSampleRate = 48000.0;
constexpr std::uint32_t kBlockFrames = 256;

// The folder with the bundled .zvmd packages: $CORVANE_VOICES_DIR when set,
// else the source tree's voices/ folder compiled in.
std::string voicesDir();

// Keeps every log message being built and handed to a sink, but the sink
// drops it, so terminal output does not enter any figure.
void discardLogs();

// Sets the host up and brings the voice changer up on `contentDirectory`
// through VoicemodExtension::initialize, with logs discarded.
void bringUp(const std::string& contentDirectory);

// A deterministic voice-like signal (a 140 Hz buzz with vibrato, formant-ish
// harmonics and a little noise, about -12 dBFS) into `frames` samples of
// `channels` channel pointers (the right channel is slightly different).
void fillVoiceLike(float* const* channels, int channelCount, std::uint32_t frames, std::uint32_t startFrame = 0);

// VmRSS of this process in KiB, from /proc/self/status; -1 when unreadable.
long residentKiB();
// RssAnon (the resident part not backed by files: heap, stacks, anonymous
// maps) in KiB, from /proc/self/status; -1 when unreadable.
long anonymousResidentKiB();

// Bytes in use on the C heap: mallinfo2()'s uordblks (blocks in the arenas)
// plus hblkhd (large blocks mapped on their own).
long long heapBytesInUse();

// A fresh temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    explicit TempDir(const std::string& tag);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const noexcept { return path_; }

private:
    std::filesystem::path path_;
};

// Writes `packages` packages of `voicesPerPackage` voices each into `dir`
// (package i holds voices named "<prefix> p<i> v<j>"). Every voice has the
// shape of a typical bundled voice: a pitch shift, two filters, a
// distortion, an echo, one background layer and three parameters.
void writePackages(const std::filesystem::path& dir, int packages, int voicesPerPackage, const std::string& prefix);

// The JSON text of one such package.
std::string packageJson(int packageIndex, int voicesPerPackage, const std::string& prefix);

}  // namespace benchsupport
