// Package.cpp - the strict reader of .zvmd voice packages: the walk through
// the document's schema (the JSON checks it is made of are in Json.h).
//
// A package is refused whole at the first fault: the reader builds the
// Package on the side and the caller mounts it only when everything checked
// out. Every message names the JSON path of the fault.
#include "voice/Package.h"

#include <cmath>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <sstream>
#include <system_error>
#include <filesystem>
#include <unordered_set>

#include <nlohmann/json.hpp>

#include "VoicemodUSDKResults.h"
#include "voice/Json.h"

namespace vcmd {
namespace {

using json = nlohmann::json;
using namespace strictjson;

constexpr const char* kFormatName = "corvane-voice-package";
constexpr unsigned kFormatVersion = 1;
constexpr std::size_t kMaxEffects = 32;
constexpr std::size_t kMaxLayers = 8;
constexpr std::size_t kMaxParameters = kMaxVoiceParameters;
constexpr std::size_t kMaxTargets = 8;


// A name a person reads in a menu: 1 to 99 bytes, no control characters, no
// space at either end. The document parser has already checked the UTF-8.
std::string getName(const json& v, const std::string& where) {
    std::string name = getString(v, where);
    if (name.empty()) refuse(where + " is empty");
    if (name.size() > kMaxNameBytes)
        refuse(where + " is " + std::to_string(name.size()) + " bytes long, more than " +
               std::to_string(kMaxNameBytes));
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) refuse(where + " contains a control character");
    if (name.front() == ' ' || name.back() == ' ') refuse(where + " starts or ends with a space");
    return name;
}

std::uint64_t seedOf(const std::string& name) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
    return h;
}

// Bounds are compared as floats with the catalogue's float bounds, so a
// bound written in a package exactly as documented (0.1, 0.95) is inside.
float checkedSetting(const SettingInfo& info, float value, const std::string& where) {
    if (value < info.minimum || value > info.maximum)
        refuse(where + " is " + formatNumber(value) + ", outside " + formatNumber(info.minimum) + ".." +
               formatNumber(info.maximum));
    return value;
}

void readEffect(const json& v, const std::string& where, bool background, EffectDef& out) {
    requireObject(v, where);
    onlyFields(v, where, {"id", "type", "settings"});
    out.id = getName(member(v, where, "id"), path(where, "id"));
    const std::string type = getString(member(v, where, "type"), path(where, "type"));
    const EffectInfo* info = findEffectInfo(type.c_str());
    if (info == nullptr) refuse(path(where, "type") + " \"" + type + "\" is not a known effect type");
    if (info->background != background)
        refuse(path(where, "type") + " \"" + type + "\" belongs in " + (info->background ? "background" : "effects"));
    out.type = info->type;
    for (int i = 0; i < info->settingCount; ++i) out.settings[i] = info->settings[i].defaultValue;
    if (info->type == EffectType::PitchShift) out.settings[1] = kFormantFollowsPitch;
    auto settings = v.find("settings");
    if (settings == v.end()) return;
    const std::string sWhere = path(where, "settings");
    requireObject(*settings, sWhere);
    for (auto it = settings->begin(); it != settings->end(); ++it) {
        const int s = findSetting(*info, it.key().c_str());
        const std::string here = sWhere + "." + it.key();
        if (s < 0) refuse(here + " is not a setting of " + type);
        out.settings[s] = checkedSetting(info->settings[s], getNumber(it.value(), here), here);
    }
}

