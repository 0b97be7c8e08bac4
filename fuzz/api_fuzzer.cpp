// api_fuzzer.cpp - random sequences of calls into the C interface, with
// random arguments: null pointers, absurd counts and sizes, unknown names,
// non-finite floats, aliasing stereo buffers. Every call must return a code
// of the result table, write nothing on failure, and the audio must stay
// finite whatever came before.
#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"

using fuzzsupport::Reader;
using fuzzsupport::require;
using fuzzsupport::requireKnownCode;

namespace {

const char* const kPackages[] = {CORVANE_VOICES_DIR "/characters.zvmd", CORVANE_VOICES_DIR "/devices.zvmd",
                                 CORVANE_VOICES_DIR "/spaces.zvmd"};
const char* const kNames[] = {"Robot", "Cave", "Chipmunk", "Old Radio", "Walkie-Talkie", "Cathedral", "Underwater",
                              "Monster", "robot", "", " Robot", "Robot ", "Nobody"};
const char* const kParameters[] = {"Pitch", "Tone", "Echo", "Size", "Static", "Hum", "Hiss", "Crush", "Drive",
                                   "Organ", "Depth", "Growl", "Wobble", "Breath", "Line Drive", "pitch", ""};

// A name from the lists above, null, or fuzzed text.
const char* pickName(Reader& in, std::string& scratch, const char* const* list, std::size_t n) {
    const std::uint8_t k = in.byte();
    if (k < 8) return nullptr;
    if (k < 40) return (scratch = in.text()).c_str();
    return list[k % n];
}

float gLeft[4096], gRight[4096];

void fillAudio(Reader& in, float* x, std::uint32_t n) {
    const std::uint8_t kind = in.byte();
    for (std::uint32_t i = 0; i < n; ++i) {
        x[i] = static_cast<float>(static_cast<std::int32_t>(i * 2654435761u)) / 2147483648.0f;
        if (kind < 16 && i % (kind + 1) == 0) x[i] = in.value(-1.0f, 1.0f);
    }
}

void step(Reader& in) {
    std::string s1, s2, s3;
    std::int32_t code = 0;
    switch (in.byte() % 25) {
        case 0: {
            const char* k = in.flag() ? nullptr : "key";
            const char* v = in.byte() < 200 ? "1.0" : (in.flag() ? nullptr : (s1 = in.text()).c_str());
            code = vcmdInitSDK(k, "secret", v);
            break;
        }
        case 1: code = vcmdSetTempPath(in.flag() ? nullptr : (s1 = in.text()).c_str()); break;
        case 2: code = vcmdSetContentPath(in.byte() < 128 ? CORVANE_VOICES_DIR : (s1 = in.text()).c_str()); break;
        case 3: {
            const std::uint8_t k = in.byte();
            const char* path = k < 16 ? nullptr
                               : k < 48 ? (s1 = in.text()).c_str()
                               : k < 64 ? CORVANE_VOICES_DIR
                               : k < 72 ? "characters.zvmd"
                                        : kPackages[k % 3];
            std::int32_t id = -7;
            const bool nullId = in.byte() < 8;
            const std::int32_t r0 = in.byte() < 240 ? 0 : in.i32();
            code = vcmdMountPackage(path, r0, 0, in.byte() < 250 ? 0 : 1, nullId ? nullptr : &id);
            if (code != VCMD_OK) require(id == -7, "a failed mount wrote an id");
            break;
        }
        case 4: {
            std::uint32_t count = 777;
            code = vcmdGetNumberOfVoices(in.byte() < 240 ? 1 : in.u32(), in.byte() < 8 ? nullptr : &count);
            if (code != VCMD_OK) require(count == 777, "a failed count wrote the count");
            break;
        }
        case 5: {
            // Counts and sizes from zero to absurd; the buffers are as big as
            // the call is told they are, or the array is null.
            const std::uint32_t count = in.byte() < 200 ? in.byte() % 20 : in.u32();
            const std::uint32_t size = in.byte() < 200 ? in.byte() : in.u32();
            const std::uint32_t realCount = count < 20 ? count : 0;
            const std::uint32_t realSize = size < 256 ? size : 256;
            std::vector<std::vector<char>> storage(realCount, std::vector<char>(realSize + 1, 'x'));
            std::vector<char*> names(realCount);
            for (std::uint32_t i = 0; i < realCount; ++i) names[i] = in.byte() < 4 ? nullptr : storage[i].data();
            const bool nullArray = in.byte() < 8 || count >= 20;
            const bool honest = size < 256;
            code = vcmdGetVoiceNames(nullArray ? nullptr : names.data(), nullArray ? count : realCount,
                                     honest ? size : realSize, 1);
            if (code == VCMD_OK)
                for (std::uint32_t i = 0; i < realCount; ++i)
                    if (names[i] != nullptr)
                        require(std::memchr(storage[i].data(), '\0', realSize) != nullptr, "a name without its NUL");
            break;
        }
        case 6: {
            const char* name = pickName(in, s1, kNames, std::size(kNames));
            code = vcmdLoadVoice(name, in.byte() < 240 ? 0 : 1, 0);
            break;
        }
        case 7: {
            char buffer[128];
            std::memset(buffer, 'x', sizeof buffer);
            std::uint32_t length = in.byte() % 129;
            const std::uint32_t given = length;
            code = vcmdGetCurrentVoice(in.byte() < 8 ? nullptr : buffer, in.byte() < 8 ? nullptr : &length);
            if (code == VCMD_OK) {
                require(length < given && buffer[length] == '\0' && std::strlen(buffer) == length,
                        "the current voice's name and length disagree");
            } else {
                require(length == given, "a failed call changed the length");
            }
            break;
        }
        case 8: code = vcmdSetBypass(in.flag()); break;
        case 9: code = vcmdSetMute(in.flag()); break;
        case 10: code = vcmdEnableOfflineMode(in.flag()); break;
        case 11: code = vcmdEnableBackgroundSounds(in.flag()); break;
        case 12: {
            bool value = false;
            bool* p = in.byte() < 16 ? nullptr : &value;
            switch (in.byte() % 4) {
                case 0: code = vcmdGetBypass(p); break;
                case 1: code = vcmdGetMute(p); break;
                case 2: code = vcmdIsOfflineModeEnabled(p); break;
                default: code = vcmdIsBackgroundSoundsEnabled(p); break;
            }
            break;
        }
        case 13: {
            const char* name = pickName(in, s1, kParameters, std::size(kParameters));
            code = vcmdSetParameter(name, in.value(-100.0f, 100.0f));
            break;
        }
        case 14: {
            const char* name = pickName(in, s1, kParameters, std::size(kParameters));
            float value = 99.5f;
            code = vcmdGetParameter(name, in.byte() < 8 ? nullptr : &value);
            if (code == VCMD_OK) require(std::isfinite(value), "a parameter reads back non-finite");
            else require(value == 99.5f, "a failed read wrote the value");
            break;
        }
        case 15: code = vcmdSetSampleRate(in.value(8000.0f, 192000.0f)); break;
        case 16:
        case 17: {
            const std::uint32_t frames = in.byte() < 250 ? in.u32() % 1025 : in.u32();
            const bool fits = frames <= 4096;
            fillAudio(in, gLeft, fits ? frames : 0);
            code = vcmdProcessBuffer(fits && in.byte() >= 8 ? gLeft : nullptr, frames);
            if (code == VCMD_OK && fits) fuzzsupport::requireFinite(gLeft, frames, "non-finite mono output");
            break;
        }
        case 18:
        case 19: {
            const std::uint32_t frames = in.u32() % 513;
            fillAudio(in, gLeft, frames);
            fillAudio(in, gRight, frames);
            float* left = gLeft;
            float* right = gRight;
            switch (in.byte() % 8) {
                case 0: right = gLeft; break;             // the same buffer twice
                case 1: right = gLeft + frames / 2; break;  // overlapping
                case 2: left = nullptr; break;
                case 3: right = nullptr; break;
                default: break;
            }
            code = vcmdProcessStereoBuffer(left, right, frames);
            if (code == VCMD_OK) {
                fuzzsupport::requireFinite(gLeft, frames, "non-finite left output");
                fuzzsupport::requireFinite(gRight, frames, "non-finite right output");
            }
            break;
        }
        case 20: {
            const char* text = vcmdGetResultDescription(in.i32());
            require(text != nullptr && text[0] != '\0', "no description for a result code");
            require(vcmdGetVersionString() != nullptr, "no version string");
            return;
        }
        case 21: {
            std::vector<char> buffer(in.byte() < 128 ? in.byte() : 4096, 'x');
            std::uint32_t length = static_cast<std::uint32_t>(buffer.size());
            const std::uint32_t given = length;
            const char* name = pickName(in, s1, kNames, std::size(kNames));
            code = vcmdGetVoiceInfoJson(name, in.byte() < 8 ? nullptr : buffer.data(), in.byte() < 8 ? nullptr : &length);
            if (code == VCMD_OK)
                require(length < given && buffer[length] == '\0', "voice info without its NUL");
            else if (code == VCMD_ERR_BUFFER_TOO_SMALL)
                require(length > given, "too small, but the size needed is not larger");
            break;
        }
        case 22: {
            std::uint32_t frames = 0;
            code = vcmdGetLatencyFrames(in.byte() < 8 ? nullptr : &frames);
            if (code == VCMD_OK) require(frames < 192000u * 4, "an absurd latency", static_cast<long>(frames));
            break;
        }
        case 23: {
            const char* name = pickName(in, s1, kNames, std::size(kNames));
            std::uint32_t count = 0;
            code = vcmdGetVoiceParameterCount(name, in.byte() < 8 ? nullptr : &count);
            if (code != VCMD_OK) break;
            char text[2][24];
            std::uint32_t lengths[2] = {in.byte() % 25u, in.byte() % 25u};
            const std::uint32_t given[2] = {lengths[0], lengths[1]};
            float range[3] = {0, 0, 0};
            const std::uint32_t index = in.byte() < 200 ? in.byte() % (count + 1) : in.u32();
            code = vcmdGetVoiceParameter(name, index, text[0], &lengths[0], text[1], &lengths[1], &range[0],
                                         &range[1], &range[2]);
            if (code == VCMD_OK) {
                require(lengths[0] < given[0] && text[0][lengths[0]] == '\0' && lengths[1] < given[1] &&
                            text[1][lengths[1]] == '\0',
                        "a parameter's texts without their NUL");
                require(range[0] <= range[2] && range[2] <= range[1], "a default outside its range");
            } else if (code == VCMD_ERR_BUFFER_TOO_SMALL) {
                require(lengths[0] > given[0] || lengths[1] > given[1], "too small, but no size needed is larger");
            }
            break;
        }
        default:
            if (in.byte() < 16) vcmdResetForTesting();
            return;
    }
    requireKnownCode(code, "a C interface call");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vcmdResetForTesting();
    Reader in(data, size);
    // Usually started with the shipped voices mounted; sometimes not at all.
    if (in.byte() < 224) {
        require(vcmdInitSDK("key", "secret", "1.0") == VCMD_OK, "start-up failed");
        std::int32_t id = 0;
        for (const char* p : kPackages) require(vcmdMountPackage(p, 0, 0, 0, &id) == VCMD_OK, "a shipped package is refused");
    }
    for (int steps = 0; steps < 64 && !in.empty(); ++steps) step(in);
    return 0;
}
