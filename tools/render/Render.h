// Render.h - one audio file through one voice, in a host graph.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "render/Progress.h"
#include "render/VoiceChanger.h"

namespace corvane::tool {

struct RenderRequest {
    std::filesystem::path input;
    std::filesystem::path output;
    std::string voice;
    std::vector<ParameterSetting> parameters;
    Switches switches;
    std::uint32_t block = 256;
    // SF_FORMAT_* container of the output; 0 takes it from the output's
    // extension, else from the input.
    int container = 0;
    // Output aligned with the input: the voice's delay is cut from the start
    // and flushed out at the end (not under bypass, which has none).
    bool compensateLatency = true;
};

struct RenderReport {
    std::uint64_t frames = 0;  // written to the output
    std::uint32_t sampleRate = 0;
    std::uint32_t channels = 0;
    int format = 0;             // of the output
    std::uint32_t latency = 0;  // frames compensated
    double seconds = 0.0;       // wall time of the processing loop

    double duration() const { return sampleRate > 0 ? static_cast<double>(frames) / sampleRate : 0.0; }
    // Seconds of audio rendered per second of rendering: 100 means a hundred
    // times faster than real time, the same measure the benchmarks report.
    double speed() const { return seconds > 0.0 ? duration() / seconds : 0.0; }
};

// Reads the input, builds the graph source -> VoicemodNode -> sink, loads
// the voice with its parameters and switches, negotiates the file's format
// and processes it block by block, then moves the finished file to its
// name. Any failure throws ToolError naming the file, voice or parameter;
// the output is then left as it was. `stop`, when set by a signal, ends the
// render as interrupted.
RenderReport renderFile(const VoiceChanger& changer, const RenderRequest& request, Progress& progress,
                        const std::atomic<bool>* stop = nullptr);

// A file name for a voice: "Deep Voice" -> "deep-voice".
std::string fileStem(const std::string& voiceName);

}  // namespace corvane::tool
