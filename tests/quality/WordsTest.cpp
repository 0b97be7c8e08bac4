// WordsTest.cpp - the speech-quality measures on cases whose answer is
// known, and the voices they were made for: the reverbs' tails must be
// diffuse and decay as described, Robot must not crackle where speech fades,
// the pitch shifter must keep plosives single and on time.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "Onsets.h"
#include "ReferenceSignals.h"
#include "Stoi.h"
#include "TailMeasure.h"
#include "VoicemodUSDK.h"
#include "VoicemodUSDKExtras.h"
#include "VoicemodUSDKResults.h"

namespace {

using quality::rmsOf;
using quality::whiteNoise;

constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;

TEST(Stoi, IsOneForTheInputItselfAndNearThePublishedFiguresForNoise) {
    // The eight speech recordings alsa-utils installs, one after another.
    std::vector<float> speech;
    double rate = 0.0;
    for (const char* name : {"Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left", "Rear_Right",
                             "Side_Left", "Side_Right"}) {
        const std::string path = std::string(CORVANE_SPEECH_DIR) + "/" + name + ".wav";
        SF_INFO info{};
        SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(f, nullptr) << path << " (Debian: alsa-utils)";
        ASSERT_EQ(info.channels, 1);
        rate = info.samplerate;
        std::vector<float> s(static_cast<std::size_t>(info.frames));
        sf_readf_float(f, s.data(), info.frames);
        sf_close(f);
        speech.insert(speech.end(), s.begin(), s.end());
    }
    EXPECT_NEAR(quality::stoi(speech, speech, rate), 1.0, 1e-9);
    // Noise 10 dB louder than the speech: about 0.7; noise alone: about 0.45.
    const std::vector<float> n = whiteNoise(speech.size(), rmsOf(speech) * std::sqrt(10.0), 7);
    std::vector<float> noisy = speech;
    for (std::size_t i = 0; i < noisy.size(); ++i) noisy[i] += n[i];
    EXPECT_NEAR(quality::stoi(speech, noisy, rate), 0.72, 0.05);
    EXPECT_NEAR(quality::stoi(speech, n, rate), 0.45, 0.05);
    // Scaling does not change intelligibility; a 30 ms misalignment does.
    std::vector<float> quiet = speech, late(speech.size(), 0.0f);
    for (float& v : quiet) v *= 0.1f;
    for (std::size_t i = 1440; i < late.size(); ++i) late[i] = speech[i - 1440];
    EXPECT_NEAR(quality::stoi(speech, quiet, rate), 1.0, 1e-6);
    EXPECT_LT(quality::stoi(speech, late, rate), 0.9);
}

TEST(TailMeasure, TellsADiffuseTailFromARingingOneAndReadsItsDecayTime) {
    // Noise decaying by 60 dB in 2 s: diffuse, about 6 % in the top 1 %.
    const std::size_t n = static_cast<std::size_t>(4.0 * kRate);
    std::vector<float> diffuse = whiteNoise(n, 1.0, 3), ringing(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double decay = std::pow(10.0, -3.0 * t / 2.0);
        diffuse[i] = static_cast<float>(diffuse[i] * decay);
        // Five steady lines over a little noise.
        double v = 0.0;
        for (double f : {220.0, 480.0, 910.0, 1530.0, 2770.0}) v += std::sin(2.0 * kPi * f * t);
        ringing[i] = static_cast<float>((0.3 * v + 0.3 * diffuse[i] / decay) * decay);
    }
    EXPECT_NEAR(quality::tailTopPercentShare(diffuse, kRate, 0.1), 0.06, 0.02);
    EXPECT_GT(quality::tailTopPercentShare(ringing, kRate, 0.1), 0.5);
    EXPECT_NEAR(quality::reverberationSeconds(diffuse, kRate, 0.05), 2.0, 0.1);
    EXPECT_LT(quality::tailTopPercentShare(std::vector<float>(1000, 0.0f), kRate, 0.1), 0.0);
}

TEST(Onsets, CountsOnlyTheClicksTheOutputAdded) {
    // Bursts of noise every 200 ms; the output has three clicks more, in
    // the gaps, and its bursts 1 ms late (within the tolerance).
    const std::size_t n = static_cast<std::size_t>(2.0 * kRate);
    const std::vector<float> hiss = whiteNoise(n, 0.2, 11);
    std::vector<float> in(n, 0.0f), out(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i)
        if (i % 9600 >= 4800 && i % 9600 < 7200) in[i] = hiss[i];
    for (std::size_t i = 48; i < n; ++i) out[i] = in[i - 48];
    EXPECT_EQ(quality::countNewOnsets(in, out, kRate), 0u);
    EXPECT_EQ(quality::countNewOnsets(in, in, kRate), 0u);
    for (std::size_t at : {2000u, 21000u, 60000u}) out[at] = 0.5f;
    EXPECT_EQ(quality::countNewOnsets(in, out, kRate), 3u);
    // Moved back by a latency, the same onsets line up again.
    std::vector<float> delayed(n, 0.0f);
    for (std::size_t i = 720; i < n; ++i) delayed[i] = in[i - 720];
    EXPECT_GT(quality::countNewOnsets(in, delayed, kRate), 3u);
    EXPECT_EQ(quality::countNewOnsets(in, delayed, kRate, 720), 0u);
    // The clicks are made up outright. Over hiss 30 dB down, a burst that
    // fades in over 20 ms (no onset for the count) but comes out at once is
    // a new onset, yet not a made-up one: the input does rise there.
    EXPECT_EQ(quality::countMadeUpOnsets(in, out, kRate), 3u);
    const std::vector<float> floor = whiteNoise(n, 0.2 * std::pow(10.0, -30.0 / 20.0), 17);
    std::vector<float> soft(n), sharp(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t k = i % 9600;
        const double fade = k >= 4800 && k < 5760 ? static_cast<double>(k - 4800) / 960.0 : 1.0;
        soft[i] = floor[i] + static_cast<float>(fade * in[i]);
        sharp[i] = floor[i] + in[i];
    }
    EXPECT_GT(quality::countNewOnsets(soft, sharp, kRate), 3u);
    EXPECT_EQ(quality::countMadeUpOnsets(soft, sharp, kRate), 0u);
    // Bursts of a 2 kHz tone over steady hiss: above 3 kHz the hiss hides
    // them, no onset; an octave up moves them there (ten bursts), an octave
    // down moves nothing new in.
    std::vector<float> tone = whiteNoise(n, 0.05, 23);
    for (std::size_t i = 0; i < n; ++i)
        if (i % 9600 >= 4800 && i % 9600 < 7200)
            tone[i] +=
                static_cast<float>(0.5 * std::sin(2.0 * kPi * 2000.0 * static_cast<double>(i) / kRate));
    EXPECT_EQ(quality::highFrequencyOnsets(tone, kRate).size(), 0u);
    EXPECT_EQ(quality::countMovedBandOnsets(tone, kRate, 2.0), 10u);
    EXPECT_EQ(quality::countMovedBandOnsets(tone, kRate, 0.5), 0u);
}

class VoiceQuality : public ::testing::Test {
protected:
    void SetUp() override {
        vcmdResetForTesting();
        ASSERT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK);
        for (const char* file : {"characters.zvmd", "devices.zvmd", "spaces.zvmd", "people.zvmd"}) {
            int32_t id = 0;
            ASSERT_EQ(vcmdMountPackage((std::string(CORVANE_VOICES_DIR) + "/" + file).c_str(), 0, 0, 0, &id), VCMD_OK);
        }
        ASSERT_EQ(vcmdSetSampleRate(static_cast<float>(kRate)), VCMD_OK);
        ASSERT_EQ(vcmdEnableBackgroundSounds(false), VCMD_OK);
    }
    void TearDown() override { vcmdResetForTesting(); }
    static std::vector<float> run(const char* voice, std::vector<float> s) {
        EXPECT_EQ(vcmdLoadVoice(voice, 0, 0), VCMD_OK);
        for (std::size_t i = 0; i < s.size(); i += 256)
            EXPECT_EQ(vcmdProcessBuffer(s.data() + i, static_cast<uint32_t>(std::min<std::size_t>(256, s.size() - i))), VCMD_OK);
        return s;
    }
};

