#include "commands/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include <corvane/voicemod/Version.h>

#include "platform/ToolError.h"

namespace corvane::tool {
namespace {

constexpr const char* kProgram = "corvane-voicemod";
constexpr std::uint32_t kLargestBlock = 65536;
constexpr const char* kDefaultVirtualMic = "Corvane Voice";

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// --quiet, --verbose and --content, which every command takes.
struct CommonFlags {
    bool quiet = false;
    bool verbose = false;
    std::string content;

    void addTo(CLI::App& command) {
        auto* q = command.add_flag("-q,--quiet", quiet, "Print nothing but errors' own messages; no progress bar");
        auto* v = command.add_flag("-v,--verbose", verbose, "Also print the host's and engine's debug log");
        q->excludes(v);
        contentOption = command.add_option("--content", content,
                           "Folder of .zvmd voice packages (default: $CORVANE_VOICEMOD_CONTENT, else the "
                           "installed or bundled voices)");
    }
    CLI::Option* contentOption = nullptr;

    CommonOptions options() const {
        // An empty name would otherwise mean "the default voices" without a word.
        if (contentOption != nullptr && contentOption->count() > 0 && content.empty())
            throw ToolError("--content: the folder name is empty", kExitUsage);
        CommonOptions o;
        o.verbosity = quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal;
        o.content = content;
        return o;
    }
};

// A number option's check: a finite decimal number within the range (CLI11's
// own Range lets "nan" through and prints its bounds with six decimals, or
// with 309 digits for the largest double). `range` is the message's plain
// account of the range ("not in range -100 to 0"), `help` --help's.
CLI::Validator finiteWithin(double lowest, bool lowestIncluded, double highest, const std::string& range,
                            const std::string& help) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool number = end != text.c_str() && *end == '\0';
            if (!number) return "";  // CLI11's conversion names what is not a number
            const bool inside = std::isfinite(value) && (lowestIncluded ? value >= lowest : value > lowest) &&
                                value <= highest;
            return inside ? std::string() : "Value " + text + " " + range;
        },
        help, "");
}

}  // namespace

ParameterSetting parseParameterSetting(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos)
        throw ToolError("malformed --param " + quote(text) + ": expected NAME=VALUE", kExitUsage);
    ParameterSetting setting;
    setting.name = trim(text.substr(0, equals));
    setting.text = trim(text.substr(equals + 1));
    if (setting.name.empty())
        throw ToolError("malformed --param " + quote(text) + ": the parameter name is empty", kExitUsage);
    if (setting.text.empty())
        throw ToolError("malformed --param " + quote(text) + ": the value is empty", kExitUsage);
    // A number too large or too small for a float is still a number: it is
    // the voice's range that refuses 1e39 (it becomes infinity, as 1e999
    // does), and 1e-40 is a float close to zero. Only the words "inf" and
    // "nan" are not numbers.
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(setting.text.c_str(), &end);
    if (end == setting.text.c_str() || *end != '\0' || std::isnan(value) || (std::isinf(value) && errno != ERANGE))
        throw ToolError("malformed --param " + quote(text) + ": " + quote(setting.text) + " is not a number",
                        kExitUsage);
    constexpr double kLargest = std::numeric_limits<float>::max();
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    setting.value = value > kLargest ? kInfinity : value < -kLargest ? -kInfinity : static_cast<float>(value);
    return setting;
}

