// Live.h - the 'live' and 'devices' commands. Built with PortAudio they use
// the sound devices; built without it they say so and fail.
#pragma once

#include "commands/CommandLine.h"
#include "commands/Commands.h"

namespace corvane::tool {

// Microphone -> VoicemodNode -> speakers until --duration, 'q' or a signal;
// then a summary. Throws ToolError (status 1) when a device is missing,
// refuses the format or stops delivering audio.
int runLive(const Command& command, Console& console);

// The devices PortAudio offers, as a table or JSON.
int runDevices(const Command& command, Console& console);

}  // namespace corvane::tool