TEST_F(VoiceQuality, CaveAndCathedralTailsAreDiffuseAndDecayAsDescribed) {
    struct Case {
        const char* voice;
        double rt60;  // seconds, as the description says
    };
    for (const Case& c : {Case{"Cave", 3.0}, Case{"Cathedral", 5.0}}) {
        SCOPED_TRACE(c.voice);
        std::vector<float> impulse(static_cast<std::size_t>(2.0 * c.rt60 * kRate), 0.0f);
        impulse[0] = 0.5f;
        const std::vector<float> ir = run(c.voice, impulse);
        // At most 10 % of the tail's energy in its strongest 1 % of bins
        // (steady resonances would ring as metallic lines).
        EXPECT_LE(quality::tailTopPercentShare(ir, kRate, 0.1), 0.10);
        EXPECT_NEAR(quality::reverberationSeconds(ir, kRate, 0.05), c.rt60, 0.15 * c.rt60);
    }
}

TEST_F(VoiceQuality, RobotAddsNoCrackleWhereSpeechFadesInAndOut) {
    // Syllables of a 160 Hz buzz (harmonics to 1 kHz) that rise in 20 ms to
    // -10 dBFS and die away by 30 dB per 100 ms, over a low rumble of room
    // noise (below about 400 Hz) at -62 dBFS: nothing above 3 kHz. A coarse
    // quantiser gates such quiet sound into bursts of crackle; the voice
    // must add no high-frequency onset of its own.
    const std::size_t n = static_cast<std::size_t>(3.0 * kRate);
    std::vector<float> rumble = whiteNoise(n, 1.0, 5);
    double lp[4] = {};
    const double a = std::exp(-2.0 * kPi * 400.0 / kRate);
    for (float& x : rumble) {
        double r = x;
        for (double& state : lp) r = state = r + (state - r) * a;
        x = static_cast<float>(r);
    }
    const double scale = std::pow(10.0, -62.0 / 20.0) / rmsOf(rumble);
    std::vector<float> speech(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double u = std::fmod(t, 0.5);
        const double envelope = u < 0.02 ? 0.3 * u / 0.02 : 0.3 * std::pow(10.0, -1.5 * (u - 0.02) / 0.1);
        double v = 0.0;
        for (int h = 1; h <= 6; ++h) v += std::sin(2.0 * kPi * 160.0 * h * t) / h;
        speech[i] = static_cast<float>(envelope * v + scale * rumble[i]);
    }
    const std::vector<float> out = run("Robot", speech);
    uint32_t latency = 0;  // the output stage's delay
    ASSERT_EQ(vcmdGetLatencyFrames(&latency), VCMD_OK);
    EXPECT_EQ(quality::countNewOnsets(speech, out, kRate, latency), 0u);
}