ParseResult parseCommandLine(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
    CLI::App app("Renders audio files through the Corvane voice changer's voices, or changes a voice live.", kProgram);
    app.set_version_flag("--version", std::string(kProgram) + " " + CORVANE_VOICEMOD_VERSION_STRING);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 success, 1 a file, a sound device or the voice changer failed, 2 bad usage.\n"
        "Run 'corvane-voicemod COMMAND --help' for a command's options.");

    Command command;

    CommonFlags voicesFlags;
    CLI::App* voices = app.add_subcommand("voices", "List the voices the voice changer offers, one per line");
    voices->add_flag("--json", command.voices.json, "Print each voice's package and parameters as JSON");
    voicesFlags.addTo(*voices);

    CommonFlags renderFlags;
    std::vector<std::string> parameterTexts;
    CLI::App* render = app.add_subcommand("render", "Render an audio file through a voice");
    render->add_option("INPUT", command.render.input, "Audio file to read (WAV, FLAC, Ogg, MP3, ...); - for standard input")
        ->required();
    render->add_option("OUTPUT", command.render.output,
                       "Audio file to write; keeps the input's rate, channels and sample format; - for standard "
                       "output (FLAC, Ogg or MP3: formats written front to back)")
        ->required();
    render->add_option("--voice", command.render.voice, "Voice to use (see 'corvane-voicemod voices')")
        ->required();
    render
        ->add_option("--param", parameterTexts,
                     "Set a voice parameter, e.g. --param \"Pitch=12\" (repeatable)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)  // one value per --param: positionals after it stay positionals
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    render->add_flag("--bypass", command.render.switches.bypass, "Pass the audio through unchanged");
    render->add_flag("--mute", command.render.switches.mute, "Silence the output");
    render->add_flag("--background", command.render.switches.background,
                     "Mix in the voice's background sounds (off by default)");
    render->add_flag("--offline", command.render.switches.offline,
                     "Offline mode: the engine's file-rendering quality, independent of the block size");
    render->add_option("--block", command.render.block, "Frames per processing block")
        ->check(CLI::Range(1u, kLargestBlock))
        ->default_val(256);
    render
        ->add_option("--format", command.render.format,
                     "Container of OUTPUT: wav, flac, ogg or mp3 (default: from OUTPUT's extension, else the "
                     "input's)")
        ->check(CLI::IsMember({"wav", "flac", "ogg", "mp3"}, CLI::ignore_case));
    renderFlags.addTo(*render);

    CommonFlags demoFlags;
    CLI::App* demo = app.add_subcommand("demo", "Render the bundled speech sample through every voice");
    demo->add_option("OUTDIR", command.demo.outputDirectory, "Folder for the rendered files")
        ->default_val("demo-out");
    demo->add_option("--block", command.demo.block, "Frames per processing block")
        ->check(CLI::Range(1u, kLargestBlock))
        ->default_val(256);
    demo->add_flag("--offline", command.demo.offline, "Render in the engine's offline mode");
    demoFlags.addTo(*demo);

    CommonFlags liveFlags;
    std::vector<std::string> liveParameterTexts;
    CLI::App* live = app.add_subcommand(
        "live", "Speak into the microphone and hear the voice: input device -> voice -> output device");
    live->add_option("--voice", command.live.voice, "Voice to start with (default: the first one)");
    live->add_option("--param", liveParameterTexts, "Set a voice parameter, e.g. --param \"Pitch=12\" (repeatable)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    live->add_flag("--bypass", command.live.switches.bypass, "Start with the voice bypassed");
    live->add_flag("--mute", command.live.switches.mute, "Start muted");
    live->add_flag("--background", command.live.switches.background, "Mix in the voice's background sounds");
    live->add_option("--input", command.live.input,
                     "Input device: its number or (part of) its name from 'corvane-voicemod devices' "
                     "(default: the default input)")
        ->type_name("DEVICE");
    live->add_option("--output", command.live.output, "Output device, likewise (default: the default output)")
        ->type_name("DEVICE");
    live->add_option("--rate", command.live.rate, "Sample rate in Hz (default: the output device's)")
        ->type_name("HZ")
        ->check(CLI::Range(8000u, 384000u));
    live->add_option("--block", command.live.block, "Frames per audio callback")
        ->check(CLI::Range(16u, 8192u))
        ->default_val(256);
    live->add_option("--duration", command.live.duration,
                     "Stop after this many seconds (default: when stopped)")
        ->type_name("SECONDS")
        ->check(finiteWithin(0.0, false, std::numeric_limits<double>::max(),
                             "not in range: more than 0 seconds", "POSITIVE"));
    live->add_flag("--cpu-times", command.live.cpuTimes,
                   "Also measure each callback's CPU time, page faults and preemptions, and tell them of the "
                   "slowest (system calls in the callback: for measuring)");
    live->add_flag("--no-lock-memory", command.live.noLockMemory,
                   "Leave the program's memory unlocked (by default it is locked into RAM so that no "
                   "callback waits for a page)");
    auto* virtualMic =
        live->add_option("--virtual-mic", command.live.virtualMicName,
                         "Send the voice to a virtual microphone that other applications can pick, named NAME "
                         "(default \"Corvane Voice\"; Linux with PipeWire)")
            ->type_name("[NAME]")
            ->expected(0, 1);
    live->add_flag("--monitor", command.live.monitor,
                                   "With --virtual-mic: also play the voice on the speakers (--output)");
    live->add_flag("--denoise", command.live.denoise, "Suppress steady noise (fans, hum) before the voice");
    auto* gate =
        live->add_option("--gate", command.live.gateThreshold,
                         "Noise gate before the voice: silence below DB dBFS (e.g. -45), with attack, "
                         "hold and release")
            ->type_name("DB")
            ->check(finiteWithin(-100.0, true, 0.0, "not in range -100 to 0", "FLOAT in [-100 - 0]"));
    liveFlags.addTo(*live);

    CommonFlags devicesFlags;
    CLI::App* devices = app.add_subcommand(
        "devices", "List the sound devices: host API, input and output channels, default rate");
    devices->add_flag("--json", command.devices.json, "Print the list as JSON");
    devicesFlags.addTo(*devices);

    ParseResult result;
    // CLI11 would call an unknown command a missing one; name it instead.
    if (!arguments.empty() && !arguments.front().empty() && arguments.front()[0] != '-' &&
        arguments.front() != "voices" && arguments.front() != "render" && arguments.front() != "demo" &&
        arguments.front() != "live" && arguments.front() != "devices") {
        err << kProgram << ": unknown command " << quote(arguments.front())
            << " (commands: voices, render, demo, live, devices)\n"
            << "Run '" << kProgram << " --help' for usage.\n";
        result.status = kExitUsage;
        return result;
    }
    try {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        app.parse(reversed);  // CLI11 takes a vector in reverse order
        if (voices->parsed()) {
            command.kind = CommandKind::Voices;
            command.common = voicesFlags.options();
        } else if (render->parsed()) {
            command.kind = CommandKind::Render;
            command.common = renderFlags.options();
            for (const std::string& text : parameterTexts)
                command.render.parameters.push_back(parseParameterSetting(text));
        } else if (live->parsed()) {
            command.kind = CommandKind::Live;
            command.common = liveFlags.options();
            for (const std::string& text : liveParameterTexts)
                command.live.parameters.push_back(parseParameterSetting(text));
            command.live.virtualMic = virtualMic->count() > 0;
            // CLI11 gives "" both for --virtual-mic alone (the default name)
            // and for --virtual-mic "": only the arguments tell them apart.
            for (std::size_t i = 0; command.live.virtualMic && i < arguments.size(); ++i)
                if (arguments[i] == "--virtual-mic=" ||
                    (arguments[i] == "--virtual-mic" && i + 1 < arguments.size() && arguments[i + 1].empty()))
                    throw ToolError(
                        "--virtual-mic: the name is empty (give a name, or --virtual-mic alone for " +
                            quote(kDefaultVirtualMic) + ")",
                        kExitUsage);
            if (command.live.virtualMic && command.live.virtualMicName.empty())
                command.live.virtualMicName = kDefaultVirtualMic;
            if (command.live.virtualMic &&
                command.live.virtualMicName.find_first_not_of(" \t\n\v\f\r") == std::string::npos)
                throw ToolError("--virtual-mic: the name " + quote(command.live.virtualMicName) +
                                    " is only spaces (give a name, or --virtual-mic alone for " +
                                    quote(kDefaultVirtualMic) + ")",
                                kExitUsage);
            if (command.live.monitor && !command.live.virtualMic)
                throw ToolError("--monitor goes with --virtual-mic (without it the voice is on the speakers anyway)",
                                kExitUsage);
            command.live.gate = gate->count() > 0;
        } else if (devices->parsed()) {
            command.kind = CommandKind::Devices;
            command.common = devicesFlags.options();
        } else {
            command.kind = CommandKind::Demo;
            command.common = demoFlags.options();
        }
    } catch (const CLI::CallForHelp& e) {
        result.status = app.exit(e, out, err);
        return result;
    } catch (const CLI::CallForAllHelp& e) {
        result.status = app.exit(e, out, err);
        return result;
    } catch (const CLI::CallForVersion& e) {
        result.status = app.exit(e, out, err);
        return result;
    } catch (const CLI::ParseError& e) {
        err << kProgram << ": " << e.what() << "\n"
            << "Run '" << kProgram << " --help' or '" << kProgram << " COMMAND --help' for usage.\n";
        result.status = kExitUsage;
        return result;
    } catch (const ToolError& e) {
        err << kProgram << ": " << e.what() << '\n';
        result.status = e.status();
        return result;
    }
    result.run = true;
    result.command = std::move(command);
    return result;
}

}  // namespace corvane::tool
