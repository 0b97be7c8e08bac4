// Commands.h - the tool's commands, run from parsed options.
#pragma once

#include <atomic>
#include <ostream>
#include <string>
#include <vector>

#include "commands/CommandLine.h"

namespace corvane::tool {

// Where a command writes and what it may show.
struct Console {
    std::ostream& out;
    std::ostream& err;
    bool progressAllowed = false;  // stderr is a terminal
    const std::atomic<bool>* stop = nullptr;
};

// Each returns the exit status; failures throw ToolError.
int runVoices(const Command& command, Console& console);
int runRender(const Command& command, Console& console);
int runDemo(const Command& command, Console& console);

// The whole program: parses, sets the host logger's level, runs the command
// and turns any failure into "corvane-voicemod: <message>" on `err` and its
// exit status.
int toolMain(const std::vector<std::string>& arguments, Console& console);

}  // namespace corvane::tool
