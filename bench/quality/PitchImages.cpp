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

double imageLevel(double f, double rate, float semitones, bool highQuality) {
    const double amplitude = 0.5;
    const std::vector<float> out = shiftPitch(sineWave(f, rate, 1.0, amplitude), rate, semitones, highQuality);
    const std::size_t size = rate > 50000.0 ? 32768 : 16384;
    const AmplitudeSpectrum spectrum(out, out.size() - size, size, rate);
    double worst = 0.0;
    for (double g : imageFrequencies(f, std::exp2(semitones / 12.0), rate))
        worst = std::max(worst, spectrum.peakNear(g, 30.0));
    return toDb(worst / amplitude);
}

}  // namespace quality
