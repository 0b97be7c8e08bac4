#include "render/VoiceChanger.h"

#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <corvane/Corvane.h>
#include <corvane/voicemod/VoicemodError.h>
#include <corvane/voicemod/VoicemodExtension.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/Platform.h"
#include "platform/ToolError.h"

namespace corvane::tool {
namespace fs = std::filesystem;
using extensions::voicemod::VoicemodError;
using extensions::voicemod::VoicemodExtension;
using extensions::voicemod::VoicemodNode;

namespace {

// Identification handed to vcmdInitSDK through the extension.
constexpr const char* kClientName = "corvane-voicemod";
constexpr const char* kClientKey = "corvane-voicemod-tool";

std::string engineReason(const VoicemodError& error) {
    return describeResult(error.code()) + " (code " + std::to_string(error.code()) + ")";
}

std::string joinNames(const std::vector<ParameterInfo>& parameters) {
    std::string out;
    for (const ParameterInfo& p : parameters) out += (out.empty() ? "" : ", ") + quote(p.name);
    return out;
}

// Why the host could not make its temporary folder, naming the folder it
// was given: $TMPDIR when set, else /tmp.
std::string temporaryFolderProblem() {
    const std::optional<std::string> variable = environmentValue("TMPDIR");
    const bool fromVariable = variable && !variable->empty();
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    std::string reason = ec.message();
    if (ec || base.empty()) {
        base = fromVariable ? fs::u8path(*variable) : fs::path("/tmp");
    } else {
        // The folder is there: what stops a folder being made in it?
        const fs::path probe = base / ("corvane-probe-" + std::to_string(processId()));
        std::error_code made;
        if (fs::create_directory(probe, made)) {
            fs::remove(probe, made);
            reason = "a folder could not be made in it";
        } else {
            reason = made ? made.message() : "a folder could not be made in it";
        }
    }
    return "cannot make a temporary folder in " + quote(base.u8string()) + (fromVariable ? " (TMPDIR)" : "") + ": " +
           reason;
}

}  // namespace

std::string describeResult(int code) {
    const char* text = vcmdGetResultDescription(code);
    return text != nullptr ? text : "unknown result";
}

std::string formatNumber(float value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", static_cast<double>(value));
    return text;
}

std::string formatRange(float minimum, float maximum) { return formatNumber(minimum) + ".." + formatNumber(maximum); }

std::optional<VoiceInfo> parseVoiceInfo(const std::string& json) {
    try {
        const nlohmann::json doc = nlohmann::json::parse(json);
        if (!doc.is_object() || !doc.contains("name") || !doc["name"].is_string()) return std::nullopt;
        VoiceInfo info;
        info.name = doc["name"].get<std::string>();
        info.json = json;
        if (doc.contains("description") && doc["description"].is_string())
            info.description = doc["description"].get<std::string>();
        if (doc.contains("parameters") && doc["parameters"].is_array()) {
            for (const auto& p : doc["parameters"]) {
                ParameterInfo param;
                param.name = p.at("name").get<std::string>();
                param.minimum = p.at("minimum").get<float>();
                param.maximum = p.at("maximum").get<float>();
                param.defaultValue = p.value("default", param.minimum);
                param.unit = p.value("unit", std::string());
                info.parameters.push_back(std::move(param));
            }
        }
        return info;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

VoiceChanger::VoiceChanger(const fs::path& contentDirectory) : content_(contentDirectory) {
    std::error_code ec;
    if (!fs::is_directory(content_, ec))
        throw ToolError("voice folder " + quote(content_.u8string()) +
                        (fs::exists(content_, ec) ? " is not a folder" : " does not exist"));
    try {
        Corvane::initialize();
    } catch (const std::exception&) {
        throw ToolError(temporaryFolderProblem());
    }
    try {
        VoicemodExtension::load();
        VoicemodExtension::initialize(kClientName, kClientKey, content_.u8string().c_str());
        voices_ = VoicemodExtension::listVoices();
    } catch (const VoicemodError& error) {
        Corvane::shutdown();
        throw ToolError("cannot bring the voice changer up on " + quote(content_.u8string()) + ": " +
                        describeResult(error.code()));
    } catch (const std::exception& error) {
        Corvane::shutdown();
        throw ToolError("cannot bring the voice changer up on " + quote(content_.u8string()) + ": " + error.what());
    }
}

VoiceChanger::~VoiceChanger() { Corvane::shutdown(); }

bool VoiceChanger::hasVoice(const std::string& name) const {
    return std::find(voices_.begin(), voices_.end(), name) != voices_.end();
}

std::optional<VoiceInfo> VoiceChanger::describe(const std::string& name) const {
    std::uint32_t length = 0;
    char probe[1] = {0};
    std::int32_t code = vcmdGetVoiceInfoJson(name.c_str(), probe, &length);
    if (code != VCMD_ERR_BUFFER_TOO_SMALL && code != VCMD_OK) return std::nullopt;
    if (code == VCMD_OK) return parseVoiceInfo(probe);
    std::string text(length, '\0');
    std::uint32_t size = length;
    code = vcmdGetVoiceInfoJson(name.c_str(), text.data(), &size);
    if (code != VCMD_OK) return std::nullopt;
    text.resize(size);
    return parseVoiceInfo(text);
}

void VoiceChanger::prepare(VoicemodNode& node, const std::string& voice,
                           const std::vector<ParameterSetting>& parameters, const Switches& switches) const {
    if (!hasVoice(voice))
        throw ToolError("unknown voice " + quote(voice) + " (run 'corvane-voicemod voices' to list them)");
    try {
        node.loadVoice(voice);
    } catch (const VoicemodError& error) {
        throw ToolError("cannot load voice " + quote(voice) + ": " + engineReason(error));
    }

    const std::optional<VoiceInfo> info = describe(voice);
    for (const ParameterSetting& setting : parameters) {
        const std::string what = "parameter " + quote(setting.name) + ": ";
        if (info) {
            auto found = std::find_if(info->parameters.begin(), info->parameters.end(),
                                      [&](const ParameterInfo& p) { return p.name == setting.name; });
            if (found == info->parameters.end())
                throw ToolError("voice " + quote(voice) + " has no parameter " + quote(setting.name) +
                                (info->parameters.empty() ? " (it has none)"
                                                          : " (it has " + joinNames(info->parameters) + ")"));
            if (!(setting.value >= found->minimum && setting.value <= found->maximum))
                throw ToolError(what + setting.text + " is outside " + formatRange(found->minimum, found->maximum));
        }
        try {
            node.setParameter(setting.name.c_str(), setting.value);
        } catch (const VoicemodError& error) {
            if (error.code() == VCMD_ERR_UNKNOWN_PARAMETER)
                throw ToolError("voice " + quote(voice) + " has no parameter " + quote(setting.name));
            if (error.code() == VCMD_ERR_VALUE_OUT_OF_RANGE)
                throw ToolError(what + setting.text + " is out of range");
            throw ToolError(what + "cannot set " + setting.text + ": " + engineReason(error));
        }
    }

    const auto set = [](const char* name, auto&& call) {
        try {
            call();
        } catch (const VoicemodError& error) {
            throw ToolError(std::string("cannot set ") + name + ": " + engineReason(error));
        }
    };
    set("bypass", [&] { node.setBypassEnabled(switches.bypass); });
    set("mute", [&] { node.setMuteEnabled(switches.mute); });
    set("background sounds", [&] { node.setBackgroundSoundsEnabled(switches.background); });
    set("offline mode", [&] { node.setOfflineModeEnabled(switches.offline); });
}

std::uint32_t VoiceChanger::latencyFrames() const {
    std::uint32_t frames = 0;
    return vcmdGetLatencyFrames(&frames) == VCMD_OK ? frames : 0;
}

}  // namespace corvane::tool
