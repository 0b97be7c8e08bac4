// Alignment.cpp - see Alignment.h.
#include "Alignment.h"

#include <algorithm>
#include <cmath>

#include "HarmonicFit.h"
#include "PitchTrack.h"

namespace quality {

std::ptrdiff_t pitchContourLag(const std::vector<double>& inputF0, const std::vector<double>& outputF0,
                               double pitchRatio, double rate, double maxSeconds) {
    const double hop = static_cast<double>(pitchFrame(1, rate).begin);  // samples between frames
    const double step = 0.0005 * rate;
    const auto steps = static_cast<int>(std::lround(maxSeconds / 0.0005));
    double bestMean = 0.0;
    int best = 0;
    bool found = false;
    for (int k = -steps; k <= steps; ++k) {
        const double shift = k * step / hop;  // in frames
        double sum = 0.0;
        int count = 0;
        for (std::size_t f = 0; f < inputF0.size(); ++f) {
            if (!(inputF0[f] > 0.0)) continue;
            const double x = static_cast<double>(f) + shift;
            if (x < 0.0) continue;
            const auto i = static_cast<std::size_t>(x);
            if (i + 1 >= outputF0.size() || !(outputF0[i] > 0.0) || !(outputF0[i + 1] > 0.0)) continue;
            const double t = x - static_cast<double>(i);
            const double f0 = std::exp((1.0 - t) * std::log(outputF0[i]) + t * std::log(outputF0[i + 1]));
            sum += std::min(100.0, std::fabs(cents(f0 / (inputF0[f] * pitchRatio))));
            ++count;
        }
        if (count == 0) continue;
        if (!found || sum / count < bestMean) {
            bestMean = sum / count;
            best = k;
            found = true;
        }
    }
    return static_cast<std::ptrdiff_t>(std::lround(best * step));
}

std::vector<float> advanced(const std::vector<float>& signal, std::ptrdiff_t lag) {
    std::vector<float> out(signal.size(), 0.0f);
    const auto n = static_cast<std::ptrdiff_t>(signal.size());
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (i + lag >= 0 && i + lag < n) out[static_cast<std::size_t>(i)] = signal[static_cast<std::size_t>(i + lag)];
    return out;
}

}  // namespace quality
