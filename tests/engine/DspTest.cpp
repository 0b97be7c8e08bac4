// DspTest.cpp - what single effects and the switches do to a signal,
// measured on the engine's output with the one-effect voices of
// data/good/lab.zvmd.
#include <cstring>

#include "EngineFixture.h"

namespace enginetest {
namespace {

constexpr double kRate = 48000.0;
constexpr std::size_t kRamp = 240;  // 5 ms at 48 kHz

class DspTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        mountLab();
        mountShipped();
    }
};

TEST_F(DspTest, RingModulationMovesAToneToItsTwoSidebands) {
    ASSERT_EQ(vcmdLoadVoice("Ring Lab", 0, 0), VCMD_OK);
    std::vector<float> s = sine(1000.0, kRate, 48000, 0.5);
    processMono(s, 256);
    const std::size_t b = 9600, e = 48000;
    const double lower = toneAmplitude(s, b, e, 700.0, kRate);
    const double upper = toneAmplitude(s, b, e, 1300.0, kRate);
    const double carrier = toneAmplitude(s, b, e, 1000.0, kRate);
    // sin(a) sin(b) = (cos(a-b) - cos(a+b)) / 2: half the amplitude each.
    EXPECT_NEAR(lower, 0.25, 0.01);
    EXPECT_NEAR(upper, 0.25, 0.01);
    EXPECT_LT(carrier, 0.25 * 0.01) << "the input tone itself is gone (-40 dB)";

    // A new carrier frequency moves the sidebands.
    ASSERT_EQ(vcmdSetParameter("Frequency", 100.0f), VCMD_OK);
    std::vector<float> t = sine(1000.0, kRate, 48000, 0.5);
    processMono(t, 256);
    EXPECT_NEAR(toneAmplitude(t, b, e, 900.0, kRate), 0.25, 0.01);
    EXPECT_NEAR(toneAmplitude(t, b, e, 1100.0, kRate), 0.25, 0.01);
    EXPECT_LT(toneAmplitude(t, b, e, 700.0, kRate), 0.0025);
}

TEST_F(DspTest, EchoAppearsAtItsDelay) {
    ASSERT_EQ(vcmdLoadVoice("Echo Lab", 0, 0), VCMD_OK);
    // Every voice ends in the limiter, which delays it a little.
    uint32_t d = 0;
    ASSERT_EQ(vcmdGetLatencyFrames(&d), VCMD_OK);
    // Let the voice crossfade in first, on silence.
    std::vector<float> quiet(1024, 0.0f);
    processMono(quiet, 1024);
    std::vector<float> s(24000, 0.0f);
    s[0] = 0.5f;
    processMono(s, 100);
    EXPECT_FLOAT_EQ(s[d], 0.5f);
    // 100 ms at 48 kHz, half as loud, and nothing else (no feedback).
    EXPECT_NEAR(s[d + 4800], 0.25f, 1e-6);
    double elsewhere = 0.0;
    for (std::size_t i = 0; i < s.size(); ++i)
        if (i != d && i != d + 4800) elsewhere = std::max(elsewhere, static_cast<double>(std::fabs(s[i])));
    EXPECT_LT(elsewhere, 1e-6);

    ASSERT_EQ(vcmdSetParameter("Delay", 250.0f), VCMD_OK);
    std::vector<float> glide(4800, 0.0f);  // the delay glides to 250 ms meanwhile
    processMono(glide, 480);
    std::vector<float> t(24000, 0.0f);
    t[0] = 0.5f;
    processMono(t, 333);
    EXPECT_NEAR(t[d + 12000], 0.25f, 1e-6);
}

