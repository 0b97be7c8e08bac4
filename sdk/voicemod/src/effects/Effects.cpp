// Effects.cpp - the effects and background layers a voice is built from.
//
// Each one keeps per-channel state for kMaxChannels channels, allocates only
// in its constructor and glides every setting through a Ramp, advanced once
// per frame, so that its output depends only on the input samples and the
// settings' history, never on how the input is cut into blocks.
#include "effects/Effects.h"

#include "effects/EffectKinds.h"

namespace vcmd {

std::unique_ptr<Effect> makeEffect(const EffectDef& def, const ChainConfig& config, std::uint64_t seed) {
    const double fs = config.sampleRate;
    switch (def.type) {
        case EffectType::PitchShift: return makePitchEffect(def, config);
        case EffectType::RingMod: return makeRingMod(def, fs);
        case EffectType::NoiseMod: return makeNoiseMod(def, fs, seed);
        case EffectType::Whisper: return makeWhisper(def, fs, seed);
        case EffectType::LowPass: return makeFilter(def, fs, FilterKind::LowPass);
        case EffectType::HighPass: return makeFilter(def, fs, FilterKind::HighPass);
        case EffectType::BandPass: return makeFilter(def, fs, FilterKind::BandPass);
        case EffectType::Peaking: return makeFilter(def, fs, FilterKind::Peaking);
        case EffectType::Band: return makeBand(def, fs);
        case EffectType::Distortion: return makeDistortion(def, fs);
        case EffectType::BitCrush: return makeBitCrush(def, fs);
        case EffectType::Echo: return makeEcho(def, fs);
        case EffectType::Chorus: return makeChorus(def, fs);
        case EffectType::Tremolo: return makeTremolo(def, fs);
        case EffectType::Reverb: return makeReverb(def, fs);
        case EffectType::Gain: return makeGain(def, fs);
        case EffectType::LoudnessMatch: return makeLoudnessMatch(def, fs);
        case EffectType::WhiteNoise:
        case EffectType::PinkNoise:
        case EffectType::BrownNoise:
        case EffectType::Hum:
        case EffectType::Tone: return nullptr;  // background layers: makeGenerator
    }
    return makeGain(def, fs);
}

std::unique_ptr<Generator> makeGenerator(const EffectDef& def, const ChainConfig& config, std::uint64_t seed) {
    const double fs = config.sampleRate;
    switch (def.type) {
        case EffectType::WhiteNoise:
        case EffectType::PinkNoise:
        case EffectType::BrownNoise: return makeNoiseLayer(def, fs, seed);
        case EffectType::Hum: return makeHumLayer(def, fs);
        case EffectType::Tone: return makeToneLayer(def, fs);
        default: return nullptr;  // an effect: makeEffect
    }
}

}  // namespace vcmd
