// FrequencyAnalysis.cpp - see FrequencyAnalysis.h. The transforms are FFTW's.
#include "FrequencyAnalysis.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;

// |DFT|^2 of `in` (already windowed), bins 0..n/2.
std::vector<double> squaredMagnitudes(std::vector<double>& in) {
    const int n = static_cast<int>(in.size());
    std::vector<fftw_complex> out(static_cast<std::size_t>(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    if (plan == nullptr) throw std::runtime_error("fftw_plan_dft_r2c_1d failed");
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    std::vector<double> m(out.size());
    for (std::size_t k = 0; k < out.size(); ++k) m[k] = out[k][0] * out[k][0] + out[k][1] * out[k][1];
    return m;
}

}  // namespace

AmplitudeSpectrum::AmplitudeSpectrum(const std::vector<float>& signal, std::size_t begin, std::size_t size,
                                     double rate)
    : binHz_(rate / static_cast<double>(size)) {
    if (begin + size > signal.size()) throw std::runtime_error("spectrum stretch beyond the signal");
    std::vector<double> in(size);
    double gain = 0.0;
    for (std::size_t i = 0; i < size; ++i) {
        const double t = 2.0 * kPi * static_cast<double>(i) / static_cast<double>(size);
        const double w = 0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
        in[i] = w * signal[begin + i];
        gain += w;
    }
    const std::vector<double> m = squaredMagnitudes(in);
    amplitude_.resize(m.size());
    for (std::size_t k = 0; k < m.size(); ++k) amplitude_[k] = 2.0 * std::sqrt(m[k]) / gain;
}

double AmplitudeSpectrum::peakNear(double frequency, double halfWidth) const {
    const auto lo = static_cast<std::ptrdiff_t>(std::floor((frequency - halfWidth) / binHz_));
    const auto hi = static_cast<std::ptrdiff_t>(std::ceil((frequency + halfWidth) / binHz_));
    double best = 0.0;
    for (std::ptrdiff_t k = std::max<std::ptrdiff_t>(0, lo);
         k <= std::min<std::ptrdiff_t>(hi, static_cast<std::ptrdiff_t>(amplitude_.size()) - 1); ++k)
        best = std::max(best, amplitude_[static_cast<std::size_t>(k)]);
    return best;
}

PowerSpectrum::PowerSpectrum(const std::vector<float>& signal, double rate, std::size_t size)
    : power_(size / 2 + 1, 0.0), binHz_(rate / static_cast<double>(size)) {
    std::vector<double> window(size);
    for (std::size_t i = 0; i < size; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(size));
    std::vector<double> in(size);
    for (std::size_t b = 0; b + size <= signal.size(); b += size / 2) {
        for (std::size_t i = 0; i < size; ++i) in[i] = window[i] * signal[b + i];
        const std::vector<double> m = squaredMagnitudes(in);
        for (std::size_t k = 0; k < m.size(); ++k) power_[k] += m[k];
    }
}

double PowerSpectrum::band(double low, double high) const {
    double sum = 0.0;
    for (std::size_t k = 0; k < power_.size(); ++k) {
        const double f = static_cast<double>(k) * binHz_;
        if (f >= low && f < high) sum += power_[k];
    }
    return sum;
}

}  // namespace quality