TEST_F(VoiceQuality, PitchShiftsKeepPlosivesSingleAndOnTime) {
    // Syllables: a burst of noise with a sharp onset, dying away in 5 ms,
    // then a vowel (harmonics of 140 Hz up to 1.1 kHz, soft edges), every
    // 230 ms so that the bursts fall at every point of the grain cycle.
    // Shifted, each burst must stay one onset within 5 ms of its place:
    // grains overlapping it would repeat it, grains reading ahead of the
    // delay (going up) would bring it early.
    const std::size_t n = static_cast<std::size_t>(2.0 * kRate);
    const std::vector<float> hiss = whiteNoise(n, 0.17, 13);
    std::vector<float> speech(n, 0.0f);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double u = std::fmod(t, 0.23);
        double v = 0.0;
        if (u >= 0.04) v += hiss[i] * std::exp(-(u - 0.04) / 0.005);
        // (The first 40 ms are silent: the voice's glide to the shift is over.)
        if (u >= 0.06 && u < 0.21) {
            const double edge = std::min(1.0, std::min((u - 0.06) / 0.02, (0.21 - u) / 0.02));
            for (int h = 1; h <= 8; ++h) v += 0.15 * edge * std::sin(2.0 * kPi * 140.0 * h * t) / h;
        }
        speech[i] = static_cast<float>(v);
    }
    ASSERT_EQ(quality::highFrequencyOnsets(speech, kRate).size(), 9u);
    struct Case {
        const char* voice;
        float semitones;
        bool offline;
    };
    for (const Case& c :
         {Case{"Chipmunk", 12.0f, false}, Case{"Chipmunk", 12.0f, true}, Case{"Chipmunk", 7.0f, true},
          Case{"Deep Voice", -12.0f, false}, Case{"Deep Voice", -12.0f, true}}) {
        SCOPED_TRACE(std::string(c.voice) + " " + std::to_string(c.semitones) +
                     (c.offline ? " offline" : ""));
        ASSERT_EQ(vcmdEnableOfflineMode(c.offline), VCMD_OK);
        ASSERT_EQ(vcmdLoadVoice(c.voice, 0, 0), VCMD_OK);
        ASSERT_EQ(vcmdSetParameter("Pitch", c.semitones), VCMD_OK);
        // Formants moved with the pitch: the formant stage stands aside and
        // the shifter is heard alone.
        ASSERT_EQ(vcmdSetParameter("Formant", c.semitones), VCMD_OK);
        std::vector<float> out = speech;
        for (std::size_t i = 0; i < out.size(); i += 256)
            ASSERT_EQ(vcmdProcessBuffer(out.data() + i,
                                        static_cast<uint32_t>(std::min<std::size_t>(256, out.size() - i))),
                      VCMD_OK);
        // Lined up with the input by the voice's delay.
        uint32_t latency = 0;
        ASSERT_EQ(vcmdGetLatencyFrames(&latency), VCMD_OK);
        out.erase(out.begin(), out.begin() + latency);
        EXPECT_EQ(
            quality::countNewOnsets(std::vector<float>(speech.begin(), speech.end() - latency), out, kRate),
            0u);
    }
}

}  // namespace
