// CommandOptions.cpp - see CommandOptions.h: each command's options, in
// the order --help lists them.
#include "commands/CommandOptions.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace corvane::tool {
namespace {

constexpr std::uint32_t kLargestBlock = 65536;
constexpr const char* kDefaultVirtualMic = "Corvane Voice";

}  // namespace

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

std::unique_ptr<CommandOptions> addVoicesOptions(CLI::App& app, Command& command) {
    struct Voices : CommandOptions {
        void finish(const std::vector<std::string>&, Command& command) override {
            command.kind = CommandKind::Voices;
            command.common = flags.options();
        }
    };
    auto o = std::make_unique<Voices>();
    o->app = app.add_subcommand("voices", "List the voices the voice changer offers, one per line");
    o->app->add_flag("--json", command.voices.json, "Print each voice's package and parameters as JSON");
    o->flags.addTo(*o->app);
    return o;
}

std::unique_ptr<CommandOptions> addRenderOptions(CLI::App& app, Command& command) {
    struct Render : CommandOptions {
        std::vector<std::string> parameterTexts;
        void finish(const std::vector<std::string>&, Command& command) override {
            command.kind = CommandKind::Render;
            command.common = flags.options();
            for (const std::string& text : parameterTexts)
                command.render.parameters.push_back(parseParameterSetting(text));
        }
    };
    auto o = std::make_unique<Render>();
    o->app = app.add_subcommand("render", "Render an audio file through a voice");
    o->app
        ->add_option("INPUT", command.render.input,
                     "Audio file to read (WAV, FLAC, Ogg, MP3, ...); - for standard input")
        ->required();
    o->app
        ->add_option(
            "OUTPUT", command.render.output,
            "Audio file to write; keeps the input's rate, channels and sample format; - for standard "
            "output (FLAC, Ogg or MP3: formats written front to back)")
        ->required();
    o->app->add_option("--voice", command.render.voice, "Voice to use (see 'corvane-voicemod voices')")
        ->required();
    o->app
        ->add_option("--param", o->parameterTexts,
                     "Set a voice parameter, e.g. --param \"Pitch=12\" (repeatable)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)  // one value per --param: positionals after it stay positionals
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    o->app->add_flag("--bypass", command.render.switches.bypass, "Pass the audio through unchanged");
    o->app->add_flag("--mute", command.render.switches.mute, "Silence the output");
    o->app->add_flag("--background", command.render.switches.background,
                     "Mix in the voice's background sounds (off by default)");
    o->app->add_flag("--offline", command.render.switches.offline,
                     "Offline mode: the engine's file-rendering quality, independent of the block size");
    o->app->add_option("--block", command.render.block, "Frames per processing block")
        ->check(CLI::Range(1u, kLargestBlock))
        ->default_val(256);
    o->app
        ->add_option("--format", command.render.format,
                     "Container of OUTPUT: wav, flac, ogg or mp3 (default: from OUTPUT's extension, else the "
                     "input's)")
        ->check(CLI::IsMember({"wav", "flac", "ogg", "mp3"}, CLI::ignore_case));
    o->flags.addTo(*o->app);
    return o;
}

std::unique_ptr<CommandOptions> addDemoOptions(CLI::App& app, Command& command) {
    struct Demo : CommandOptions {
        void finish(const std::vector<std::string>&, Command& command) override {
            command.kind = CommandKind::Demo;
            command.common = flags.options();
        }
    };
    auto o = std::make_unique<Demo>();
    o->app = app.add_subcommand("demo", "Render the bundled speech sample through every voice");
    o->app->add_option("OUTDIR", command.demo.outputDirectory, "Folder for the rendered files")
        ->default_val("demo-out");
    o->app->add_option("--block", command.demo.block, "Frames per processing block")
        ->check(CLI::Range(1u, kLargestBlock))
        ->default_val(256);
    o->app->add_flag("--offline", command.demo.offline, "Render in the engine's offline mode");
    o->flags.addTo(*o->app);
    return o;
}

std::unique_ptr<CommandOptions> addLiveOptions(CLI::App& app, Command& command) {
    struct Live : CommandOptions {
        std::vector<std::string> liveParameterTexts;
        CLI::Option* virtualMic = nullptr;
        CLI::Option* gate = nullptr;
        void finish(const std::vector<std::string>& arguments, Command& command) override {
            command.kind = CommandKind::Live;
            command.common = flags.options();
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
                throw ToolError(
                    "--monitor goes with --virtual-mic (without it the voice is on the speakers anyway)",
                    kExitUsage);
            command.live.gate = gate->count() > 0;
        }
    };
    auto o = std::make_unique<Live>();
    o->app = app.add_subcommand(
        "live", "Speak into the microphone and hear the voice: input device -> voice -> output device");
    o->app->add_option("--voice", command.live.voice, "Voice to start with (default: the first one)");
    o->app
        ->add_option("--param", o->liveParameterTexts,
                     "Set a voice parameter, e.g. --param \"Pitch=12\" (repeatable)")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    o->app->add_flag("--bypass", command.live.switches.bypass, "Start with the voice bypassed");
    o->app->add_flag("--mute", command.live.switches.mute, "Start muted");
    o->app->add_flag("--background", command.live.switches.background,
                     "Mix in the voice's background sounds");
    o->app
        ->add_option("--input", command.live.input,
                     "Input device: its number or (part of) its name from 'corvane-voicemod devices' "
                     "(default: the default input)")
        ->type_name("DEVICE");
    o->app
        ->add_option("--output", command.live.output, "Output device, likewise (default: the default output)")
        ->type_name("DEVICE");
    o->app->add_option("--rate", command.live.rate, "Sample rate in Hz (default: the output device's)")
        ->type_name("HZ")
        ->check(CLI::Range(8000u, 384000u));
    o->app->add_option("--block", command.live.block, "Frames per audio callback")
        ->check(CLI::Range(16u, 8192u))
        ->default_val(256);
    o->app
        ->add_option("--duration", command.live.duration,
                     "Stop after this many seconds (default: when stopped)")
        ->type_name("SECONDS")
        ->check(finiteWithin(0.0, false, std::numeric_limits<double>::max(),
                             "not in range: more than 0 seconds", "POSITIVE"));
    o->app->add_flag(
        "--cpu-times", command.live.cpuTimes,
        "Also measure each callback's CPU time, page faults and preemptions, and tell them of the "
        "slowest (system calls in the callback: for measuring)");
    o->app->add_flag("--no-lock-memory", command.live.noLockMemory,
                     "Leave the program's memory unlocked (by default it is locked into RAM so that no "
                     "callback waits for a page)");
    o->virtualMic =
        o->app
            ->add_option(
                "--virtual-mic", command.live.virtualMicName,
                "Send the voice to a virtual microphone that other applications can pick, named NAME "
                "(default \"Corvane Voice\"; Linux with PipeWire)")
            ->type_name("[NAME]")
            ->expected(0, 1);
    o->app->add_flag("--monitor", command.live.monitor,
                     "With --virtual-mic: also play the voice on the speakers (--output)");
    o->app->add_flag("--denoise", command.live.denoise, "Suppress steady noise (fans, hum) before the voice");
    o->gate = o->app
                  ->add_option("--gate", command.live.gateThreshold,
                               "Noise gate before the voice: silence below DB dBFS (e.g. -45), with attack, "
                               "hold and release")
                  ->type_name("DB")
                  ->check(finiteWithin(-100.0, true, 0.0, "not in range -100 to 0", "FLOAT in [-100 - 0]"));
    o->flags.addTo(*o->app);
    return o;
}

std::unique_ptr<CommandOptions> addDevicesOptions(CLI::App& app, Command& command) {
    struct Devices : CommandOptions {
        void finish(const std::vector<std::string>&, Command& command) override {
            command.kind = CommandKind::Devices;
            command.common = flags.options();
        }
    };
    auto o = std::make_unique<Devices>();
    o->app = app.add_subcommand("devices",
                                "List the sound devices: host API, input and output channels, default rate");
    o->app->add_flag("--json", command.devices.json, "Print the list as JSON");
    o->flags.addTo(*o->app);
    return o;
}

}  // namespace corvane::tool
