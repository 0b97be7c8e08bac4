#include "live/Devices.h"

#include <portaudio.h>
#if __has_include(<pa_jack.h>)
#include <pa_jack.h>
#define CORVANE_HAVE_PA_JACK 1
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <iomanip>
#include <nlohmann/json.hpp>
#include <sstream>

#if defined(__unix__) || defined(__APPLE__)
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/ToolError.h"

namespace corvane::tool {

namespace {

// Sends standard error to /dev/null while it lives (POSIX only), for the
// host APIs that print to it while they probe.
class QuietStandardError {
public:
    QuietStandardError() {
#if defined(__unix__) || defined(__APPLE__)
        std::fflush(stderr);
        saved_ = ::dup(STDERR_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null >= 0) ::dup2(null, STDERR_FILENO);
        if (null >= 0) ::close(null);
#endif
    }
    ~QuietStandardError() {
#if defined(__unix__) || defined(__APPLE__)
        std::fflush(stderr);
        if (saved_ >= 0) {
            ::dup2(saved_, STDERR_FILENO);
            ::close(saved_);
        }
#endif
    }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

private:
    int saved_ = -1;
};

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int channelsOf(const DeviceInfo& device, Direction direction) {
    return direction == Direction::Input ? device.inputChannels : device.outputChannels;
}

const char* directionName(Direction direction) { return direction == Direction::Input ? "input" : "output"; }

std::string describe(const DeviceInfo& device) {
    return quote(device.name) + " (" + std::to_string(device.index) + ", " + device.hostApi + ")";
}

}  // namespace

PortAudioSession::PortAudioSession() {
#ifdef CORVANE_HAVE_PA_JACK
    // The name of this program's client on a JACK server; its ports are
    // "corvane-voicemod:in_1", "corvane-voicemod:out_1", ...
    PaJack_SetClientName("corvane-voicemod");
#endif
    PaError error = paNoError;
    {
        // PortAudio's JACK host API would otherwise have libjack start a
        // server of its own when none runs; only a running one is used.
        const char* noStart = std::getenv("JACK_NO_START_SERVER");
        if (noStart == nullptr) ::setenv("JACK_NO_START_SERVER", "1", 0);
        QuietStandardError quiet;
        error = Pa_Initialize();
    }
    if (error != paNoError) throw ToolError(std::string("cannot start PortAudio: ") + Pa_GetErrorText(error));
}

PortAudioSession::~PortAudioSession() {
    QuietStandardError quiet;
    Pa_Terminate();
}

std::vector<DeviceInfo> PortAudioSession::devices() const {
    std::vector<DeviceInfo> list;
    const PaDeviceIndex count = Pa_GetDeviceCount();
    const PaDeviceIndex defaultIn = Pa_GetDefaultInputDevice();
    const PaDeviceIndex defaultOut = Pa_GetDefaultOutputDevice();
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info == nullptr) continue;
        const PaHostApiInfo* api = Pa_GetHostApiInfo(info->hostApi);
        DeviceInfo device;
        device.index = i;
        device.name = info->name != nullptr ? info->name : "";
        device.hostApi = api != nullptr && api->name != nullptr ? api->name : "?";
        device.inputChannels = info->maxInputChannels;
        device.outputChannels = info->maxOutputChannels;
        device.defaultSampleRate = info->defaultSampleRate;
        device.defaultInputLatency = info->defaultLowInputLatency;
        device.defaultOutputLatency = info->defaultLowOutputLatency;
        device.defaultInput = i == defaultIn;
        device.defaultOutput = i == defaultOut;
        list.push_back(std::move(device));
    }
    return list;
}

