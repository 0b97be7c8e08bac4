// Onsets.cpp - high-frequency onset detection and the count of onsets a
// voice added (see Onsets.h).
#include "Onsets.h"

#include <algorithm>
#include <cmath>

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Second-order Butterworth high-pass or low-pass (bilinear transform), run
// in double.
struct Butterworth {
    double b0, b1, b2, a1, a2, z1 = 0.0, z2 = 0.0;
    Butterworth(double cutoff, double rate, bool highPass) {
        const double w = 2.0 * kPi * cutoff / rate;
        const double alpha = std::sin(w) / (2.0 * std::sqrt(0.5));
        const double c = std::cos(w);
        const double a0 = 1.0 + alpha;
        b0 = (highPass ? 1.0 + c : 1.0 - c) / 2.0 / a0;
        b1 = (highPass ? -(1.0 + c) : 1.0 - c) / a0;
        b2 = b0;
        a1 = -2.0 * c / a0;
        a2 = (1.0 - alpha) / a0;
    }
    double run(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

constexpr double kCutoff = 3000.0;
constexpr int kHistoryFrames = 10;

// Energy above `low` (and below `high` unless it is 0) in 1 ms frames:
// fourth-order high-pass, sixth-order low-pass.
std::vector<double> bandFrames(const std::vector<float>& signal, double sampleRate, double low = kCutoff,
                               double high = 0.0) {
    const auto frame = static_cast<std::size_t>(std::max(1.0, std::round(0.001 * sampleRate)));
    Butterworth first(low, sampleRate, true), second(low, sampleRate, true);
    Butterworth top[3] = {{high, sampleRate, false}, {high, sampleRate, false}, {high, sampleRate, false}};
    std::vector<double> energy;
    double sum = 0.0;
    for (std::size_t i = 0; i < signal.size(); ++i) {
        double v = second.run(first.run(signal[i]));
        if (high > 0.0)
            for (Butterworth& f : top) v = f.run(v);
        sum += v * v;
        if ((i + 1) % frame == 0) {
            energy.push_back(sum / static_cast<double>(frame));
            sum = 0.0;
        }
    }
    return energy;
}

// Onset times in the frame energies `energy` (see highFrequencyOnsets).
std::vector<double> onsetsOf(const std::vector<double>& energy, double sampleRate) {
    constexpr double kRiseDb = 15.0;
    constexpr double kFloorDb = 50.0;
    constexpr double kSameEventSeconds = 0.010;
    const auto frame = static_cast<std::size_t>(std::max(1.0, std::round(0.001 * sampleRate)));
    std::vector<double> onsets;
    if (energy.empty()) return onsets;
    const double floor = *std::max_element(energy.begin(), energy.end()) * std::pow(10.0, -kFloorDb / 10.0);
    const double rise = std::pow(10.0, kRiseDb / 10.0);
    double last = -1.0;
    for (std::size_t f = kHistoryFrames; f < energy.size(); ++f) {
        if (energy[f] < floor || energy[f] <= 0.0) continue;
        double before = 0.0;
        for (std::size_t k = f - kHistoryFrames; k < f; ++k) before += energy[k];
        before /= kHistoryFrames;
        if (energy[f] < rise * before) continue;
        const double t = static_cast<double>(f * frame) / sampleRate;
        if (last >= 0.0 && t - last < kSameEventSeconds) continue;
        onsets.push_back(t);
        last = t;
    }
    return onsets;
}

// Onsets of `out` with none of `in` within +-`tolerance`.
std::size_t countUnmatched(const std::vector<double>& in, const std::vector<double>& out, double shift,
                           double tolerance) {
    std::size_t fresh = 0;
    for (double t : out) {
        const double at = t - shift;
        const auto near = std::lower_bound(in.begin(), in.end(), at - tolerance);
        if (near == in.end() || *near > at + tolerance) ++fresh;
    }
    return fresh;
}

}  // namespace

std::vector<double> highFrequencyOnsets(const std::vector<float>& signal, double sampleRate) {
    return onsetsOf(bandFrames(signal, sampleRate), sampleRate);
}

std::size_t countMovedBandOnsets(const std::vector<float>& input, double sampleRate, double ratio,
                                 double toleranceSeconds) {
    const double high = ratio > 1.0 ? 0.9 * sampleRate / (2.0 * ratio) : 0.0;
    return countUnmatched(highFrequencyOnsets(input, sampleRate),
                          onsetsOf(bandFrames(input, sampleRate, kCutoff / ratio, high), sampleRate), 0.0,
                          toleranceSeconds);
}

std::size_t countNewOnsets(const std::vector<float>& input, const std::vector<float>& output,
                           double sampleRate, std::size_t latencyFrames, double toleranceSeconds) {
    return countUnmatched(highFrequencyOnsets(input, sampleRate), highFrequencyOnsets(output, sampleRate),
                          static_cast<double>(latencyFrames) / sampleRate, toleranceSeconds);
}

std::size_t countMadeUpOnsets(const std::vector<float>& input, const std::vector<float>& output,
                              double sampleRate, std::size_t latencyFrames, double toleranceSeconds,
                              double weakRiseDb) {
    const std::vector<double> in = highFrequencyOnsets(input, sampleRate);
    const std::vector<double> out = highFrequencyOnsets(output, sampleRate);
    const std::vector<double> energy = bandFrames(input, sampleRate);
    const double shift = static_cast<double>(latencyFrames) / sampleRate;
    const double weak = std::pow(10.0, weakRiseDb / 10.0);
    // The input's strongest rise over the frames that start within the
    // tolerance of `at`.
    const double framesPerSecond = sampleRate / std::max(1.0, std::round(0.001 * sampleRate));
    auto rises = [&](double at) {
        const auto first = static_cast<long>(std::floor((at - toleranceSeconds) * framesPerSecond));
        const auto last = static_cast<long>(std::ceil((at + toleranceSeconds) * framesPerSecond));
        for (long f = std::max<long>(first, kHistoryFrames);
             f <= last && f < static_cast<long>(energy.size()); ++f) {
            double before = 0.0;
            for (long k = f - kHistoryFrames; k < f; ++k) before += energy[static_cast<std::size_t>(k)];
            before /= kHistoryFrames;
            if (energy[static_cast<std::size_t>(f)] > 0.0 &&
                energy[static_cast<std::size_t>(f)] >= weak * before)
                return true;
        }
        return false;
    };
    std::size_t madeUp = 0;
    for (double t : out) {
        const double at = t - shift;
        const auto near = std::lower_bound(in.begin(), in.end(), at - toleranceSeconds);
        if ((near == in.end() || *near > at + toleranceSeconds) && !rises(at)) ++madeUp;
    }
    return madeUp;
}

}  // namespace quality