TEST_F(DspTest, BackgroundIsHeardOnlyWhileEnabled) {
    ASSERT_EQ(vcmdLoadVoice("Noise Lab", 0, 0), VCMD_OK);
    std::vector<float> on(9600, 0.0f);
    processMono(on, 480);
    // -20 dB white noise, uniform: rms = 0.1 / sqrt(3).
    EXPECT_NEAR(rms(on, 4800, 9600), 0.1 / std::sqrt(3.0), 0.01);

    ASSERT_EQ(vcmdEnableBackgroundSounds(false), VCMD_OK);
    std::vector<float> off(9600, 0.0f);
    processMono(off, 480);
    uint32_t d = 0;
    ASSERT_EQ(vcmdGetLatencyFrames(&d), VCMD_OK);
    for (std::size_t i = kRamp + d; i < off.size(); ++i) ASSERT_EQ(off[i], 0.0f) << i;
    EXPECT_GT(std::fabs(off[10]), 0.0f) << "fades out rather than stops";

    ASSERT_EQ(vcmdEnableBackgroundSounds(true), VCMD_OK);
    std::vector<float> again(9600, 0.0f);
    processMono(again, 480);
    EXPECT_NEAR(rms(again, 4800, 9600), 0.1 / std::sqrt(3.0), 0.01);
}