DeviceInfo findDevice(const std::vector<DeviceInfo>& devices, const std::string& wanted, Direction direction) {
    const std::string way = directionName(direction);
    const std::string hint = " (run 'corvane-voicemod devices' to list them)";
    if (wanted.empty()) {
        for (const DeviceInfo& d : devices)
            if (direction == Direction::Input ? d.defaultInput : d.defaultOutput) {
                if (channelsOf(d, direction) <= 0)
                    throw ToolError("the default " + way + " device " + describe(d) + " has no " + way + " channels");
                return d;
            }
        throw ToolError("no " + way + " device" + hint);
    }

    const DeviceInfo* chosen = nullptr;
    const bool number = std::all_of(wanted.begin(), wanted.end(), [](unsigned char c) { return std::isdigit(c); });
    if (number) {
        const long index = std::strtol(wanted.c_str(), nullptr, 10);
        for (const DeviceInfo& d : devices)
            if (d.index == index) chosen = &d;
        if (chosen == nullptr) throw ToolError("no device number " + wanted + hint);
    } else {
        for (const DeviceInfo& d : devices)
            if (d.name == wanted && channelsOf(d, direction) > 0) {
                chosen = &d;
                break;
            }
        if (chosen == nullptr) {
            std::vector<const DeviceInfo*> partial;
            for (const DeviceInfo& d : devices)
                if (channelsOf(d, direction) > 0 && lower(d.name).find(lower(wanted)) != std::string::npos)
                    partial.push_back(&d);
            if (partial.size() > 1) {
                std::string names;
                for (const DeviceInfo* d : partial) names += (names.empty() ? "" : ", ") + describe(*d);
                throw ToolError(way + " device " + quote(wanted) + " fits several devices: " + names +
                                "; give its number");
            }
            if (partial.empty()) {
                for (const DeviceInfo& d : devices)
                    if (d.name == wanted)
                        throw ToolError(way + " device " + describe(d) + " has no " + way + " channels");
                throw ToolError("no " + way + " device " + quote(wanted) + hint);
            }
            chosen = partial.front();
        }
    }
    if (channelsOf(*chosen, direction) <= 0)
        throw ToolError(way + " device " + describe(*chosen) + " has no " + way + " channels");
    return *chosen;
}

std::string devicesText(const std::vector<DeviceInfo>& devices) {
    std::ostringstream out;
    if (devices.empty()) {
        out << "no sound devices\n";
        return out.str();
    }
    std::size_t nameWidth = 6, apiWidth = 8;
    for (const DeviceInfo& d : devices) {
        nameWidth = std::max(nameWidth, d.name.size());
        apiWidth = std::max(apiWidth, d.hostApi.size());
    }
    out << std::right << std::setw(3) << "#" << "  " << std::left << std::setw(static_cast<int>(nameWidth))
        << "Device" << "  " << std::setw(static_cast<int>(apiWidth)) << "Host API" << std::right << "  "
        << std::setw(3) << "In" << "  " << std::setw(3) << "Out" << "  " << std::setw(8) << "Rate" << "  Default\n";
    for (const DeviceInfo& d : devices) {
        std::string defaults;
        if (d.defaultInput) defaults = "input";
        if (d.defaultOutput) defaults += defaults.empty() ? "output" : ", output";
        out << std::right << std::setw(3) << d.index << "  " << std::left << std::setw(static_cast<int>(nameWidth))
            << d.name << "  " << std::setw(static_cast<int>(apiWidth)) << d.hostApi << std::right << "  "
            << std::setw(3) << d.inputChannels << "  " << std::setw(3) << d.outputChannels << "  " << std::setw(8)
            << std::fixed << std::setprecision(0) << d.defaultSampleRate << "  " << defaults << '\n';
    }
    return out.str();
}

std::string devicesJson(const std::vector<DeviceInfo>& devices) {
    nlohmann::json list = nlohmann::json::array();
    for (const DeviceInfo& d : devices) {
        list.push_back({{"index", d.index},
                        {"name", d.name},
                        {"hostApi", d.hostApi},
                        {"inputChannels", d.inputChannels},
                        {"outputChannels", d.outputChannels},
                        {"defaultSampleRate", d.defaultSampleRate},
                        {"defaultInputLatency", d.defaultInputLatency},
                        {"defaultOutputLatency", d.defaultOutputLatency},
                        {"defaultInput", d.defaultInput},
                        {"defaultOutput", d.defaultOutput}});
    }
    return list.dump(2) + "\n";
}

}  // namespace corvane::tool