void readParameter(const json& v, const std::string& where, VoiceDef& voice,
                   const std::unordered_map<std::string, int>& effectById, ParameterDef& out) {
    requireObject(v, where);
    onlyFields(v, where, {"name", "minimum", "maximum", "default", "unit", "targets"});
    out.name = getName(member(v, where, "name"), path(where, "name"));
    const float lo = getNumber(member(v, where, "minimum"), path(where, "minimum"));
    const float hi = getNumber(member(v, where, "maximum"), path(where, "maximum"));
    const float def = getNumber(member(v, where, "default"), path(where, "default"));
    if (!(lo < hi))
        refuse(path(where, "minimum") + " is " + formatNumber(lo) + ", not less than maximum " + formatNumber(hi));
    // A value is mapped onto its targets through (value - minimum) /
    // (maximum - minimum): the width must be a finite, normal float, or the
    // mapping overflows or (with subnormals flushed on the audio thread)
    // divides by zero.
    const float width = hi - lo;
    if (!std::isfinite(width))
        refuse(path(where, "minimum") + ".." + "maximum is wider than the largest float");
    if (width < std::numeric_limits<float>::min())
        refuse(path(where, "minimum") + ".." + "maximum is narrower than the smallest normal float");
    if (def < lo || def > hi) refuse(path(where, "default") + " is " + formatNumber(def) + ", outside the parameter's range");
    out.minimum = lo;
    out.maximum = hi;
    out.defaultValue = def;
    out.unit = getString(member(v, where, "unit"), path(where, "unit"));
    const std::string tWhere = path(where, "targets");
    const json& targets = getArray(member(v, where, "targets"), tWhere);
    if (targets.empty()) refuse(tWhere + " is empty");
    if (targets.size() > kMaxTargets) refuse(tWhere + " has more than " + std::to_string(kMaxTargets) + " entries");
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const std::string here = index(tWhere, i);
        const json& t = targets[i];
        requireObject(t, here);
        onlyFields(t, here, {"effect", "setting", "range"});
        const std::string id = getString(member(t, here, "effect"), path(here, "effect"));
        auto found = effectById.find(id);
        if (found == effectById.end()) refuse(path(here, "effect") + " \"" + id + "\" names no effect of this voice");
        ParameterTarget target;
        target.effect = found->second;
        const EffectInfo& info = effectInfo(voice.effects[static_cast<std::size_t>(target.effect)].type);
        const std::string setting = getString(member(t, here, "setting"), path(here, "setting"));
        target.setting = findSetting(info, setting.c_str());
        if (target.setting < 0) refuse(path(here, "setting") + " \"" + setting + "\" is not a setting of " + info.name);
        const SettingInfo& s = info.settings[target.setting];
        float from = lo, to = hi;
        if (auto range = t.find("range"); range != t.end()) {
            const std::string rWhere = path(here, "range");
            if (!range->is_array() || range->size() != 2) refuse(rWhere + " must be an array of two numbers");
            from = getNumber((*range)[0], rWhere + "[0]");
            to = getNumber((*range)[1], rWhere + "[1]");
            checkedSetting(s, from, rWhere + "[0]");
            checkedSetting(s, to, rWhere + "[1]");
        } else {
            // Without a range the parameter's value is the setting's value.
            checkedSetting(s, lo, path(where, "minimum"));
            checkedSetting(s, hi, path(where, "maximum"));
        }
        target.from = from;
        target.to = to;
        out.targets.push_back(target);
    }
}

void readVoice(const json& v, const std::string& where, VoiceDef& out) {
    requireObject(v, where);
    onlyFields(v, where, {"name", "description", "effects", "background", "parameters"});
    out.name = getName(member(v, where, "name"), path(where, "name"));
    if (auto d = v.find("description"); d != v.end()) out.description = getString(*d, path(where, "description"));
    out.seed = seedOf(out.name);

    std::unordered_map<std::string, int> effectById;
    auto readList = [&](const json& list, const std::string& lWhere, bool background, std::size_t limit) {
        getArray(list, lWhere);
        if (list.size() > limit) refuse(lWhere + " has more than " + std::to_string(limit) + " entries");
        for (std::size_t i = 0; i < list.size(); ++i) {
            EffectDef effect;
            readEffect(list[i], index(lWhere, i), background, effect);
            if (!effectById.emplace(effect.id, static_cast<int>(out.effects.size())).second)
                refuse(index(lWhere, i) + ".id \"" + effect.id + "\" is used twice in this voice");
            out.effects.push_back(std::move(effect));
        }
    };
    readList(member(v, where, "effects"), path(where, "effects"), false, kMaxEffects);
    if (auto bg = v.find("background"); bg != v.end()) readList(*bg, path(where, "background"), true, kMaxLayers);

    const std::string pWhere = path(where, "parameters");
    const json& params = getArray(member(v, where, "parameters"), pWhere);
    if (params.size() > kMaxParameters) refuse(pWhere + " has more than " + std::to_string(kMaxParameters) + " entries");
    out.parameters.reserve(params.size());
    std::unordered_set<std::string> names;
    for (std::size_t i = 0; i < params.size(); ++i) {
        ParameterDef p;
        readParameter(params[i], index(pWhere, i), out, effectById, p);
        if (!names.insert(p.name).second)
            refuse(index(pWhere, i) + ".name \"" + p.name + "\" is used twice in this voice");
        out.parameters.push_back(std::move(p));
    }
    // Indexed once the names no longer move.
    for (std::size_t i = 0; i < out.parameters.size(); ++i)
        out.parameterIndex.emplace(std::string_view(out.parameters[i].name), static_cast<int>(i));
}

