// PitchTrack.cpp - see PitchTrack.h.
#include "PitchTrack.h"

#include <algorithm>
#include <cmath>

namespace quality {
namespace {

// The tracker works at about 12 kHz: every d-th sample.
int decimation(double rate) { return std::max(1, static_cast<int>(std::lround(rate / 12000.0))); }

}  // namespace

PitchFrame pitchFrame(std::size_t frame, double rate) {
    const int d = decimation(rate);
    const double low = rate / d;
    const auto hop = static_cast<std::size_t>(0.010 * low), window = static_cast<std::size_t>(0.040 * low);
    return {frame * hop * static_cast<std::size_t>(d), window * static_cast<std::size_t>(d)};
}

std::vector<double> trackPitch(const std::vector<float>& signal, double rate) {
    // Down to about 12 kHz: a 4th-order-ish low-pass by averaging, enough
    // for the fundamental and the first harmonics YIN looks at.
    const int d = decimation(rate);
    const double low = rate / d;
    std::vector<double> x;
    double a = 0.0, b = 0.0;
    const double c = std::exp(-2.0 * 3.14159265358979 * 3000.0 / rate);
    for (std::size_t i = 0; i < signal.size(); ++i) {
        a = (1.0 - c) * signal[i] + c * a;
        b = (1.0 - c) * a + c * b;
        if (i % static_cast<std::size_t>(d) == 0) x.push_back(b);
    }
    const auto hop = static_cast<std::size_t>(0.010 * low), window = static_cast<std::size_t>(0.040 * low);
    const auto minLag = static_cast<std::size_t>(low / 800.0), maxLag = static_cast<std::size_t>(low / 50.0);
    std::vector<double> energy, f0;
    for (std::size_t at = 0; at + window + maxLag < x.size(); at += hop) {
        double e = 0.0;
        for (std::size_t j = 0; j < window; ++j) e += x[at + j] * x[at + j];
        energy.push_back(e);
    }
    const double loudest = energy.empty() ? 0.0 : *std::max_element(energy.begin(), energy.end());
    std::vector<double> diff(maxLag + 2);
    for (std::size_t f = 0; f < energy.size(); ++f) {
        const std::size_t at = f * hop;
        if (energy[f] < loudest * 1e-4) {
            f0.push_back(0.0);
            continue;
        }
        double running = 0.0;
        diff[0] = 1.0;
        for (std::size_t lag = 1; lag <= maxLag + 1; ++lag) {
            double s = 0.0;
            for (std::size_t j = 0; j < window; ++j) {
                const double v = x[at + j] - x[at + j + lag];
                s += v * v;
            }
            running += s;
            diff[lag] = running > 0.0 ? s * static_cast<double>(lag) / running : 1.0;
        }
        std::size_t best = 0;
        for (std::size_t lag = std::max<std::size_t>(minLag, 2); lag <= maxLag; ++lag) {
            if (diff[lag] < 0.15) {
                while (lag + 1 <= maxLag && diff[lag + 1] < diff[lag]) ++lag;
                best = lag;
                break;
            }
        }
        if (best == 0) {
            f0.push_back(0.0);
            continue;
        }
        const double l = diff[best - 1], m = diff[best], r = diff[best + 1];
        const double curve = l - 2.0 * m + r;
        const double lag = static_cast<double>(best) + (curve > 0.0 ? 0.5 * (l - r) / curve : 0.0);
        f0.push_back(low / lag);
    }
    return f0;
}

}  // namespace quality
