// FormantMeasures.cpp - see FormantMeasures.h.
#include "FormantMeasures.h"

#include <algorithm>
#include <cmath>

#include "Formants.h"
#include "HarmonicFit.h"
#include "PitchTrack.h"

namespace quality {
namespace {

const VowelSpec kVowel{"the harness's vowel", kVowelF0, {700.0, 1220.0, 2600.0, 3500.0}};

}  // namespace

std::vector<float> vowel(double rate) { return syntheticVowel(rate, 1.5, kVowel.f0, kVowel.formants); }

VowelResult measureVowel(Shifter s, double rate, double pitch, double formant) {
    return measureVowel(s, rate, pitch, formant, kVowel);
}

namespace {

// `out` (the vowel `in` shifted) against `in`: formants by LPC and F0 by a
// harmonic fit on the steady middle.
VowelResult compareVowels(const std::vector<float>& in, const std::vector<float>& out, double rate, double pitch,
                          double formant, double inputF0) {
    VowelResult r;
    r.supported = true;
    const auto begin = static_cast<std::size_t>(0.4 * rate), end = static_cast<std::size_t>(1.3 * rate);
    const std::vector<double> before = lpcFormants(in, begin, end, rate, 3);
    const std::vector<double> after = lpcFormants(out, begin, end, rate, 3);
    const double ratio = std::exp2(formant / 12.0);
    for (std::size_t k = 0; k < 3; ++k) {
        const double e = k < before.size() && k < after.size() ? 100.0 * (after[k] / (before[k] * ratio) - 1.0) : 100.0;
        r.formantErrorPercent[k] = e;
        r.worstFormantPercent = std::max(r.worstFormantPercent, std::fabs(e));
    }
    const double f0 = inputF0 * std::exp2(pitch / 12.0);
    // The first eight harmonics over a quarter of a second.
    const HarmonicFit fit = fitHarmonics(out, begin, static_cast<std::size_t>(0.25 * rate), rate, f0, 8);
    r.f0ErrorCents = cents(fit.f0 / f0);
    return r;
}

}  // namespace

VowelResult measureVowel(Shifter s, double rate, double pitch, double formant, const VowelSpec& v) {
    const std::vector<float> in = syntheticVowel(rate, 1.5, v.f0, v.formants);
    const Shifted out = shift(s, in, rate, pitch, formant);
    if (!out.supported) return {};
    VowelResult r = compareVowels(in, out.output, rate, pitch, formant, v.f0);
    r.latencyMs = 1000.0 * out.latencySeconds;
    return r;
}

VowelResult idealVowel(double rate, double pitch, double formant, const VowelSpec& v) {
    const std::vector<float> in = syntheticVowel(rate, 1.5, v.f0, v.formants);
    std::vector<double> moved = v.formants;
    for (double& f : moved) f *= std::exp2(formant / 12.0);
    const std::vector<float> out = syntheticVowel(rate, 1.5, v.f0 * std::exp2(pitch / 12.0), moved);
    return compareVowels(in, out, rate, pitch, formant, v.f0);
}

SpeechResult measureSpeech(Shifter s, const std::vector<float>& speech, double rate, double pitch, double formant) {
    SpeechResult r;
    const Shifted out = shift(s, speech, rate, pitch, formant);
    if (!out.supported) return r;
    r.supported = true;
    const std::vector<double> a = trackPitch(speech, rate), b = trackPitch(out.output, rate);
    std::vector<double> errors;
    const double ratio = std::exp2(pitch / 12.0);
    for (std::size_t f = 0; f < std::min(a.size(), b.size()); ++f)
        if (a[f] > 0.0 && b[f] > 0.0) errors.push_back(std::fabs(cents(b[f] / (a[f] * ratio))));
    r.voicedFrames = static_cast<int>(errors.size());
    if (!errors.empty()) {
        std::sort(errors.begin(), errors.end());
        r.f0MedianCents = errors[errors.size() / 2];
        r.f0P90Cents = errors[std::min(errors.size() - 1, errors.size() * 9 / 10)];
    }
    // Envelope distance on the input's voiced frames. The reference is the
    // input read at the formant ratio's speed, frame by frame: for formant
    // 0 the input itself.
    const double fr = std::exp2(formant / 12.0);
    const auto hop = static_cast<std::size_t>(0.010 * rate), length = static_cast<std::size_t>(0.030 * rate);
    constexpr std::size_t kBins = 64;
    double sum = 0.0;
    int frames = 0;
    for (std::size_t f = 0; f < a.size(); ++f) {
        if (a[f] <= 0.0) continue;
        const std::size_t at = f * hop;
        if (at + 2 * length >= speech.size()) break;
        std::vector<float> reference(length);
        for (std::size_t i = 0; i < length; ++i) {
            const double x = static_cast<double>(at) + (static_cast<double>(i) - 0.5 * length) * fr + 0.5 * length;
            const auto w = static_cast<std::size_t>(std::max(0.0, x));
            const double t = x - static_cast<double>(w);
            reference[i] = w + 1 < speech.size() ? static_cast<float>((1.0 - t) * speech[w] + t * speech[w + 1]) : 0.0f;
        }
        const std::vector<double> e0 = lpcEnvelopeDb(reference, 0, length, rate, kBins);
        const std::vector<double> e1 = lpcEnvelopeDb(out.output, at, length, rate, kBins);
        if (e0.size() != kBins || e1.size() != kBins) continue;
        double d = 0.0;
        for (std::size_t k = 0; k < kBins; ++k) d += (e0[k] - e1[k]) * (e0[k] - e1[k]);
        sum += std::sqrt(d / kBins);
        ++frames;
    }
    r.envelopeDistanceDb = frames > 0 ? sum / frames : 0.0;
    return r;
}

}  // namespace quality
