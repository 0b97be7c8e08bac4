// CommandLine.h - what the person asked for, parsed from argv with CLI11.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cleanmic/CleanMicOptions.h"
#include "render/VoiceChanger.h"

namespace corvane::tool {

enum class Verbosity { Quiet, Normal, Verbose };

struct CommonOptions {
    Verbosity verbosity = Verbosity::Normal;
    std::string content;  // --content; empty: the default folder
};

struct VoicesOptions {
    bool json = false;
};

struct RenderOptions {
    std::string input;
    std::string output;
    std::string voice;
    std::vector<ParameterSetting> parameters;
    Switches switches;
    std::uint32_t block = 256;
    std::string format;  // --format wav|flac|ogg|mp3; empty: from OUTPUT's extension, else the input's
};

struct DemoOptions {
    std::string outputDirectory = "demo-out";
    std::uint32_t block = 256;
    bool offline = false;
};

// With the clean mic's: denoise, gate and gateThreshold (CleanMicOptions.h).
struct LiveOptions : CleanMicOptions {
    std::string voice;  // empty: the first voice
    std::vector<ParameterSetting> parameters;
    Switches switches;    // offline mode stays off: live audio is real time
    std::string input;    // --input DEVICE; empty: the default input
    std::string output;   // --output DEVICE; empty: the default output
    std::uint32_t rate = 0;    // 0: the output device's default rate
    std::uint32_t block = 256;
    double duration = 0.0;     // seconds; 0: until stopped
    bool cpuTimes = false;     // --cpu-times: each callback's thread CPU time, faults, preemptions
    bool noLockMemory = false; // --no-lock-memory: leave the memory unlocked
    bool virtualMic = false;   // --virtual-mic [NAME]: the voice goes to a PipeWire virtual microphone
    std::string virtualMicName = "Corvane Voice";
    bool monitor = false;      // --monitor: with --virtual-mic, also play the voice on the speakers
};

struct DevicesOptions {
    bool json = false;
};

enum class CommandKind { Voices, Render, Demo, Live, Devices };

struct Command {
    CommandKind kind = CommandKind::Voices;
    CommonOptions common;
    VoicesOptions voices;
    RenderOptions render;
    DemoOptions demo;
    LiveOptions live;
    DevicesOptions devices;
};

// The outcome of parsing: either a command to run, or an exit status after
// help, the version or a usage error has been printed.
struct ParseResult {
    bool run = false;
    int status = 0;
    Command command;
};

// Parses the arguments after the program name. Help and --version go to
// `out` (status 0); usage errors go to `err` as "corvane-voicemod: <reason>"
// with a pointer to --help (status 2).
ParseResult parseCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

// "NAME=VALUE" -> setting. Throws ToolError (usage status) naming the text
// and what is wrong with it. Spaces around the name and value are dropped.
ParameterSetting parseParameterSetting(const std::string& text);

}  // namespace corvane::tool
