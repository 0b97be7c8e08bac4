// VoiceChanger.h - the tool's one bring-up of the voice changer, as an
// application does it, and what it knows about the voices.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <corvane/voicemod/VoicemodNode.h>

namespace corvane::tool {

struct ParameterInfo {
    std::string name;
    float minimum = 0.0f;
    float maximum = 0.0f;
    float defaultValue = 0.0f;
    std::string unit;
};

struct VoiceInfo {
    std::string name;
    std::string description;  // empty when the engine gives none
    std::string json;  // the engine's description, as it gave it
    std::vector<ParameterInfo> parameters;
};

// One name=value request from the command line.
struct ParameterSetting {
    std::string name;
    float value = 0.0f;
    std::string text;  // the value as typed, for messages
};

// The switches a render sets on the node.
struct Switches {
    bool bypass = false;
    bool mute = false;
    bool background = false;
    bool offline = false;
};

// Brings the voice changer up for the process: VoicemodExtension::load(),
// the host's set-up (Corvane::initialize(), which makes the temporary
// directory) and VoicemodExtension::initialize() on `contentDirectory`.
// Failures throw ToolError naming the folder and the reason. The destructor
// shuts the host down again (removing its temporary directory). One object
// at a time per process: the voice changer's state is process-wide.
class VoiceChanger {
public:
    explicit VoiceChanger(const std::filesystem::path& contentDirectory);
    ~VoiceChanger();
    VoiceChanger(const VoiceChanger&) = delete;
    VoiceChanger& operator=(const VoiceChanger&) = delete;

    const std::filesystem::path& contentDirectory() const noexcept { return content_; }
    // The voices in the engine's order, as VoicemodExtension::listVoices() gave them.
    const std::vector<std::string>& voices() const noexcept { return voices_; }
    bool hasVoice(const std::string& name) const;

    // The engine's description of a voice, when the engine can give one
    // (only the bundled engine can).
    std::optional<VoiceInfo> describe(const std::string& name) const;

    // Loads `voice` on the node, sets each parameter and the switches.
    // Every refusal throws ToolError with the voice or parameter and the
    // reason, e.g. unknown voice "Robott" (run 'corvane-voicemod voices' to
    // list them), or parameter "Pitch": 99 is outside 0..12.
    void prepare(extensions::voicemod::VoicemodNode& node, const std::string& voice,
                 const std::vector<ParameterSetting>& parameters, const Switches& switches) const;

    // Delay in frames the loaded voice adds at the current rate and mode.
    std::uint32_t latencyFrames() const;

private:
    std::filesystem::path content_;
    std::vector<std::string> voices_;
};

// The text of a voice-changer result code (vcmdGetResultDescription).
std::string describeResult(int code);

// Turns the engine's JSON description into a VoiceInfo; nothing when the
// text is not such a description.
std::optional<VoiceInfo> parseVoiceInfo(const std::string& json);

// "0..12", "-12..-3", "0.5..1" - a range for messages.
std::string formatRange(float minimum, float maximum);
std::string formatNumber(float value);

}  // namespace corvane::tool
