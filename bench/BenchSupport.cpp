#include "BenchSupport.h"

#include <corvane/Corvane.h>
#include <corvane/Logger.h>
#include <corvane/voicemod/VoicemodExtension.h>

#include <malloc.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

#ifndef CORVANE_VOICES_DIR
#define CORVANE_VOICES_DIR "voices"
#endif

namespace benchsupport {

std::string voicesDir() {
    if (const char* dir = std::getenv("CORVANE_VOICES_DIR"); dir != nullptr && dir[0] != '\0') return dir;
    return CORVANE_VOICES_DIR;
}

void discardLogs() {
    corvane::Logger::setMinimumLevel(corvane::LogLevel::Debug);
    corvane::Logger::setSink([](corvane::LogLevel, const std::string&) {});
}

void bringUp(const std::string& contentDirectory) {
    discardLogs();
    corvane::Corvane::initialize();
    corvane::extensions::voicemod::VoicemodExtension::initialize("bench-key", "bench-secret",
                                                                 contentDirectory.c_str());
}

void fillVoiceLike(float* const* channels, int channelCount, std::uint32_t frames, std::uint32_t startFrame) {
    constexpr double kTwoPi = 6.283185307179586;
    std::uint32_t noise = 0x9E3779B9u ^ startFrame;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const double t = (startFrame + i) / kSampleRate;
        const double f0 = 140.0 * (1.0 + 0.02 * std::sin(kTwoPi * 5.0 * t));
        double v = 0.0;
        for (int h = 1; h <= 12; ++h) {
            // Harmonics shaped by two broad formants near 700 Hz and 1.2 kHz.
            const double f = f0 * h;
            const double formant = std::exp(-std::pow((f - 700.0) / 400.0, 2)) +
                                   0.6 * std::exp(-std::pow((f - 1200.0) / 500.0, 2)) + 0.05;
            v += formant / h * std::sin(kTwoPi * f * t);
        }
        noise = noise * 1664525u + 1013904223u;
        const double n = (static_cast<double>(noise >> 8) / 16777216.0 - 0.5) * 0.01;
        const float left = static_cast<float>(0.25 * v + n);
        channels[0][i] = left;
        for (int c = 1; c < channelCount; ++c) channels[c][i] = static_cast<float>(0.9 * left - n);
    }
}

namespace {

long statusKiB(const char* field) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    const std::size_t length = std::strlen(field);
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            kib = std::strtol(line + length + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib;
}

}  // namespace

long residentKiB() { return statusKiB("VmRSS"); }

long anonymousResidentKiB() { return statusKiB("RssAnon"); }

long long heapBytesInUse() {
    const struct mallinfo2 info = mallinfo2();
    // Blocks in the arenas plus the large ones malloc maps on their own.
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

TempDir::TempDir(const std::string& tag) {
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::string pattern = (base / ("corvane-bench-" + tag + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string packageJson(int packageIndex, int voicesPerPackage, const std::string& prefix) {
    std::ostringstream out;
    out << "{\n  \"format\": \"corvane-voice-package\",\n  \"version\": 1,\n"
        << "  \"title\": \"" << prefix << " package " << packageIndex << "\",\n  \"voices\": [\n";
    for (int v = 0; v < voicesPerPackage; ++v) {
        const double semitones = -6.0 + (packageIndex * 7 + v) % 13;
        out << "    {\n"
            << "      \"name\": \"" << prefix << " p" << packageIndex << " v" << v << "\",\n"
            << "      \"description\": \"Generated voice for the scaling benchmarks.\",\n"
            << "      \"effects\": [\n"
            << "        {\"id\": \"shift\", \"type\": \"pitch\", \"settings\": {\"semitones\": " << semitones << "}},\n"
            << "        {\"id\": \"low\", \"type\": \"highpass\", \"settings\": {\"frequency\": 120, \"q\": 0.7}},\n"
            << "        {\"id\": \"tone\", \"type\": \"peaking\", \"settings\": {\"frequency\": 2500, \"q\": 1.2, "
               "\"gain_db\": 4}},\n"
            << "        {\"id\": \"grit\", \"type\": \"distortion\", \"settings\": {\"drive_db\": 6, \"mix\": 0.3}},\n"
            << "        {\"id\": \"room\", \"type\": \"echo\", \"settings\": {\"delay_ms\": 120, \"feedback\": 0.2, "
               "\"mix\": 0.15}}\n"
            << "      ],\n"
            << "      \"background\": [\n"
            << "        {\"id\": \"air\", \"type\": \"pink_noise\", \"settings\": {\"level_db\": -50}}\n"
            << "      ],\n"
            << "      \"parameters\": [\n"
            << "        {\"name\": \"Pitch\", \"minimum\": -12, \"maximum\": 12, \"default\": " << semitones
            << ", \"unit\": \"st\", \"targets\": [{\"effect\": \"shift\", \"setting\": \"semitones\"}]},\n"
            << "        {\"name\": \"Grit\", \"minimum\": 0, \"maximum\": 1, \"default\": 0.3, \"unit\": \"\", "
               "\"targets\": [{\"effect\": \"grit\", \"setting\": \"mix\"}]},\n"
            << "        {\"name\": \"Room\", \"minimum\": 0, \"maximum\": 1, \"default\": 0.15, \"unit\": \"\", "
               "\"targets\": [{\"effect\": \"room\", \"setting\": \"mix\"}]}\n"
            << "      ]\n"
            << "    }" << (v + 1 < voicesPerPackage ? "," : "") << "\n";
    }
    out << "  ]\n}\n";
    return out.str();
}

void writePackages(const std::filesystem::path& dir, int packages, int voicesPerPackage, const std::string& prefix) {
    std::filesystem::create_directories(dir);
    for (int p = 0; p < packages; ++p) {
        char name[64];
        std::snprintf(name, sizeof name, "pkg%05d.zvmd", p);
        std::ofstream file(dir / name, std::ios::binary);
        file << packageJson(p, voicesPerPackage, prefix);
        if (!file) throw std::runtime_error("cannot write " + (dir / name).string());
    }
}

}  // namespace benchsupport
