// FormantVoices.cpp - see FormantVoices.h. The packages are JSON
// (docs/VOICE_PACKAGES.md); the engine itself has checked them when it
// mounted them, so this reads only what it needs.
#include "FormantVoices.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace quality {

float ParameterMap::valueFor(double value) const {
    if (to == from) return static_cast<float>(minimum);
    return static_cast<float>(minimum + (value - from) / (to - from) * (maximum - minimum));
}

bool ParameterMap::reaches(double value) const {
    if (parameter.empty()) return false;
    const double v = valueFor(value);
    return v >= minimum - 1e-9 && v <= maximum + 1e-9;
}

std::vector<FormantVoice> formantVoices(const std::string& voicesDir) {
    std::vector<std::filesystem::path> packages;
    for (const auto& entry : std::filesystem::directory_iterator(voicesDir))
        if (entry.path().extension() == ".zvmd") packages.push_back(entry.path());
    std::sort(packages.begin(), packages.end());
    std::vector<FormantVoice> voices;
    for (const auto& path : packages) {
        std::ifstream file(path);
        const nlohmann::json package = nlohmann::json::parse(file, nullptr, false);
        if (package.is_discarded() || !package.contains("voices"))
            throw std::runtime_error("cannot read the voice package " + path.string());
        for (const nlohmann::json& v : package["voices"]) {
            FormantVoice voice;
            voice.name = v.value("name", "");
            std::string pitchId;
            bool formantSet = false;
            for (const nlohmann::json& e : v.value("effects", nlohmann::json::array())) {
                const std::string type = e.value("type", "");
                if (type == "pitch" && pitchId.empty()) {
                    pitchId = e.value("id", "");
                    const nlohmann::json settings = e.value("settings", nlohmann::json::object());
                    voice.pitch = settings.value("semitones", 0.0);
                    formantSet = settings.contains("formant");
                    voice.formant = settings.value("formant", voice.pitch);
                } else {
                    voice.otherEffects.push_back(type);
                }
            }
            if (pitchId.empty()) continue;
            // A parameter's default is its value once the voice is loaded.
            for (const nlohmann::json& p : v.value("parameters", nlohmann::json::array())) {
                for (const nlohmann::json& t : p.value("targets", nlohmann::json::array())) {
                    if (t.value("effect", "") != pitchId) continue;
                    ParameterMap map;
                    map.parameter = p.value("name", "");
                    map.minimum = p.value("minimum", 0.0);
                    map.maximum = p.value("maximum", 0.0);
                    map.from = map.minimum;
                    map.to = map.maximum;
                    if (t.contains("range")) {
                        map.from = t["range"][0].get<double>();
                        map.to = t["range"][1].get<double>();
                    }
                    const double def = p.value("default", 0.0);
                    const double setting =
                        map.maximum == map.minimum
                            ? map.from
                            : map.from + (map.to - map.from) * (def - map.minimum) / (map.maximum - map.minimum);
                    if (t.value("setting", "") == "semitones") {
                        voice.pitchParameter = map;
                        voice.pitch = setting;
                        if (!formantSet) voice.formant = setting;
                    } else if (t.value("setting", "") == "formant") {
                        voice.formantParameter = map;
                        voice.formant = setting;
                        formantSet = true;
                    }
                }
            }
            if (!voice.formantParameter.parameter.empty()) voices.push_back(voice);
        }
    }
    std::sort(voices.begin(), voices.end(),
              [](const FormantVoice& a, const FormantVoice& b) { return a.name < b.name; });
    return voices;
}

}  // namespace quality
