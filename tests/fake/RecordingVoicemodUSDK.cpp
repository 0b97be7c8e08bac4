#include "RecordingVoicemodUSDK.h"

#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace recording {
namespace {

std::vector<Call> recorded;
Script current;

std::int32_t resultOf(const char* function) {
    auto it = current.results.find(std::string_view(function));
    return it == current.results.end() ? 0 : it->second;
}

// While recording is off, calls land in one reused scratch record whose
// storage was reserved up front, so a call allocates nothing.
Call& scratch() {
    static Call call = [] {
        Call c;
        c.function.reserve(64);
        c.strings.reserve(8);
        c.pointers.reserve(8);
        c.numbers.reserve(8);
        return c;
    }();
    return call;
}

Call& record(const char* function) {
    if (!current.recordCalls) {
        Call& call = scratch();
        call.function = function;
        call.strings.clear();
        call.pointers.clear();
        call.numbers.clear();
        return call;
    }
    recorded.push_back(Call{function, {}, {}, {}});
    return recorded.back();
}

std::string copy(const char* text) { return text != nullptr ? std::string(text) : std::string("<null>"); }

void transform(float* samples, std::uint32_t frames) {
    if (samples == nullptr) return;
    for (std::uint32_t i = 0; i < frames; ++i) samples[i] = samples[i] * current.processGain + current.processOffset;
}

template <typename T>
std::int32_t getter(const char* function, T* out, T success, T leak) {
    Call& call = record(function);
    call.pointers.push_back(out);
    const std::int32_t code = resultOf(function);
    if (out != nullptr) *out = code == 0 ? success : leak;
    return code;
}

std::int32_t setter(const char* function, double value) {
    record(function).numbers.push_back(value);
    return resultOf(function);
}

}  // namespace

std::vector<Call>& calls() { return recorded; }
Script& script() { return current; }
void reset() {
    recorded.clear();
    current = Script();
    scratch();
}

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const Call& call : recorded) names.push_back(call.function);
    return names;
}

std::size_t countOf(const std::string& function) {
    return static_cast<std::size_t>(std::count_if(recorded.begin(), recorded.end(),
                                                  [&](const Call& c) { return c.function == function; }));
}

const Call* firstCall(const std::string& function) {
    for (const Call& call : recorded)
        if (call.function == function) return &call;
    return nullptr;
}

}  // namespace recording

using recording::record;
using recording::resultOf;

