// VoicesTest.cpp - the shipped voices as a listener meets them: pitch where
// a voice promises it, the telephone band, and for every voice finite,
// bounded output that does not depend on the block size.
#include <cstring>

#include "EngineFixture.h"

namespace enginetest {
namespace {

class VoicesTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        mountShipped();
    }
};

// A resonator (constant 0 dB peak gain band-pass) in double.
struct BiquadForTest {
    double b0, b2, a1, a2, z1 = 0.0, z2 = 0.0;
    BiquadForTest(double f, double q, double rate) {
        const double w = 2.0 * kPi * f / rate, alpha = std::sin(w) / (2.0 * q), a0 = 1.0 + alpha;
        b0 = alpha / a0;
        b2 = -alpha / a0;
        a1 = -2.0 * std::cos(w) / a0;
        a2 = (1.0 - alpha) / a0;
    }
    double run(double x) {
        const double y = b0 * x + z1;
        z1 = -a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

// A speech-like test signal: a gliding harmonic tone with noise bursts.
std::vector<float> speechLike(std::size_t frames, double rate) {
    std::vector<float> s(frames);
    const std::vector<float> noise = whiteNoise(frames, 0.2, 77);
    double phase = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / rate;
        const double f0 = 140.0 + 40.0 * std::sin(2.0 * kPi * 1.3 * t);
        phase += 2.0 * kPi * f0 / rate;
        double v = 0.0;
        for (int h = 1; h <= 6; ++h) v += std::sin(h * phase) / h;
        const bool burst = std::fmod(t, 0.5) > 0.4;
        s[i] = static_cast<float>(0.3 * v + (burst ? noise[i] : 0.0));
    }
    return s;
}

TEST_F(VoicesTest, PitchVoicesShiftASineByTheirSemitonesWithinOnePercent) {
    struct Case {
        const char* voice;
        float semitones;
        float rate;
        double input;
    };
    const Case cases[] = {
        {"Chipmunk", 7.0f, 48000.0f, 220.0}, {"Chipmunk", 12.0f, 48000.0f, 220.0}, {"Chipmunk", 2.5f, 48000.0f, 300.0},
        {"Chipmunk", 0.0f, 48000.0f, 440.0}, {"Deep Voice", -5.0f, 48000.0f, 440.0}, {"Deep Voice", -12.0f, 48000.0f, 440.0},
        {"Chipmunk", 7.0f, 8000.0f, 220.0},  {"Chipmunk", 7.0f, 192000.0f, 220.0}, {"Deep Voice", -12.0f, 44100.0f, 600.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.voice) + " " + std::to_string(c.semitones) + " st at " + std::to_string(c.rate));
        ASSERT_EQ(vcmdSetSampleRate(c.rate), VCMD_OK);
        ASSERT_EQ(vcmdLoadVoice(c.voice, 0, 0), VCMD_OK);
        ASSERT_EQ(vcmdSetParameter("Pitch", c.semitones), VCMD_OK);
        // Chipmunk's formants move with its pitch: the shifter alone.
        if (std::string(c.voice) == "Chipmunk") {
            ASSERT_EQ(vcmdSetParameter("Formant", c.semitones), VCMD_OK);
        }
        const auto frames = static_cast<std::size_t>(2.0 * c.rate);
        std::vector<float> s = sine(c.input, c.rate, frames, 0.5);
        processMono(s, 256);
        const double expected = c.input * std::pow(2.0, c.semitones / 12.0);
        const double measured = zeroCrossingFrequency(s, frames / 4, frames, c.rate);
        EXPECT_NEAR(measured / expected, 1.0, 0.01) << "measured " << measured << " Hz, expected " << expected;
        // The pure shift keeps the tone's level: the splices neither cancel
        // nor double it. (Deep Voice adds a chest boost.)
        if (std::string(c.voice) == "Chipmunk") {
            EXPECT_NEAR(rms(s, frames / 4, frames), 0.5 / std::sqrt(2.0), 0.03);
        }
    }
}

