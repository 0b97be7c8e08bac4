// The 'live' and 'devices' commands of a build without PortAudio.
#include "commands/Live.h"
#include "platform/ToolError.h"

namespace corvane::tool {

namespace {
[[noreturn]] void unavailable(const char* command) {
    throw ToolError(std::string(command) +
                    ": this build of corvane-voicemod has no sound-device support (it was built without PortAudio)");
}
}  // namespace

int runLive(const Command&, Console&) { unavailable("live"); }
int runDevices(const Command&, Console&) { unavailable("devices"); }

}  // namespace corvane::tool
