#include "commands/CommandLine.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>

#include <corvane/voicemod/Version.h>

#include "commands/CommandOptions.h"
#include "platform/ToolError.h"

namespace corvane::tool {
namespace {

constexpr const char* kProgram = "corvane-voicemod";

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
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
    if (end == setting.text.c_str() || *end != '\0' || std::isnan(value) ||
        (std::isinf(value) && errno != ERANGE))
        throw ToolError("malformed --param " + quote(text) + ": " + quote(setting.text) + " is not a number",
                        kExitUsage);
    constexpr double kLargest = std::numeric_limits<float>::max();
    constexpr float kInfinity = std::numeric_limits<float>::infinity();
    setting.value = value > kLargest ? kInfinity : value < -kLargest ? -kInfinity : static_cast<float>(value);
    return setting;
}

ParseResult parseCommandLine(const std::vector<std::string>& arguments, std::ostream& out,
                             std::ostream& err) {
    CLI::App app("Renders audio files through the Corvane voice changer's voices, or changes a voice live.",
                 kProgram);
    app.set_version_flag("--version", std::string(kProgram) + " " + CORVANE_VOICEMOD_VERSION_STRING);
    app.require_subcommand(1);
    app.footer(
        "Exit status: 0 success, 1 a file, a sound device or the voice changer failed, 2 bad usage.\n"
        "Run 'corvane-voicemod COMMAND --help' for a command's options.");

    Command command;
    // Each command's options (CommandOptions.cpp), in --help's order.
    std::unique_ptr<CommandOptions> commands[] = {
        addVoicesOptions(app, command), addRenderOptions(app, command), addDemoOptions(app, command),
        addLiveOptions(app, command), addDevicesOptions(app, command)};

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
        for (const auto& options : commands)
            if (options->app->parsed()) options->finish(arguments, command);
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