TEST_F(VoicesTest, PitchLatencyIsReportedTrulyAndStaysUnderTwentyMilliseconds) {
    mountLab();
    for (float rate : {8000.0f, 11025.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        SCOPED_TRACE(rate);
        ASSERT_EQ(vcmdSetSampleRate(rate), VCMD_OK);
        ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
        uint32_t latency = 0;
        ASSERT_EQ(vcmdGetLatencyFrames(&latency), VCMD_OK);
        EXPECT_LE(latency, static_cast<uint32_t>(0.020 * rate));
        EXPECT_GT(latency, 0u);
        // Started at 0 semitones the shifter is a pure delay: a click comes
        // out `latency` frames later.
        ASSERT_EQ(vcmdLoadVoice("Pitch Lab", 0, 0), VCMD_OK);
        uint32_t labLatency = 0;
        ASSERT_EQ(vcmdGetLatencyFrames(&labLatency), VCMD_OK);
        ASSERT_EQ(labLatency, latency);
        const auto frames = static_cast<std::size_t>(0.5 * rate);
        std::vector<float> warm(frames, 0.0f);
        processMono(warm, 256);
        std::vector<float> s(frames, 0.0f);
        s[100] = 0.5f;  // below the limiter's ceiling
        processMono(s, 256);
        std::size_t at = 0;
        for (std::size_t i = 0; i < s.size(); ++i)
            if (std::fabs(s[i]) > std::fabs(s[at])) at = i;
        EXPECT_EQ(at, 100u + latency);
        EXPECT_NEAR(s[at], 0.5f, 1e-3);
    }
    uint32_t none = 99;
    vcmdResetForTesting();
    ASSERT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK);
    ASSERT_EQ(vcmdGetLatencyFrames(&none), VCMD_OK);
    EXPECT_EQ(none, 0u);
}

// A pitch effect whose package leaves the formant out moves the formants
// with the pitch, also when a parameter moves the pitch: the same samples
// as formant and pitch moved together, and not those of the formants left
// where they were.
TEST_F(VoicesTest, FormantsLeftOutOfThePackageFollowThePitch) {
    mountLab();
    const auto frames = static_cast<std::size_t>(0.5 * 48000.0);
    auto render = [&](const char* voice, std::initializer_list<std::pair<const char*, float>> parameters) {
        EXPECT_EQ(vcmdLoadVoice(voice, 0, 0), VCMD_OK);
        std::vector<float> warm(4800, 0.0f);
        processMono(warm, 256);  // past the crossfade from the voice before
        for (const auto& p : parameters) EXPECT_EQ(vcmdSetParameter(p.first, p.second), VCMD_OK);
        std::vector<float> s = sine(180.0, 48000.0, frames, 0.2);
        for (std::size_t i = 0; i < frames; ++i) s[i] += static_cast<float>(0.2 * std::sin(0.377 * i) * std::sin(0.0021 * i));
        processMono(s, 256);
        return s;
    };
    const std::vector<float> following = render("Pitch Lab", {{"Pitch", 9.0f}});
    const std::vector<float> together = render("Formant Lab", {{"Pitch", 9.0f}, {"Formant", 9.0f}});
    const std::vector<float> apart = render("Formant Lab", {{"Pitch", 9.0f}});
    EXPECT_EQ(following, together);
    EXPECT_NE(following, apart);
}

// Mean power of s[begin, end) at the frequencies from `low` to `high` in
// 10 Hz steps, in dB.
double bandDb(const std::vector<float>& s, std::size_t begin, std::size_t end, double low, double high, double rate) {
    double sum = 0.0;
    int count = 0;
    for (double f = low; f <= high; f += 10.0, ++count) {
        const double a = toneAmplitude(s, begin, end, f, rate);
        sum += a * a;
    }
    return 10.0 * std::log10(sum / count + 1e-30);
}