extern "C" {

int32_t vcmdInitSDK(const char* clientKey, const char* clientSecret, const char* version) noexcept {
    auto& call = recording::record("vcmdInitSDK");
    call.strings = {recording::copy(clientKey), recording::copy(clientSecret), recording::copy(version)};
    return recording::resultOf("vcmdInitSDK");
}

const char* vcmdGetVersionString(void) noexcept {
    recording::record("vcmdGetVersionString");
    return recording::current.nullTexts ? nullptr : recording::current.version.c_str();
}

int32_t vcmdSetTempPath(const char* path) noexcept {
    recording::record("vcmdSetTempPath").strings.push_back(recording::copy(path));
    return recording::resultOf("vcmdSetTempPath");
}

int32_t vcmdSetContentPath(const char* path) noexcept {
    recording::record("vcmdSetContentPath").strings.push_back(recording::copy(path));
    return recording::resultOf("vcmdSetContentPath");
}

int32_t vcmdMountPackage(const char* path, int32_t reserved0, int32_t reserved1, int32_t reserved2,
                         int32_t* packageId) noexcept {
    auto& call = recording::record("vcmdMountPackage");
    call.strings.push_back(recording::copy(path));
    call.numbers = {double(reserved0), double(reserved1), double(reserved2),
                    packageId != nullptr ? double(*packageId) : 0.0};
    call.pointers.push_back(packageId);
    const int32_t code = recording::resultOf("vcmdMountPackage");
    if (code == 0 && packageId != nullptr) *packageId = static_cast<int32_t>(recording::countOf("vcmdMountPackage"));
    return code;
}

int32_t vcmdGetNumberOfVoices(uint32_t selector, uint32_t* count) noexcept {
    auto& call = recording::record("vcmdGetNumberOfVoices");
    call.numbers = {double(selector), count != nullptr ? double(*count) : -1.0};
    call.pointers.push_back(count);
    const int32_t code = recording::resultOf("vcmdGetNumberOfVoices");
    const auto& s = recording::current;
    if (count != nullptr)
        *count = code == 0 ? static_cast<uint32_t>(s.voiceCount >= 0 ? s.voiceCount : std::int64_t(s.voiceNames.size()))
                           : 77u;
    return code;
}

int32_t vcmdGetVoiceNames(char** names, uint32_t count, uint32_t bufferSize, uint32_t selector) noexcept {
    auto& call = recording::record("vcmdGetVoiceNames");
    call.numbers = {double(count), double(bufferSize), double(selector)};
    call.pointers.push_back(names);
    for (uint32_t i = 0; names != nullptr && i < count; ++i) call.pointers.push_back(names[i]);
    const int32_t code = recording::resultOf("vcmdGetVoiceNames");
    if (code != 0 || names == nullptr) return code;
    const auto& s = recording::current;
    for (uint32_t i = 0; i < count; ++i) {
        if (names[i] == nullptr || bufferSize == 0) continue;
        const std::string name = i < s.voiceNames.size() ? s.voiceNames[i] : std::string();
        if (s.fillNamesWithoutNul) {
            std::memset(names[i], 'x', bufferSize);
            std::memcpy(names[i], name.data(), std::min<std::size_t>(name.size(), bufferSize));
        } else {
            const std::size_t n = std::min<std::size_t>(name.size(), bufferSize - 1);
            std::memcpy(names[i], name.data(), n);
            names[i][n] = '\0';
        }
    }
    return code;
}

int32_t vcmdLoadVoice(const char* name, int32_t reserved0, int32_t reserved1) noexcept {
    auto& call = recording::record("vcmdLoadVoice");
    call.strings.push_back(recording::copy(name));
    call.numbers = {double(reserved0), double(reserved1)};
    return recording::resultOf("vcmdLoadVoice");
}

int32_t vcmdGetCurrentVoice(char* buffer, uint32_t* length) noexcept {
    auto& call = recording::record("vcmdGetCurrentVoice");
    call.pointers = {buffer, length};
    call.numbers.push_back(length != nullptr ? double(*length) : -1.0);
    const int32_t code = recording::resultOf("vcmdGetCurrentVoice");
    if (buffer == nullptr || length == nullptr) return code;
    const auto& s = recording::current;
    const uint32_t size = *length;
    const std::string name = code == 0 ? s.currentVoice : std::string(recording::kLeakedName);
    if (size == 0) return code;
    if (code == 0 && s.currentVoiceWithoutNul) {
        std::memset(buffer, 'v', size);
    } else {
        const std::size_t n = std::min<std::size_t>(name.size(), size - 1);
        std::memcpy(buffer, name.data(), n);
        buffer[n] = '\0';
    }
    *length = s.currentVoiceLengthWritten;
    return code;
}

int32_t vcmdSetBypass(bool enabled) noexcept { return recording::setter("vcmdSetBypass", enabled); }
int32_t vcmdGetBypass(bool* enabled) noexcept {
    return recording::getter("vcmdGetBypass", enabled, recording::current.boolValue, recording::kLeakedBool);
}
int32_t vcmdSetMute(bool enabled) noexcept { return recording::setter("vcmdSetMute", enabled); }
int32_t vcmdGetMute(bool* enabled) noexcept {
    return recording::getter("vcmdGetMute", enabled, recording::current.boolValue, recording::kLeakedBool);
}
int32_t vcmdEnableOfflineMode(bool enabled) noexcept { return recording::setter("vcmdEnableOfflineMode", enabled); }
int32_t vcmdIsOfflineModeEnabled(bool* enabled) noexcept {
    return recording::getter("vcmdIsOfflineModeEnabled", enabled, recording::current.boolValue,
                             recording::kLeakedBool);
}
int32_t vcmdEnableBackgroundSounds(bool enabled) noexcept {
    return recording::setter("vcmdEnableBackgroundSounds", enabled);
}
int32_t vcmdIsBackgroundSoundsEnabled(bool* enabled) noexcept {
    return recording::getter("vcmdIsBackgroundSoundsEnabled", enabled, recording::current.boolValue,
                             recording::kLeakedBool);
}

int32_t vcmdSetParameter(const char* name, float value) noexcept {
    auto& call = recording::record("vcmdSetParameter");
    call.strings.push_back(recording::copy(name));
    call.numbers.push_back(value);
    return recording::resultOf("vcmdSetParameter");
}

int32_t vcmdGetParameter(const char* name, float* value) noexcept {
    auto& call = recording::record("vcmdGetParameter");
    call.strings.push_back(recording::copy(name));
    call.pointers.push_back(value);
    const int32_t code = recording::resultOf("vcmdGetParameter");
    if (value != nullptr) *value = code == 0 ? recording::current.floatValue : recording::kLeakedFloat;
    return code;
}

// The bundled engine's extra queries. A build of the fake with
// RECORDING_FAKE_WITHOUT_PARAMETER_LIST leaves the two parameter-list
// functions out, as a voice changer that offers only some of them would.

int32_t vcmdGetLatencyFrames(uint32_t* frames) noexcept {
    auto& call = recording::record("vcmdGetLatencyFrames");
    call.pointers.push_back(frames);
    const int32_t code = recording::resultOf("vcmdGetLatencyFrames");
    if (frames != nullptr) *frames = code == 0 ? recording::current.latencyFrames : 77777u;
    return code;
}

#if !defined(RECORDING_FAKE_WITHOUT_PARAMETER_LIST)
int32_t vcmdGetVoiceParameterCount(const char* voice, uint32_t* count) noexcept {
    auto& call = recording::record("vcmdGetVoiceParameterCount");
    call.strings.push_back(recording::copy(voice));
    int32_t code = recording::resultOf("vcmdGetVoiceParameterCount");
    const auto found = recording::current.parameters.find(recording::copy(voice));
    if (code == 0 && found == recording::current.parameters.end()) code = -6;
    if (count != nullptr) *count = code == 0 ? static_cast<uint32_t>(found->second.size()) : 999u;
    return code;
}

// As the engine: both texts fit or neither is written, and then both
// lengths say the sizes needed.
int32_t vcmdGetVoiceParameter(const char* voice, uint32_t index, char* name, uint32_t* nameLength, char* unit,
                              uint32_t* unitLength, float* minimum, float* maximum, float* defaultValue) noexcept {
    auto& call = recording::record("vcmdGetVoiceParameter");
    call.strings.push_back(recording::copy(voice));
    call.numbers.push_back(index);
    call.numbers.push_back(nameLength != nullptr ? *nameLength : -1.0);
    call.numbers.push_back(unitLength != nullptr ? *unitLength : -1.0);
    int32_t code = recording::resultOf("vcmdGetVoiceParameter");
    if (code != 0) return code;
    const auto found = recording::current.parameters.find(recording::copy(voice));
    if (found == recording::current.parameters.end()) return -6;
    if (index >= found->second.size()) return -2;
    const auto& p = found->second[index];
    if (*nameLength < p.name.size() + 1 || *unitLength < p.unit.size() + 1) {
        *nameLength = static_cast<uint32_t>(p.name.size() + 1);
        *unitLength = static_cast<uint32_t>(p.unit.size() + 1);
        return -9;
    }
    std::memcpy(name, p.name.c_str(), p.name.size() + 1);
    std::memcpy(unit, p.unit.c_str(), p.unit.size() + 1);
    *nameLength = static_cast<uint32_t>(p.name.size());
    *unitLength = static_cast<uint32_t>(p.unit.size());
    *minimum = p.minimum;
    *maximum = p.maximum;
    *defaultValue = p.defaultValue;
    return 0;
}
#endif

int32_t vcmdSetSampleRate(float sampleRate) noexcept { return recording::setter("vcmdSetSampleRate", sampleRate); }

int32_t vcmdProcessBuffer(float* samples, uint32_t frames) noexcept {
    auto& call = recording::record("vcmdProcessBuffer");
    call.pointers.push_back(samples);
    call.numbers.push_back(frames);
    const int32_t code = recording::resultOf("vcmdProcessBuffer");
    if (code == 0) recording::transform(samples, frames);
    return code;
}

int32_t vcmdProcessStereoBuffer(float* left, float* right, uint32_t frames) noexcept {
    auto& call = recording::record("vcmdProcessStereoBuffer");
    call.pointers = {left, right};
    call.numbers.push_back(frames);
    const int32_t code = recording::resultOf("vcmdProcessStereoBuffer");
    if (code == 0) {
        recording::transform(left, frames);
        recording::transform(right, frames);
    }
    return code;
}

const char* vcmdGetResultDescription(int32_t result) noexcept {
    recording::record("vcmdGetResultDescription").numbers.push_back(result);
    if (recording::current.nullTexts) return nullptr;
    auto& descriptions = recording::current.descriptions;
    auto it = descriptions.find(result);
    if (it == descriptions.end()) it = descriptions.emplace(result, "code " + std::to_string(result)).first;
    return it->second.c_str();
}

}  // extern "C"
