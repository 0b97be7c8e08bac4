// NameClaim.h - a virtual microphone's name, claimed among this user's
// tools on one PipeWire server: an exclusive flock on
// $XDG_RUNTIME_DIR/corvane-voicemod-mic-<hash of server and name>.lock, held
// while this lives (the system drops it whatever way the process ends, even
// SIGKILL). Checking the server's nodes and making the node later cannot do
// that alone: two tools started at the same instant both find the name free.
// Without $XDG_RUNTIME_DIR, or where the file cannot be made or locked, no
// claim is made, and VirtualMic::open's second look is what decides.
#pragma once

#include <string>

namespace corvane::tool {

class NameClaim {
public:
    // Throws ToolError when another tool holds the name.
    explicit NameClaim(const std::string& name);
    ~NameClaim();
    NameClaim(const NameClaim&) = delete;
    NameClaim& operator=(const NameClaim&) = delete;

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace corvane::tool
