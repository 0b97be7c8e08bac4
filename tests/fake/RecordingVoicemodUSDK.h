// RecordingVoicemodUSDK.h - a test-only implementation of the voice-changer C
// interface that records every call and answers as a test scripts it.
//
// Each call is recorded with its arguments in order: strings are copied,
// pointers kept as addresses, numbers widened to double. A test scripts the
// result code of any function by name, the out-values the getters write, the
// voices the catalogue offers, and the processing applied to samples. When a
// scripted code is non-zero the getters still write a distinctive "leak"
// value, so a test can show the caller never hands it on.
//
// Single-threaded: tests drive it from one thread.
#pragma once

// On Windows the fake is a DLL of its own (see tests/CMakeLists.txt).
#if defined(_WIN32) && defined(RECORDING_FAKE_SHARED)
#if defined(RECORDING_FAKE_BUILDING)
#define RECORDING_API __declspec(dllexport)
#else
#define RECORDING_API __declspec(dllimport)
#endif
#else
#define RECORDING_API
#endif

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace recording {

struct Call {
    std::string function;
    std::vector<std::string> strings;   // string arguments, copied
    std::vector<const void*> pointers;  // pointer arguments, in order
    std::vector<double> numbers;        // integer, bool and float arguments
};

// Out-values written by getters when the scripted result is a failure.
constexpr bool kLeakedBool = true;
constexpr float kLeakedFloat = -12345.0f;
constexpr const char* kLeakedName = "leaked-name";

struct Script {
    std::map<std::string, std::int32_t, std::less<>> results;  // function name -> code (default 0)
    std::string version = "recording 1.0";
    bool nullTexts = false;  // version and descriptions come back as null
    std::map<std::int32_t, std::string> descriptions;  // code -> text (default "code N")

    // Catalogue: names written by vcmdGetVoiceNames; the count reported by
    // vcmdGetNumberOfVoices is voiceNames.size() unless voiceCount is set.
    std::vector<std::string> voiceNames;
    std::int64_t voiceCount = -1;
    bool fillNamesWithoutNul = false;  // fill every buffer completely, no NUL

    // Current voice written by vcmdGetCurrentVoice.
    std::string currentVoice;
    bool currentVoiceWithoutNul = false;  // fill the whole buffer, no NUL
    std::uint32_t currentVoiceLengthWritten = 7;  // garbage length written back

    bool boolValue = false;   // getters' out-value on success
    float floatValue = 0.0f;  // vcmdGetParameter's out-value on success

    // Processing: every sample handed to a process call becomes
    // sample * processGain + processOffset.
    float processGain = -1.0f;
    float processOffset = 0.5f;

    // The bundled engine's extra queries (VoicemodUSDKExtras.h).
    std::uint32_t latencyFrames = 0;  // vcmdGetLatencyFrames' out-value on success
    struct Parameter {
        std::string name;
        float minimum, maximum, defaultValue;
        std::string unit;
    };
    // Voice name -> its parameters; a voice not listed is unknown (-6).
    std::map<std::string, std::vector<Parameter>, std::less<>> parameters;

    // False: calls are not recorded and allocate nothing (allocation tests).
    bool recordCalls = true;
};

// The recorded calls and the script, reset by reset().
RECORDING_API std::vector<Call>& calls();
RECORDING_API Script& script();
RECORDING_API void reset();

// Helpers for assertions.
RECORDING_API std::vector<std::string> callNames();
RECORDING_API std::size_t countOf(const std::string& function);
RECORDING_API const Call* firstCall(const std::string& function);

}  // namespace recording
