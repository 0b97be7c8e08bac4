// QualityTest.cpp - the quality targets every voice must meet, checked on
// the speech sample and on synthetic signals with the quality harness's
// measurements (libebur128 for loudness and true peak).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "EngineRender.h"
#include "FormantMeasures.h"
#include "Loudness.h"
#include "PitchImages.h"
#include "VoiceBands.h"

namespace {

using namespace quality;

const std::string kVoices = QUALITY_VOICES_DIR;

// Driven 6 dB hotter than the sample (peaks near +5 dBFS), every voice
// still stays at or under -1 dBTP, with and without its background.
TEST(Quality, EveryVoiceHoldsTheTruePeakAtMinusOneDbtpOnHotSpeech) {
    Audio speech = readAudio(QUALITY_SAMPLE);
    for (float& x : speech.samples) x *= 2.0f;
    for (const std::string& voice : startEngine(kVoices)) {
        for (bool background : {false, true}) {
            VoiceRun run;
            run.voice = voice;
            run.rate = speech.rate;
            run.background = background;
            const Level level = measureLevel(renderVoice(kVoices, run, speech.samples, 0.3), speech.rate);
            EXPECT_LE(level.truePeak, -1.0) << voice << (background ? " with" : " without") << " background";
        }
    }
}

// At its defaults every voice is as loud as its input (integrated
// loudness): within 1.5 LU without its background, 2 LU with it.
TEST(Quality, EveryVoiceIsAsLoudAsItsInput) {
    const Audio speech = readAudio(QUALITY_SAMPLE);
    const double input = measureLevel(speech.samples, speech.rate).loudness;
    for (const std::string& voice : startEngine(kVoices)) {
        for (bool background : {false, true}) {
            VoiceRun run;
            run.voice = voice;
            run.rate = speech.rate;
            run.background = background;
            const double change =
                measureLevel(renderVoice(kVoices, run, speech.samples, 1.0), speech.rate).loudness - input;
            EXPECT_LE(std::fabs(change), background ? 2.0 : 1.5)
                << voice << (background ? " with" : " without") << " background: " << change << " LU";
        }
    }
}

// The shifter leaves no image of a 10 kHz or a 16 kHz sine above -60 dB at
// any whole shift, at 44.1, 48 and 96 kHz, in either mode; a tone shifted
// beyond half the rate is removed, not folded back.
TEST(Quality, PitchShifterImagesStayBelowMinusSixtyDecibels) {
    for (double rate : {44100.0, 48000.0, 96000.0})
        for (bool offline : {false, true})
            for (int st = -12; st <= 12; ++st)
                for (double f : {10000.0, 16000.0})
                    EXPECT_LE(imageLevel(f, rate, static_cast<float>(st), offline), -60.0)
                        << f << " Hz, " << st << " st at " << rate << " Hz" << (offline ? " offline" : "");
}

// On white noise each band-limited voice is as far down outside its band as
// its description promises.
TEST(Quality, BandLimitedVoicesAreAsFarDownOutsideTheirBandsAsDescribed) {
    const double rate = 48000.0;
    std::vector<float> noise(static_cast<std::size_t>(2.0 * rate));
    std::uint32_t x = 7;
    for (float& v : noise) {
        x = x * 1664525u + 1013904223u;
        v = 0.1f * (static_cast<float>(x >> 8) / 8388608.0f - 1.0f);
    }
    startEngine(kVoices);
    for (const Band& band : kVoiceBands) {
        VoiceRun run;
        run.voice = band.voice;
        const BandRejection r = measureBand(band, noise, renderVoice(kVoices, run, noise, 0.2), rate);
        EXPECT_LE(r.below, -band.down) << band.voice;
        EXPECT_LE(r.above, -band.down) << band.voice;
    }
}

// On a synthetic vowel, pitch and formants move apart as set, in both
// modes: pitch +-7 keeps the formants within 5 % of the input's, formant
// +-4 with pitch 0 moves them by its ratio within 5 %; F0 within 5 cents
// of the shift every time.
TEST(Quality, FormantsAndPitchMoveApartOnAVowel) {
    const struct {
        double pitch, formant;
    } cases[] = {{7, 0}, {-7, 0}, {0, 4}, {0, -4}};
    for (Shifter s : {Shifter::Ours, Shifter::OursOffline})
        for (const auto& c : cases) {
            const VowelResult r = measureVowel(s, 48000.0, c.pitch, c.formant);
            EXPECT_LE(r.worstFormantPercent, 5.0) << shifterName(s) << ", pitch " << c.pitch << " formant " << c.formant;
            EXPECT_LE(std::fabs(r.f0ErrorCents), 5.0) << shifterName(s) << ", pitch " << c.pitch << " formant " << c.formant;
        }
}

}  // namespace
