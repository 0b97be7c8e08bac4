// ApiTest.cpp - start-up, the result table, switches, sample rate,
// parameters and argument checks of the C interface.
#include <cstring>
#include <set>

#include "EngineFixture.h"

namespace enginetest {
namespace {

TEST(EngineStartUp, EveryCallBeforeInitFailsWithNotStarted) {
    vcmdResetForTesting();
    bool flag = false;
    float value = 0.0f;
    uint32_t count = 0;
    int32_t id = 0;
    char buffer[64];
    char* names[1] = {buffer};
    uint32_t length = sizeof buffer;
    float samples[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    float right[4] = {0.1f, 0.2f, 0.3f, 0.4f};
    EXPECT_EQ(vcmdSetTempPath("/tmp"), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdSetContentPath("/tmp"), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdMountPackage("/tmp/x.zvmd", 0, 0, 0, &id), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetNumberOfVoices(1, &count), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetVoiceNames(names, 1, 64, 1), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetCurrentVoice(buffer, &length), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdSetBypass(true), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetBypass(&flag), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdSetMute(true), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetMute(&flag), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdEnableOfflineMode(true), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdIsOfflineModeEnabled(&flag), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdEnableBackgroundSounds(true), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdIsBackgroundSoundsEnabled(&flag), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdSetParameter("Pitch", 1.0f), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetParameter("Pitch", &value), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdSetSampleRate(44100.0f), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdProcessBuffer(samples, 4), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdProcessStereoBuffer(samples, right, 4), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetLatencyFrames(&count), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(vcmdGetVoiceParameterCount("Robot", &count), VCMD_ERR_NOT_STARTED);
    EXPECT_EQ(samples[0], 0.1f) << "a refused call leaves the audio untouched";
    // These two work before start-up.
    EXPECT_NE(std::strstr(vcmdGetVersionString(), "Corvane bundled voice engine"), nullptr);
    EXPECT_STREQ(vcmdGetResultDescription(VCMD_OK), "success");
}

TEST(EngineStartUp, InitGivesZeroThenAlreadyStarted) {
    vcmdResetForTesting();
    EXPECT_EQ(vcmdInitSDK(nullptr, "s", "1.0"), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdInitSDK("k", "s", "2.0"), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK);
    EXPECT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_ALREADY_STARTED);
    EXPECT_EQ(VCMD_ALREADY_STARTED, -94);
    vcmdResetForTesting();
    EXPECT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK) << "reset returns to the never-started state";
    vcmdResetForTesting();
}

TEST(EngineResults, EveryCodeHasItsOwnDescription) {
    vcmdResetForTesting();
    std::set<std::string> seen;
    for (int32_t code = VCMD_RESULT_LAST; code <= VCMD_OK; ++code) {
        const char* text = vcmdGetResultDescription(code);
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::strlen(text), 0u) << code;
        EXPECT_TRUE(seen.insert(text).second) << "duplicate description for " << code << ": " << text;
        EXPECT_STRNE(text, "unknown result code") << code;
    }
    const std::string started = vcmdGetResultDescription(VCMD_ALREADY_STARTED);
    EXPECT_TRUE(seen.insert(started).second);
    EXPECT_STREQ(vcmdGetResultDescription(-50), "unknown result code");
    EXPECT_STREQ(vcmdGetResultDescription(7), "unknown result code");
}

class ApiTest : public EngineTest {};

TEST_F(ApiTest, SwitchesStartOffExceptBackgroundAndReadBack) {
    struct Switch {
        int32_t (*set)(bool);
        int32_t (*get)(bool*);
        bool initially;
    };
    const Switch switches[] = {{vcmdSetBypass, vcmdGetBypass, false},
                               {vcmdSetMute, vcmdGetMute, false},
                               {vcmdEnableOfflineMode, vcmdIsOfflineModeEnabled, false},
                               {vcmdEnableBackgroundSounds, vcmdIsBackgroundSoundsEnabled, true}};
    for (const Switch& s : switches) {
        bool v = !s.initially;
        ASSERT_EQ(s.get(&v), VCMD_OK);
        EXPECT_EQ(v, s.initially);
        ASSERT_EQ(s.set(!s.initially), VCMD_OK);
        ASSERT_EQ(s.get(&v), VCMD_OK);
        EXPECT_EQ(v, !s.initially);
        EXPECT_EQ(s.get(nullptr), VCMD_ERR_NULL_POINTER);
    }
}

TEST_F(ApiTest, PathsNeedText) {
    EXPECT_EQ(vcmdSetTempPath(nullptr), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdSetContentPath(nullptr), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdSetTempPath(""), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdSetContentPath(""), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdSetTempPath("/tmp"), VCMD_OK);
    EXPECT_EQ(vcmdSetContentPath(voicesDir().c_str()), VCMD_OK);
}

TEST_F(ApiTest, SampleRateOutsideRangeIsRefusedAndTheOldOneKept) {
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetSampleRate(96000.0f), VCMD_OK);
    uint32_t latency96 = 0;
    ASSERT_EQ(vcmdGetLatencyFrames(&latency96), VCMD_OK);
    for (float bad : {7999.0f, 192001.0f, 0.0f, -48000.0f, NAN, INFINITY}) {
        EXPECT_EQ(vcmdSetSampleRate(bad), VCMD_ERR_UNSUPPORTED_SAMPLE_RATE) << bad;
        uint32_t latency = 0;
        ASSERT_EQ(vcmdGetLatencyFrames(&latency), VCMD_OK);
        EXPECT_EQ(latency, latency96) << "the voice still runs at 96 kHz";
    }
    EXPECT_EQ(vcmdSetSampleRate(8000.0f), VCMD_OK);
    EXPECT_EQ(vcmdSetSampleRate(192000.0f), VCMD_OK);
}

