// PitchSynchronousTest.cpp - the pitch stage with its voiced parts made
// pitch-synchronously (the pitch effect's "synthesis" 1): a steady vowel and
// a creaky low voice keep their periodicity with the formants kept, and the
// output is the same at every block size.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "AudioFile.h"
#include "Periodicity.h"
#include "PitchTrack.h"
#include "SyntheticVoices.h"
#include "pitch/FormantShifter.h"
#include "pitch/PitchShifter.h"
#include "pitch/PitchSynchronous.h"

namespace {

using namespace quality;

// The pitch effect's three stages as it runs them, `block` frames a call,
// lined up by their delay.
std::vector<float> shifted(const std::vector<float>& input, double rate, float pitch, float formant, int block) {
    vcmd::PitchShifter shifter;
    shifter.configure(rate, false);
    shifter.jumpSemitones(pitch);
    vcmd::FormantShifter formants;
    formants.configure(rate, static_cast<int>(shifter.latencyFrames()));
    formants.jumpPitch(pitch);
    formants.jumpFormant(formant);
    const std::size_t delay = shifter.latencyFrames() + static_cast<std::size_t>(formants.latencyFrames());
    vcmd::PitchSynchronous voiced;
    voiced.configure(rate, static_cast<int>(delay));
    voiced.jumpPitch(pitch);
    voiced.jumpFormant(formant);
    std::vector<float> s = input;
    s.resize(input.size() + delay, 0.0f);
    for (std::size_t i = 0; i < s.size(); i += static_cast<std::size_t>(block)) {
        float* io[1] = {s.data() + i};
        const int n = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(block), s.size() - i));
        formants.hear(io, 1, n);
        voiced.hear(io, 1, n);
        shifter.process(io, 1, n);
        formants.process(io, 1, n);
        voiced.process(io, 1, n);
    }
    s.erase(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(delay));
    s.resize(input.size());
    return s;
}

SyntheticVoice voiceOf(double f0, double weakPulse, std::uint32_t seed) {
    VoiceKind kind;
    kind.name = "steady";
    kind.weakPulse = weakPulse;
    kind.phrases = {{2.0, {{0.0, f0}}, 0, 0}};
    return makeVoice(kind, 48000.0, seed);
}

// The check the grain path's formant stage could not pass: moving the
// pitch with the formants kept costs no more than 1 dB of HNR and 5 % of
// the voiced frames against moving them with it.
TEST(PitchSynchronous, KeepsTheVoicingWithTheFormantsKept) {
    const struct {
        const char* name;
        double f0, weakPulse;
    } cases[] = {{"steady vowel at 100 Hz", 100.0, 1.0}, {"creaky voice at 75 Hz", 75.0, 0.65}};
    for (const auto& c : cases) {
        const SyntheticVoice voice = voiceOf(c.f0, c.weakPulse, 11);
        const std::vector<double> track = trackPitch(voice.samples, voice.rate);
        const double ratio = std::exp2(7.0 / 12.0);
        const PeriodicityResult kept = measurePeriodicity(track, shifted(voice.samples, voice.rate, 7.0f, 0.0f, 256),
                                                          voice.rate, ratio);
        const PeriodicityResult following = measurePeriodicity(
            track, shifted(voice.samples, voice.rate, 7.0f, 7.0f, 256), voice.rate, ratio);
        ASSERT_GT(kept.inputVoicedFrames, 100) << c.name;
        EXPECT_GE(kept.hnrMedianDb, following.hnrMedianDb - 1.0) << c.name;
        EXPECT_GE(kept.voicedShare, 0.95 * following.voicedShare) << c.name;
        EXPECT_GE(kept.voicedShare, 0.9) << c.name;
    }
}

// At no shift the grains give back the voice they were cut from: on real
// speech, whose marks scatter about the pulses and whose onsets the tracker
// first marks at a fraction of the period, grains laid on the marks
// themselves kept 59 % of the voiced frames.
TEST(PitchSynchronous, GivesBackRealSpeechAtNoShift) {
    const Audio speech = readAudio(QUALITY_SAMPLE);
    const PeriodicityResult r = measurePeriodicity(trackPitch(speech.samples, speech.rate),
                                                   shifted(speech.samples, speech.rate, 0.0f, 0.0f, 256), speech.rate,
                                                   1.0);
    ASSERT_GT(r.inputVoicedFrames, 100);
    EXPECT_GE(r.voicedShare, 0.9);
    EXPECT_LE(r.f0MedianCents, 3.0);
}

TEST(PitchSynchronous, TheSameAtEveryBlockSize) {
    const SyntheticVoice voice = voiceOf(130.0, 1.0, 5);
    const std::vector<float> whole = shifted(voice.samples, voice.rate, -5.0f, 3.0f, 256);
    for (int block : {37, 1}) {
        const std::vector<float> other = shifted(voice.samples, voice.rate, -5.0f, 3.0f, block);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < whole.size(); ++i) differ += whole[i] != other[i];
        EXPECT_EQ(differ, 0u) << "block " << block;
    }
}

}  // namespace
