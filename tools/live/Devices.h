// Devices.h - the sound devices PortAudio offers, found by number or name.
#pragma once

#include <string>
#include <vector>

namespace corvane::tool {

// One PortAudio device, as 'corvane-voicemod devices' shows it.
struct DeviceInfo {
    int index = -1;  // PortAudio's device index, the number --input and --output take
    std::string name;
    std::string hostApi;  // "ALSA", "JACK Audio Connection Kit", ...
    int inputChannels = 0;
    int outputChannels = 0;
    double defaultSampleRate = 0.0;
    double defaultInputLatency = 0.0;  // seconds, PortAudio's low-latency suggestion
    double defaultOutputLatency = 0.0;
    bool defaultInput = false;  // the default input (output) device of the default host API
    bool defaultOutput = false;
};

enum class Direction { Input, Output };

// Keeps PortAudio initialised while it lives: Pa_Initialize in the
// constructor, Pa_Terminate in the destructor. The host APIs' own chatter
// on standard error while they look for devices (ALSA's and JACK's
// messages about cards and servers that are not there) is kept off the
// terminal. Throws ToolError when PortAudio cannot start. [main-thread]
class PortAudioSession {
public:
    PortAudioSession();
    ~PortAudioSession();
    PortAudioSession(const PortAudioSession&) = delete;
    PortAudioSession& operator=(const PortAudioSession&) = delete;

    // Every device of every host API, in PortAudio's order.
    std::vector<DeviceInfo> devices() const;
};

// The device `wanted` names for `direction`: its number, its exact name, or
// a part of its name that only one device with channels in that direction
// has; an empty `wanted` is the default device. Throws ToolError naming it
// when there is none, when it has no channels that way, or when the
// part of a name fits several devices (they are listed).
DeviceInfo findDevice(const std::vector<DeviceInfo>& devices, const std::string& wanted, Direction direction);

// The list as a table for people, or as JSON.
std::string devicesText(const std::vector<DeviceInfo>& devices);
std::string devicesJson(const std::vector<DeviceInfo>& devices);

}  // namespace corvane::tool