TEST_F(ApiTest, CurrentVoiceNeedsRoomForTheNameAndItsNul) {
    char buffer[32];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(vcmdGetCurrentVoice(buffer, &length), VCMD_OK);
    EXPECT_EQ(length, 0u);
    EXPECT_STREQ(buffer, "");

    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Deep Voice", 0, 0), VCMD_OK);
    length = 10;  // strlen("Deep Voice") == 10: no room for the NUL
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(vcmdGetCurrentVoice(buffer, &length), VCMD_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer[0], 'x');
    length = 11;
    ASSERT_EQ(vcmdGetCurrentVoice(buffer, &length), VCMD_OK);
    EXPECT_EQ(length, 10u);
    EXPECT_STREQ(buffer, "Deep Voice");
    EXPECT_EQ(vcmdGetCurrentVoice(nullptr, &length), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdGetCurrentVoice(buffer, nullptr), VCMD_ERR_NULL_POINTER);
}

TEST_F(ApiTest, UnknownVoiceKeepsTheCurrentOne) {
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_OK);
    EXPECT_EQ(vcmdLoadVoice("Nobody", 0, 0), VCMD_ERR_UNKNOWN_VOICE);
    EXPECT_EQ(vcmdLoadVoice("robot", 0, 0), VCMD_ERR_UNKNOWN_VOICE) << "names are case-sensitive";
    EXPECT_EQ(vcmdLoadVoice(nullptr, 0, 0), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdLoadVoice("Cave", 1, 0), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdLoadVoice("Cave", 0, 1), VCMD_ERR_INVALID_ARGUMENT);
    char buffer[32];
    uint32_t length = sizeof buffer;
    ASSERT_EQ(vcmdGetCurrentVoice(buffer, &length), VCMD_OK);
    EXPECT_STREQ(buffer, "Robot");
}

