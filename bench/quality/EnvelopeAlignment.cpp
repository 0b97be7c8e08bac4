// EnvelopeAlignment.cpp - see EnvelopeAlignment.h.
#include "EnvelopeAlignment.h"

#include <algorithm>
#include <cmath>

namespace quality {
namespace {

// Log energy of every `frame` samples, its mean removed; a floor 70 dB
// under full scale keeps silence from dominating.
std::vector<double> logEnvelope(const std::vector<float>& s, std::size_t frame) {
    std::vector<double> e;
    for (std::size_t i = 0; i + frame <= s.size(); i += frame) {
        double sum = 0.0;
        for (std::size_t j = 0; j < frame; ++j) sum += static_cast<double>(s[i + j]) * s[i + j];
        e.push_back(std::log10(sum / static_cast<double>(frame) + 1e-7));
    }
    double mean = 0.0;
    for (double v : e) mean += v;
    if (!e.empty()) mean /= static_cast<double>(e.size());
    for (double& v : e) v -= mean;
    return e;
}

}  // namespace

std::ptrdiff_t envelopeLag(const std::vector<float>& input, const std::vector<float>& output, double rate,
                           double maxSeconds) {
    const auto frame = std::max<std::size_t>(1, static_cast<std::size_t>(std::lround(0.0005 * rate)));
    const std::vector<double> a = logEnvelope(input, frame), b = logEnvelope(output, frame);
    const auto reach = static_cast<std::ptrdiff_t>(std::lround(maxSeconds * rate / static_cast<double>(frame)));
    const auto n = static_cast<std::ptrdiff_t>(std::min(a.size(), b.size()));
    std::ptrdiff_t best = 0;
    double bestSum = -1e300;
    for (std::ptrdiff_t lag = -reach; lag <= reach; ++lag) {
        double sum = 0.0;
        for (std::ptrdiff_t i = std::max<std::ptrdiff_t>(0, -lag); i < n && i + lag < n; ++i)
            sum += a[static_cast<std::size_t>(i)] * b[static_cast<std::size_t>(i + lag)];
        if (sum > bestSum) {
            bestSum = sum;
            best = lag;
        }
    }
    return best * static_cast<std::ptrdiff_t>(frame);
}

std::vector<float> advanced(const std::vector<float>& signal, std::ptrdiff_t lag) {
    std::vector<float> out(signal.size(), 0.0f);
    const auto n = static_cast<std::ptrdiff_t>(signal.size());
    for (std::ptrdiff_t i = 0; i < n; ++i)
        if (i + lag >= 0 && i + lag < n) out[static_cast<std::size_t>(i)] = signal[static_cast<std::size_t>(i + lag)];
    return out;
}

}  // namespace quality
