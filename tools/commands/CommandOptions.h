// CommandOptions.h - each command's options on the command line (CLI11),
// for parseCommandLine (CommandLine.h), which adds them in this order:
// voices, render, demo, live, devices.
#pragma once

#include <CLI/CLI.hpp>

#include <memory>
#include <string>
#include <vector>

#include "commands/CommandLine.h"
#include "platform/ToolError.h"

namespace corvane::tool {

// --quiet, --verbose and --content, which every command takes.
struct CommonFlags {
    bool quiet = false;
    bool verbose = false;
    std::string content;

    void addTo(CLI::App& command) {
        auto* q =
            command.add_flag("-q,--quiet", quiet, "Print nothing but errors' own messages; no progress bar");
        auto* v = command.add_flag("-v,--verbose", verbose, "Also print the host's and engine's debug log");
        q->excludes(v);
        contentOption =
            command.add_option("--content", content,
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
                            const std::string& help);

// One command's subcommand of the application, bound to the Command the
// parse fills in.
struct CommandOptions {
    virtual ~CommandOptions() = default;
    CLI::App* app = nullptr;
    CommonFlags flags;
    // When this command was given: its kind, the flags every command takes,
    // and what CLI11 cannot check or convert by itself. Throws ToolError
    // (usage status) for what is wrong. `arguments` are the command line's.
    virtual void finish(const std::vector<std::string>& arguments, Command& command) = 0;
};

std::unique_ptr<CommandOptions> addVoicesOptions(CLI::App& app, Command& command);
std::unique_ptr<CommandOptions> addRenderOptions(CLI::App& app, Command& command);
std::unique_ptr<CommandOptions> addDemoOptions(CLI::App& app, Command& command);
std::unique_ptr<CommandOptions> addLiveOptions(CLI::App& app, Command& command);
std::unique_ptr<CommandOptions> addDevicesOptions(CLI::App& app, Command& command);

}  // namespace corvane::tool