TEST_F(ApiTest, ParametersAreCheckedAgainstTheCurrentVoice) {
    float value = 0.0f;
    EXPECT_EQ(vcmdSetParameter("Pitch", 1.0f), VCMD_ERR_UNKNOWN_PARAMETER) << "no voice: every name is unknown";
    EXPECT_EQ(vcmdGetParameter("Pitch", &value), VCMD_ERR_UNKNOWN_PARAMETER);
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdGetParameter("Pitch", &value), VCMD_OK);
    EXPECT_FLOAT_EQ(value, 7.0f);
    EXPECT_EQ(vcmdSetParameter("Pitch", 12.0f), VCMD_OK);
    EXPECT_EQ(vcmdSetParameter("Pitch", 0.0f), VCMD_OK);
    for (float bad : {12.001f, -0.5f, NAN, INFINITY, -INFINITY}) {
        EXPECT_EQ(vcmdSetParameter("Pitch", bad), VCMD_ERR_VALUE_OUT_OF_RANGE) << bad;
    }
    ASSERT_EQ(vcmdGetParameter("Pitch", &value), VCMD_OK);
    EXPECT_FLOAT_EQ(value, 0.0f) << "refused values are not applied";
    EXPECT_EQ(vcmdSetParameter("Tone", 1.0f), VCMD_ERR_UNKNOWN_PARAMETER);
    EXPECT_EQ(vcmdSetParameter(nullptr, 1.0f), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdGetParameter(nullptr, &value), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdGetParameter("Pitch", nullptr), VCMD_ERR_NULL_POINTER);

    // Loading a voice again starts it from its defaults; a sample-rate
    // change rebuilds it but keeps the values.
    ASSERT_EQ(vcmdSetParameter("Pitch", 3.0f), VCMD_OK);
    ASSERT_EQ(vcmdSetSampleRate(44100.0f), VCMD_OK);
    ASSERT_EQ(vcmdGetParameter("Pitch", &value), VCMD_OK);
    EXPECT_FLOAT_EQ(value, 3.0f);
    ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdGetParameter("Pitch", &value), VCMD_OK);
    EXPECT_FLOAT_EQ(value, 7.0f);
}

TEST_F(ApiTest, ProcessArgumentsAreChecked) {
    float a[8] = {}, b[8] = {};
    EXPECT_EQ(vcmdProcessBuffer(nullptr, 8), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdProcessStereoBuffer(nullptr, b, 8), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdProcessStereoBuffer(a, nullptr, 8), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdProcessStereoBuffer(a, a, 8), VCMD_ERR_INVALID_ARGUMENT) << "aliased channels are refused";
    EXPECT_EQ(vcmdProcessStereoBuffer(a, a + 4, 8), VCMD_ERR_INVALID_ARGUMENT) << "overlapping channels too";
    EXPECT_EQ(vcmdProcessBuffer(a, 0x7FFFFFFFu), VCMD_ERR_INVALID_ARGUMENT) << "absurd frame count";
    EXPECT_EQ(vcmdProcessBuffer(a, 0), VCMD_OK);
    EXPECT_EQ(vcmdProcessStereoBuffer(a, b, 0), VCMD_OK);
    EXPECT_EQ(vcmdProcessStereoBuffer(a, a + 4, 4), VCMD_OK) << "adjacent, not overlapping";
}

TEST_F(ApiTest, WithoutAVoiceAudioPassesUnchanged) {
    std::vector<float> left = whiteNoise(5000, 0.9, 1), right = whiteNoise(5000, 0.9, 2);
    const std::vector<float> l0 = left, r0 = right;
    processStereo(left, right, 512);
    EXPECT_EQ(left, l0);
    EXPECT_EQ(right, r0);
    std::vector<float> mono = whiteNoise(3000, 0.9, 3);
    const std::vector<float> m0 = mono;
    processMono(mono, 100);
    EXPECT_EQ(mono, m0);
}

TEST_F(ApiTest, VoiceInfoJsonDescribesParametersAndReportsTheSizeNeeded) {
    mountShipped();
    char small[8];
    uint32_t length = sizeof small;
    EXPECT_EQ(vcmdGetVoiceInfoJson("Old Radio", small, &length), VCMD_ERR_BUFFER_TOO_SMALL);
    EXPECT_GT(length, 8u);
    std::vector<char> buffer(length);
    ASSERT_EQ(vcmdGetVoiceInfoJson("Old Radio", buffer.data(), &length), VCMD_OK);
    const std::string info(buffer.data());
    EXPECT_EQ(info.size(), length);
    EXPECT_NE(info.find("\"name\":\"Old Radio\""), std::string::npos) << info;
    EXPECT_NE(info.find("devices.zvmd"), std::string::npos) << info;
    EXPECT_NE(info.find("\"background\":true"), std::string::npos) << info;
    EXPECT_NE(info.find("\"name\":\"Static\""), std::string::npos) << info;
    EXPECT_NE(info.find("\"unit\":\"dB\""), std::string::npos) << info;
    EXPECT_EQ(vcmdGetVoiceInfoJson("Nobody", buffer.data(), &length), VCMD_ERR_UNKNOWN_VOICE);
}