void readDocument(const json& doc, Package& out) {
    requireObject(doc, "the document");
    onlyFields(doc, "", {"format", "version", "title", "voices"});
    const std::string format = getString(member(doc, "", "format"), "format");
    if (format != kFormatName) refuse("format is \"" + format + "\", not \"" + kFormatName + "\"");
    const json& version = member(doc, "", "version");
    if (!version.is_number_integer() && !version.is_number_unsigned())
        refuse(std::string("version must be an integer, not ") + typeName(version));
    // Compared and shown as the integer written: an unsigned one (anything
    // above 2^63 - 1) must not pass through a signed type.
    const bool known = version.is_number_unsigned() ? version.get<std::uint64_t>() == kFormatVersion
                                                    : version.get<std::int64_t>() == kFormatVersion;
    if (!known)
        refuse("unknown format version " + version.dump() + " (this engine reads " + std::to_string(kFormatVersion) +
               ")");
    if (auto t = doc.find("title"); t != doc.end()) out.title = getString(*t, "title");
    const json& voices = getArray(member(doc, "", "voices"), "voices");
    if (voices.empty()) refuse("voices is empty");
    out.voices.resize(voices.size());
    std::unordered_set<std::string> names;
    names.reserve(voices.size());
    for (std::size_t i = 0; i < voices.size(); ++i) {
        readVoice(voices[i], index("voices", i), out.voices[i]);
        if (!names.insert(out.voices[i].name).second)
            refuse(index("voices", i) + ".name \"" + out.voices[i].name + "\" is used twice in this package");
    }
}

}  // namespace

std::int32_t parsePackage(const std::string& text, Package& out, std::string& error) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception& e) {
        // The parser's message says at which byte it gave up.
        error = std::string("not JSON: ") + e.what();
        return VCMD_ERR_INVALID_PACKAGE;
    }
    try {
        Package parsed;
        readDocument(doc, parsed);
        out = std::move(parsed);
        return VCMD_OK;
    } catch (const Refusal& r) {
        error = r.message;
        return VCMD_ERR_INVALID_PACKAGE;
    } catch (const json::exception& e) {
        error = e.what();
        return VCMD_ERR_INVALID_PACKAGE;
    }
}

std::int32_t readPackage(const std::string& filePath, Package& out, std::string& error) {
    std::error_code ec;
    const std::filesystem::path p = std::filesystem::u8path(filePath);
    if (!std::filesystem::is_regular_file(p, ec)) {
        error = std::filesystem::exists(p, ec) ? "is not a regular file" : "does not exist";
        return std::filesystem::exists(p, ec) ? VCMD_ERR_INVALID_PACKAGE : VCMD_ERR_NO_SUCH_FILE;
    }
    const std::uintmax_t size = std::filesystem::file_size(p, ec);
    if (ec) {
        error = "cannot read its size: " + ec.message();
        return VCMD_ERR_INVALID_PACKAGE;
    }
    if (size > kMaxPackageBytes) {
        error = "file is " + std::to_string(size) + " bytes, larger than 1 MiB";
        return VCMD_ERR_INVALID_PACKAGE;
    }
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        error = "cannot be opened";
        return VCMD_ERR_INVALID_PACKAGE;
    }
    std::string text(static_cast<std::size_t>(size), '\0');
    in.read(text.data(), static_cast<std::streamsize>(size));
    if (static_cast<std::uintmax_t>(in.gcount()) != size || in.peek() != std::char_traits<char>::eof()) {
        error = "changed while being read";
        return VCMD_ERR_INVALID_PACKAGE;
    }
    return parsePackage(text, out, error);
}

}  // namespace vcmd