TEST_F(VoicesTest, WhisperKeepsTheVowelsFormantsAndDropsItsPitch) {
    // A vowel: a 125 Hz pulse train through resonances at 700 Hz and 2.2 kHz.
    const double rate = 48000.0;
    const std::size_t frames = 96000;
    std::vector<float> vowel(frames, 0.0f);
    BiquadForTest f1(700.0, 8.0, rate), f2(2200.0, 8.0, rate);
    for (std::size_t i = 0; i < frames; ++i) {
        const float pulse = i % 384 == 0 ? 1.0f : 0.0f;
        vowel[i] = static_cast<float>(0.3 * (f1.run(pulse) + 0.5 * f2.run(pulse)));
    }
    ASSERT_EQ(vcmdLoadVoice("Whisper", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Breath", 1.0f), VCMD_OK);
    std::vector<float> out = vowel;
    processMono(out, 256);
    const std::size_t b = frames / 4;
    // The formants stand out of the valley between them as in the vowel.
    const double inPeak = bandDb(vowel, b, frames, 600, 800, rate), inValley = bandDb(vowel, b, frames, 1300, 1500, rate);
    const double outPeak = bandDb(out, b, frames, 600, 800, rate), outValley = bandDb(out, b, frames, 1300, 1500, rate);
    EXPECT_GT(inPeak - inValley, 15.0);
    EXPECT_NEAR(outPeak - outValley, inPeak - inValley, 6.0);
    // No harmonic stands out of the spectrum between harmonics any more.
    const double inHarmonic = toneAmplitude(vowel, b, frames, 750.0, rate);
    const double inBetween = toneAmplitude(vowel, b, frames, 687.5, rate);
    EXPECT_GT(20.0 * std::log10(inHarmonic / inBetween), 20.0);
    double harmonics = 0.0, between = 0.0;
    for (int h = 4; h <= 8; ++h) {
        harmonics += std::pow(toneAmplitude(out, b, frames, 125.0 * h, rate), 2.0);
        between += std::pow(toneAmplitude(out, b, frames, 125.0 * h + 62.5, rate), 2.0);
    }
    EXPECT_LT(10.0 * std::log10(harmonics / between), 6.0);

    // With no breath the voice comes out whole, as late as reported (give
    // or take the few samples' delay of the filters after the whisper).
    uint32_t latency = 0;
    ASSERT_EQ(vcmdGetLatencyFrames(&latency), VCMD_OK);
    EXPECT_GT(latency, 0u);
    EXPECT_LE(latency, static_cast<uint32_t>(0.020 * rate));
    ASSERT_EQ(vcmdLoadVoice("Whisper", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Breath", 0.0f), VCMD_OK);
    std::vector<float> click(24000, 0.0f);
    processMono(click, 256);  // the crossfade and the glide to no breath
    std::fill(click.begin(), click.end(), 0.0f);
    click[100] = 0.5f;
    processMono(click, 256);
    std::size_t at = 0;
    for (std::size_t i = 0; i < click.size(); ++i)
        if (std::fabs(click[i]) > std::fabs(click[at])) at = i;
    EXPECT_NEAR(static_cast<double>(at), 100.0 + latency, 4.0);
}

TEST_F(VoicesTest, TelephoneKeepsTheSpeechBandFlatAndCutsLowAndHighSharply) {
    ASSERT_EQ(vcmdLoadVoice("Telephone", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Line Drive", 0.0f), VCMD_OK);
    const double rate = 48000.0;
    auto level = [&](double f) {
        std::vector<float> s = sine(f, rate, 48000, 0.05);
        processMono(s, 256);
        return 20.0 * std::log10(toneAmplitude(s, 12000, 48000, f, rate));
    };
    // Flat from 300 Hz to 3.4 kHz (elliptic ripple 0.1 dB each side) ...
    const double at1k = level(1000.0);
    for (double f : {320.0, 500.0, 2000.0, 3300.0}) EXPECT_NEAR(level(f), at1k, 0.3) << f << " Hz";
    // ... and at least 40 dB down below 200 Hz and from 4.5 kHz up.
    for (double f : {100.0, 190.0, 4500.0, 6000.0, 12000.0}) EXPECT_LT(level(f) - at1k, -40.0) << f << " Hz";
}

TEST_F(VoicesTest, EveryVoiceStaysFiniteAndBelowTwelveDecibelsOnFullScaleNoise) {
    for (const std::string& name : voiceNames()) {
        SCOPED_TRACE(name);
        ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
        std::vector<float> l = whiteNoise(96000, 1.0, 1), r = whiteNoise(96000, 1.0, 2);
        processStereo(l, r, 256);
        bool finite = true;
        for (std::size_t i = 0; i < l.size(); ++i) finite &= std::isfinite(l[i]) && std::isfinite(r[i]);
        EXPECT_TRUE(finite);
        EXPECT_LE(peak(l), 4.0);  // +12 dBFS
        EXPECT_LE(peak(r), 4.0);
        // Every sample is zero or normal: no subnormals.
        for (float v : l) ASSERT_TRUE(v == 0.0f || std::isnormal(v));
        // The voice is heard: it changes the signal.
        const std::vector<float> in = whiteNoise(96000, 1.0, 1);
        EXPECT_NE(0, std::memcmp(in.data(), l.data(), in.size() * sizeof(float)));
    }
}

// The same input and settings give the same samples whatever the block
// size, in offline mode (promised) and in real-time mode (by design).
void startWithShippedVoices() {
    vcmdResetForTesting();
    ASSERT_EQ(vcmdInitSDK("k", "s", "1.0"), VCMD_OK);
    for (const char* file : {"characters.zvmd", "devices.zvmd", "spaces.zvmd", "people.zvmd"}) {
        int32_t id = 0;
        ASSERT_EQ(vcmdMountPackage((voicesDir() + "/" + file).c_str(), 0, 0, 0, &id), VCMD_OK);
    }
}

void expectBlockSizeIndependent(bool offline) {
    const std::vector<float> input = speechLike(48000, 48000.0);
    startWithShippedVoices();
    uint32_t n = 0;
    ASSERT_EQ(vcmdGetNumberOfVoices(1, &n), VCMD_OK);
    std::vector<std::vector<char>> storage(n, std::vector<char>(128));
    std::vector<char*> ptrs;
    for (auto& s : storage) ptrs.push_back(s.data());
    ASSERT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 128, 1), VCMD_OK);
    const std::vector<std::string> names(ptrs.begin(), ptrs.end());
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::vector<std::vector<float>> outputs;
        for (std::size_t block : {std::size_t{1}, std::size_t{64}, std::size_t{4096}}) {
            startWithShippedVoices();
            ASSERT_EQ(vcmdEnableOfflineMode(offline), VCMD_OK);
            ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
            std::vector<float> l = input, r = input;
            for (std::size_t i = 0; i < r.size(); ++i) r[i] *= -0.5f;
            for (std::size_t i = 0; i < l.size(); i += block) {
                const auto n = static_cast<uint32_t>(std::min(block, l.size() - i));
                ASSERT_EQ(vcmdProcessStereoBuffer(l.data() + i, r.data() + i, n), VCMD_OK);
            }
            l.insert(l.end(), r.begin(), r.end());
            outputs.push_back(std::move(l));
        }
        EXPECT_EQ(0, std::memcmp(outputs[0].data(), outputs[1].data(), outputs[0].size() * sizeof(float)))
            << "block 1 vs 64";
        EXPECT_EQ(0, std::memcmp(outputs[0].data(), outputs[2].data(), outputs[0].size() * sizeof(float)))
            << "block 1 vs 4096";
    }
    vcmdResetForTesting();
}

TEST(VoicesBlockSize, EveryVoiceGivesIdenticalOutputForBlocksOf1And64And4096Offline) {
    expectBlockSizeIndependent(true);
}

TEST(VoicesBlockSize, EveryVoiceGivesIdenticalOutputForBlocksOf1And64And4096InRealTime) {
    expectBlockSizeIndependent(false);
}

TEST_F(VoicesTest, OfflineRenderingRepeatsExactlyAfterTheModeIsSwitchedOn) {
    ASSERT_EQ(vcmdLoadVoice("Old Radio", 0, 0), VCMD_OK);  // seeded noise in the background
    std::vector<float> history = speechLike(12000, 48000.0);
    processMono(history, 256);
    std::vector<std::vector<float>> renders;
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(vcmdEnableOfflineMode(true), VCMD_OK);
        // The crossfade from the running voice to the fresh one takes 5 ms;
        // render after it.
        std::vector<float> settle(480, 0.0f);
        processMono(settle, 480);
        std::vector<float> s = speechLike(24000, 48000.0);
        processMono(s, 1000);
        renders.push_back(s);
        ASSERT_EQ(vcmdEnableOfflineMode(false), VCMD_OK);
        std::vector<float> between = whiteNoise(5000, 0.5, static_cast<uint32_t>(run + 3));
        processMono(between, 256);
    }
    EXPECT_EQ(renders[0], renders[1]);
}

}  // namespace
}  // namespace enginetest