TEST_F(DspTest, ParameterChangesGlideInsteadOfStepping) {
    ASSERT_EQ(vcmdLoadVoice("Gain Lab", 0, 0), VCMD_OK);
    std::vector<float> warm(2400, 0.5f);
    processMono(warm, 240);
    ASSERT_EQ(vcmdSetParameter("Gain", -40.0f), VCMD_OK);
    std::vector<float> s(4800, 0.5f);
    processMono(s, 64);
    double largestStep = 0.0;
    for (std::size_t i = 1; i < s.size(); ++i)
        largestStep = std::max(largestStep, static_cast<double>(std::fabs(s[i] - s[i - 1])));
    // A jump would be 0.495 in one sample; a 20 ms glide in dB moves at most
    // a few thousandths per sample.
    EXPECT_LT(largestStep, 0.005);
    EXPECT_NEAR(s.back(), 0.005, 1e-5) << "arrives at -40 dB";

    // A parameter with a mapped range: 0.5 of [-6.02, 0] dB is -3.01 dB.
    ASSERT_EQ(vcmdSetParameter("Gain", 0.0f), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Half Gain", 0.5f), VCMD_OK);
    std::vector<float> h(4800, 0.5f);
    processMono(h, 64);
    EXPECT_NEAR(h.back(), 0.5 * std::pow(10.0, -3.0103 / 20.0), 1e-4);
}

TEST_F(DspTest, BypassIsBitExactAfterItsRampAndGradualDuringIt) {
    ASSERT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_OK);
    std::vector<float> l = whiteNoise(9600, 0.8, 1), r = whiteNoise(9600, 0.8, 2);
    processStereo(l, r, 256);
    ASSERT_EQ(vcmdSetBypass(true), VCMD_OK);
    std::vector<float> ramp = whiteNoise(kRamp, 0.8, 3), rampR = whiteNoise(kRamp, 0.8, 4);
    const std::vector<float> ramp0 = ramp;
    processStereo(ramp, rampR, kRamp);
    EXPECT_NE(ramp[kRamp / 2], ramp0[kRamp / 2]) << "half way, voice and input are mixed";
    std::vector<float> inL = whiteNoise(4096, 0.8, 5), inR = whiteNoise(4096, 0.8, 6);
    inL[17] = 1e-40f;  // even a subnormal input passes untouched
    std::vector<float> outL = inL, outR = inR;
    processStereo(outL, outR, 512);
    EXPECT_EQ(0, std::memcmp(outL.data(), inL.data(), inL.size() * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(outR.data(), inR.data(), inR.size() * sizeof(float)));

    // And back: the voice returns.
    ASSERT_EQ(vcmdSetBypass(false), VCMD_OK);
    std::vector<float> back = whiteNoise(4096, 0.8, 7);
    const std::vector<float> back0 = back;
    processMono(back, 512);
    EXPECT_NE(back[4000], back0[4000]);
}

TEST_F(DspTest, MuteIsExactSilenceAfterItsRamp) {
    ASSERT_EQ(vcmdLoadVoice("Old Radio", 0, 0), VCMD_OK);  // background too is muted
    std::vector<float> s = whiteNoise(9600, 0.5);
    processMono(s, 256);
    ASSERT_EQ(vcmdSetMute(true), VCMD_OK);
    std::vector<float> m = whiteNoise(9600, 0.5, 9);
    processMono(m, 100);
    EXPECT_NE(m[kRamp / 4], 0.0f) << "fades out over the ramp";
    for (std::size_t i = kRamp; i < m.size(); ++i) ASSERT_EQ(m[i], 0.0f) << i;
    // Bypass does not undo mute.
    ASSERT_EQ(vcmdSetBypass(true), VCMD_OK);
    std::vector<float> b = whiteNoise(2000, 0.5, 10);
    processMono(b, 100);
    for (float v : b) ASSERT_EQ(v, 0.0f);
}

TEST_F(DspTest, VoiceChangeCrossfadesWithoutAJump) {
    ASSERT_EQ(vcmdLoadVoice("Gain Lab", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Gain", -40.0f), VCMD_OK);
    std::vector<float> warm(4800, 0.5f);
    processMono(warm, 480);
    // From -40 dB to the "Second Voice" (-6 dB) on a constant input.
    ASSERT_EQ(mount(dataDir() + "/good/second.zvmd"), VCMD_OK);
    ASSERT_EQ(vcmdLoadVoice("Second Voice", 0, 0), VCMD_OK);
    uint32_t d = 0;
    ASSERT_EQ(vcmdGetLatencyFrames(&d), VCMD_OK);
    std::vector<float> s(2400, 0.5f);
    processMono(s, 1);
    double largestStep = 0.0;
    for (std::size_t i = 1; i < s.size(); ++i)
        largestStep = std::max(largestStep, static_cast<double>(std::fabs(s[i] - s[i - 1])));
    // The crossfade starts once the new voice sounds, after its delay.
    EXPECT_LT(largestStep, 0.25 / kRamp * 1.5) << "spread over the 5 ms crossfade";
    EXPECT_NEAR(s[d + kRamp + 10], 0.25, 1e-3);
}

TEST_F(DspTest, NonFiniteInputCountsAsSilenceAndLeavesNoTrace) {
    ASSERT_EQ(vcmdLoadVoice("Cave", 0, 0), VCMD_OK);  // long feedback paths
    std::vector<float> a = sine(300.0, kRate, 24000, 0.5);
    std::vector<float> b = a;
    a[5000] = NAN;
    a[5001] = INFINITY;
    a[9000] = -INFINITY;
    b[5000] = b[5001] = b[9000] = 0.0f;
    processMono(a, 256);
    for (float v : a) ASSERT_TRUE(std::isfinite(v));
    // The same engine state as if those samples had been zero.
    vcmdResetForTesting();
    ASSERT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK);
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Cave", 0, 0), VCMD_OK);
    processMono(b, 256);
    EXPECT_EQ(a, b);
}

TEST_F(DspTest, SilenceInGivesExactSilenceOutForVoicesWithoutBackground) {
    for (const std::string& name : voiceNames()) {
        std::vector<char> info(4096);
        uint32_t length = static_cast<uint32_t>(info.size());
        ASSERT_EQ(vcmdGetVoiceInfoJson(name.c_str(), info.data(), &length), VCMD_OK);
        if (std::string(info.data()).find("\"background\":true") != std::string::npos) continue;
        SCOPED_TRACE(name);
        ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
        std::vector<float> l(24000, 0.0f), r(24000, 0.0f);
        processStereo(l, r, 256);
        EXPECT_EQ(peak(l), 0.0);
        EXPECT_EQ(peak(r), 0.0);
    }
}

}  // namespace
}  // namespace enginetest
