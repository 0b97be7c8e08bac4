// Formants.cpp - see Formants.h.
#include "Formants.h"

#include <algorithm>
#include <cmath>
#include <complex>

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kAnalysisRate = 12000.0;
constexpr int kOrder = 14;

// Low-passed below 5.5 kHz and taken to about 12 kHz (every d-th sample).
std::vector<double> decimate(const std::vector<float>& s, std::size_t begin, std::size_t end, double rate,
                             double& outRate) {
    const int d = std::max(1, static_cast<int>(std::lround(rate / kAnalysisRate)));
    outRate = rate / d;
    const int half = 64;
    std::vector<double> h(2 * half + 1);
    const double fc = std::min(5500.0, 0.45 * outRate) / rate;
    double sum = 0.0;
    for (int i = -half; i <= half; ++i) {
        const double sinc = i == 0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * i) / (kPi * i);
        const double w = 0.42 + 0.5 * std::cos(kPi * i / half) + 0.08 * std::cos(2.0 * kPi * i / half);
        h[static_cast<std::size_t>(i + half)] = sinc * w;
        sum += sinc * w;
    }
    std::vector<double> out;
    for (std::size_t n = begin; n < end; n += static_cast<std::size_t>(d)) {
        double acc = 0.0;
        for (int i = -half; i <= half; ++i) {
            const long long k = static_cast<long long>(n) - i;
            if (k >= 0 && k < static_cast<long long>(s.size())) acc += h[static_cast<std::size_t>(i + half)] * s[static_cast<std::size_t>(k)];
        }
        out.push_back(acc / sum);
    }
    return out;
}

void addAutocorrelation(const std::vector<double>& x, std::size_t begin, std::size_t length, double* r) {
    std::vector<double> f(length);
    double previous = begin > 0 ? x[begin - 1] : 0.0;
    for (std::size_t i = 0; i < length; ++i) {
        const double w = 0.54 - 0.46 * std::cos(2.0 * kPi * i / (length - 1));
        f[i] = (x[begin + i] - 0.97 * previous) * w;
        previous = x[begin + i];
    }
    for (int lag = 0; lag <= kOrder; ++lag)
        for (std::size_t i = static_cast<std::size_t>(lag); i < length; ++i) r[lag] += f[i] * f[i - static_cast<std::size_t>(lag)];
}

// Direct-form coefficients a[0..kOrder] (a[0] = 1); false when silent.
bool levinson(const double* r, double* a) {
    if (!(r[0] > 0.0)) return false;
    double e = r[0] * (1.0 + 1e-9);
    a[0] = 1.0;
    for (int i = 1; i <= kOrder; ++i) a[i] = 0.0;
    for (int m = 1; m <= kOrder; ++m) {
        double acc = r[m];
        for (int j = 1; j < m; ++j) acc += a[j] * r[m - j];
        const double k = -acc / e;
        double t[kOrder + 1];
        for (int j = 1; j < m; ++j) t[j] = a[j] + k * a[m - j];
        for (int j = 1; j < m; ++j) a[j] = t[j];
        a[m] = k;
        e *= 1.0 - k * k;
    }
    return true;
}

double envelopeDb(const double* a, double hz, double rate) {
    std::complex<double> sum = 0.0;
    for (int j = 0; j <= kOrder; ++j) sum += a[j] * std::polar(1.0, -2.0 * kPi * hz * j / rate);
    return -20.0 * std::log10(std::abs(sum) + 1e-30);
}

}  // namespace

std::vector<float> syntheticVowel(double rate, double seconds, double f0, const std::vector<double>& formants) {
    const std::size_t n = static_cast<std::size_t>(seconds * rate);
    std::vector<double> x(n);
    // Rosenberg pulse: opens over 40 % of the period, closes over 16 %.
    double phase = 0.0, last = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double g = 0.0;
        if (phase < 0.4) g = 0.5 * (1.0 - std::cos(kPi * phase / 0.4));
        else if (phase < 0.56) g = std::cos(0.5 * kPi * (phase - 0.4) / 0.16);
        x[i] = g - last;  // lip radiation: a first difference
        last = g;
        phase += f0 / rate;
        if (phase >= 1.0) phase -= 1.0;
    }
    for (std::size_t k = 0; k < formants.size(); ++k) {
        const double bw = 80.0 + (k == 0 ? 0.0 : k == 1 ? 10.0 : 40.0 + 30.0 * (k - 2.0));
        const double r = std::exp(-kPi * bw / rate);
        const double a1 = -2.0 * r * std::cos(2.0 * kPi * formants[k] / rate), a2 = r * r;
        const double gain = 1.0 + a1 + a2;
        double y1 = 0.0, y2 = 0.0;
        for (double& v : x) {
            const double y = gain * v - a1 * y1 - a2 * y2;
            y2 = y1;
            y1 = y;
            v = y;
        }
    }
    double peak = 1e-30;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<float>(0.5 * x[i] / peak);
    return out;
}

std::vector<double> lpcFormants(const std::vector<float>& signal, std::size_t begin, std::size_t end, double rate,
                                std::size_t count) {
    double low = 0.0;
    const std::vector<double> x = decimate(signal, begin, std::min(end, signal.size()), rate, low);
    const std::size_t frame = static_cast<std::size_t>(0.030 * low), hop = static_cast<std::size_t>(0.010 * low);
    double r[kOrder + 1] = {};
    for (std::size_t at = 1; at + frame <= x.size(); at += hop) addAutocorrelation(x, at, frame, r);
    double a[kOrder + 1];
    std::vector<double> peaks;
    if (!levinson(r, a)) return peaks;
    double before = envelopeDb(a, 89.0, low), here = envelopeDb(a, 90.0, low);
    for (double hz = 91.0; hz <= 5500.0 && peaks.size() < count; hz += 1.0) {
        const double next = envelopeDb(a, hz, low);
        if (here > before && here >= next) {
            // Parabolic refinement between the 1 Hz steps.
            const double c = before - 2.0 * here + next;
            peaks.push_back(hz - 1.0 + (c < 0.0 ? 0.5 * (before - next) / c : 0.0));
        }
        before = here;
        here = next;
    }
    return peaks;
}

std::vector<double> lpcEnvelopeDb(const std::vector<float>& signal, std::size_t begin, std::size_t length,
                                  double rate, std::size_t bins) {
    std::vector<double> env;
    if (begin + length > signal.size() || bins < 2) return env;
    double power = 0.0;
    for (std::size_t i = begin; i < begin + length; ++i) power += static_cast<double>(signal[i]) * signal[i];
    if (power / static_cast<double>(length) < 1e-6) return env;
    double low = 0.0;
    const std::vector<double> x = decimate(signal, begin, begin + length, rate, low);
    double r[kOrder + 1] = {};
    addAutocorrelation(x, 1, x.size() - 1, r);
    double a[kOrder + 1];
    if (!levinson(r, a)) return env;
    double mean = 0.0;
    for (std::size_t b = 0; b < bins; ++b) {
        env.push_back(envelopeDb(a, 100.0 + 4900.0 * static_cast<double>(b) / static_cast<double>(bins - 1), low));
        mean += env.back();
    }
    mean /= static_cast<double>(bins);
    for (double& v : env) v -= mean;
    return env;
}

}  // namespace quality