TEST_F(ApiTest, ParameterQueriesGiveEachParameterOfAnyMountedVoiceInOrder) {
    uint32_t count = 99;
    char name[64], unit[16];
    uint32_t nameLength = sizeof name, unitLength = sizeof unit;
    float minimum = 0, maximum = 0, fallback = 0;
    EXPECT_EQ(vcmdGetVoiceParameterCount("Old Radio", &count), VCMD_ERR_UNKNOWN_VOICE) << "nothing mounted yet";
    mountShipped();
    ASSERT_EQ(vcmdGetVoiceParameterCount("Old Radio", &count), VCMD_OK) << "a voice that is not loaded";
    ASSERT_EQ(count, 2u);
    ASSERT_EQ(vcmdGetVoiceParameter("Old Radio", 1, name, &nameLength, unit, &unitLength, &minimum, &maximum,
                                    &fallback),
              VCMD_OK);
    EXPECT_STREQ(name, "Hum");
    EXPECT_STREQ(unit, "dB");
    EXPECT_EQ(nameLength, 3u);
    EXPECT_EQ(unitLength, 2u);
    EXPECT_EQ(minimum, -80.0f);
    EXPECT_EQ(maximum, -30.0f);
    EXPECT_EQ(fallback, -46.0f);

    // A parameter without a unit gives the empty text.
    nameLength = sizeof name, unitLength = sizeof unit;
    ASSERT_EQ(vcmdGetVoiceParameter("Cave", 0, name, &nameLength, unit, &unitLength, &minimum, &maximum, &fallback),
              VCMD_OK);
    EXPECT_STREQ(name, "Echo");
    EXPECT_STREQ(unit, "");

    // Too small a buffer for either text: nothing written, both sizes told.
    char tinyName[4] = "xyz", tinyUnit[2] = "u";
    nameLength = sizeof tinyName, unitLength = sizeof unit;
    EXPECT_EQ(vcmdGetVoiceParameter("Chipmunk", 1, tinyName, &nameLength, unit, &unitLength, &minimum, &maximum,
                                    &fallback),
              VCMD_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(nameLength, 8u);   // "Formant" and its NUL
    EXPECT_EQ(unitLength, 10u);  // "semitones" and its NUL
    EXPECT_STREQ(tinyName, "xyz");
    nameLength = sizeof name, unitLength = sizeof tinyUnit;
    EXPECT_EQ(vcmdGetVoiceParameter("Chipmunk", 1, name, &nameLength, tinyUnit, &unitLength, &minimum, &maximum,
                                    &fallback),
              VCMD_ERR_BUFFER_TOO_SMALL);
    EXPECT_STREQ(tinyUnit, "u");

    nameLength = sizeof name, unitLength = sizeof unit;
    EXPECT_EQ(vcmdGetVoiceParameter("Old Radio", 2, name, &nameLength, unit, &unitLength, &minimum, &maximum,
                                    &fallback),
              VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdGetVoiceParameter("old radio", 0, name, &nameLength, unit, &unitLength, &minimum, &maximum,
                                    &fallback),
              VCMD_ERR_UNKNOWN_VOICE);
    EXPECT_EQ(vcmdGetVoiceParameter("Old Radio", 0, name, &nameLength, unit, &unitLength, &minimum, nullptr,
                                    &fallback),
              VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdGetVoiceParameterCount(nullptr, &count), VCMD_ERR_NULL_POINTER);
}

}  // namespace
}  // namespace enginetest
