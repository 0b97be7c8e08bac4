// PitchImages.cpp - see PitchImages.h.
#include "PitchImages.h"

#include <algorithm>
#include <cmath>

#include "EngineRender.h"
#include "Loudness.h"
#include "FrequencyAnalysis.h"

namespace quality {

std::vector<float> sineWave(double frequency, double rate, double seconds, double amplitude) {
    constexpr double kPi = 3.14159265358979323846;
    std::vector<float> s(static_cast<std::size_t>(seconds * rate));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(amplitude * std::sin(2.0 * kPi * frequency * static_cast<double>(i) / rate));
    return s;
}

std::vector<double> imageFrequencies(double f, double ratio, double rate) {
    std::vector<double> out;
    for (int k = -2; k <= 2; ++k) {
        for (int sign : {-1, 1}) {
            if (k == 0 && sign == 1 && f * ratio < rate / 2) continue;
            double g = std::fmod(std::fabs((k * rate + sign * f) * ratio), rate);
            if (g > rate / 2) g = rate - g;
            if (std::fabs(g - f * ratio) < 100.0) continue;
            out.push_back(g);
        }
    }
    return out;
}

namespace {

// The stretch at the end of `output` every image measure here looks at.
AmplitudeSpectrum lastStretch(const std::vector<float>& output, double rate) {
    const std::size_t size = rate > 50000.0 ? 32768 : 16384;
    return AmplitudeSpectrum(output, output.size() - size, size, rate);
}

double strongestImage(const AmplitudeSpectrum& spectrum, double f, double ratio, double rate) {
    double worst = 0.0;
    for (double g : imageFrequencies(f, ratio, rate)) worst = std::max(worst, spectrum.peakNear(g, 30.0));
    return worst;
}

}  // namespace

double imageLevel(double f, double rate, float semitones, bool highQuality) {
    const double amplitude = 0.5;
    const std::vector<float> out = shiftPitch(sineWave(f, rate, 1.0, amplitude), rate, semitones, highQuality);
    return toDb(strongestImage(lastStretch(out, rate), f, std::exp2(semitones / 12.0), rate) / amplitude);
}

double imageBelowTone(const std::vector<float>& output, double f, double ratio, double rate) {
    const AmplitudeSpectrum spectrum = lastStretch(output, rate);
    return toDb(strongestImage(spectrum, f, ratio, rate) / spectrum.peakNear(f * ratio, 30.0));
}

}  // namespace quality
