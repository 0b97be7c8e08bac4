// QualityTest.cpp - the quality targets every voice must meet, checked on
// the speech sample and on synthetic signals with the quality harness's
// measurements (libebur128 for loudness and true peak).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "AudioFile.h"
#include "EngineRender.h"
#include "Loudness.h"

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

}  // namespace
