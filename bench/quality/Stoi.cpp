// Stoi.cpp - STOI as published (see Stoi.h), with FFTW for the spectra and
// libsamplerate for the change to 10 kHz.
#include "Stoi.h"

#include <fftw3.h>
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quality {
namespace {

constexpr double kRate = 10000.0;
constexpr int kFrame = 256;
constexpr int kHop = kFrame / 2;
constexpr int kFft = 512;
constexpr int kBins = kFft / 2 + 1;
constexpr int kBands = 15;
constexpr double kLowestCentre = 150.0;
constexpr int kSegment = 30;
constexpr double kBetaDb = -15.0;
constexpr double kDynamicRangeDb = 40.0;
constexpr double kEps = std::numeric_limits<double>::epsilon();
constexpr double kPi = 3.14159265358979323846;

// A Hann window of n points without its zero end points (the n interior
// points of an (n + 2)-point window), as the reference implementation uses.
std::vector<double> hann(int n) {
    std::vector<double> w(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) w[static_cast<std::size_t>(i)] = 0.5 - 0.5 * std::cos(2.0 * kPi * (i + 1) / (n + 1));
    return w;
}

// Drops the frames of both signals where the clean one is more than 40 dB
// below its loudest frame, and overlap-adds the remaining windowed frames.
void removeSilentFrames(std::vector<double>& x, std::vector<double>& y) {
    const std::vector<double> w = hann(kFrame);
    const std::size_t n = std::min(x.size(), y.size());
    std::vector<std::size_t> starts;
    std::vector<double> energy;
    for (std::size_t i = 0; i + kFrame <= n; i += kHop) {
        double sum = 0.0;
        for (int k = 0; k < kFrame; ++k) {
            const double v = w[static_cast<std::size_t>(k)] * x[i + static_cast<std::size_t>(k)];
            sum += v * v;
        }
        starts.push_back(i);
        energy.push_back(20.0 * std::log10(std::sqrt(sum) + kEps));
    }
    const double loudest = energy.empty() ? 0.0 : *std::max_element(energy.begin(), energy.end());
    std::vector<double> xs, ys;
    std::size_t kept = 0;
    for (std::size_t f = 0; f < starts.size(); ++f) {
        if (loudest - kDynamicRangeDb - energy[f] >= 0.0) continue;
        const std::size_t at = kept * kHop;
        xs.resize(at + kFrame, 0.0);
        ys.resize(at + kFrame, 0.0);
        for (int k = 0; k < kFrame; ++k) {
            const std::size_t s = starts[f] + static_cast<std::size_t>(k);
            xs[at + static_cast<std::size_t>(k)] += w[static_cast<std::size_t>(k)] * x[s];
            ys[at + static_cast<std::size_t>(k)] += w[static_cast<std::size_t>(k)] * y[s];
        }
        ++kept;
    }
    x.swap(xs);
    y.swap(ys);
}

// Band edges as FFT bin ranges [first, last) of the 15 one-third octave
// bands, each edge moved to its nearest bin.
struct Band {
    int first;
    int last;
};
std::vector<Band> thirdOctaveBands() {
    auto nearestBin = [](double f) {
        int best = 0;
        double bestDistance = std::numeric_limits<double>::max();
        for (int b = 0; b < kBins; ++b) {
            const double d = std::fabs(b * kRate / kFft - f);
            if (d < bestDistance) {
                bestDistance = d;
                best = b;
            }
        }
        return best;
    };
    std::vector<Band> bands;
    for (int k = 0; k < kBands; ++k) {
        const double low = kLowestCentre * std::pow(2.0, (2.0 * k - 1.0) / 6.0);
        const double high = kLowestCentre * std::pow(2.0, (2.0 * k + 1.0) / 6.0);
        bands.push_back({nearestBin(low), nearestBin(high)});
    }
    return bands;
}

// Band envelopes: [band][frame] magnitudes of each Hann frame.
std::vector<std::vector<double>> bandEnvelopes(const std::vector<double>& s, const std::vector<Band>& bands) {
    const std::vector<double> w = hann(kFrame);
    double* in = fftw_alloc_real(kFft);
    fftw_complex* out = fftw_alloc_complex(kBins);
    const fftw_plan plan = fftw_plan_dft_r2c_1d(kFft, in, out, FFTW_ESTIMATE);
    std::vector<std::vector<double>> env(static_cast<std::size_t>(kBands));
    // Frames start every hop while a whole frame and one more sample fit,
    // as in the reference implementation.
    for (std::size_t i = 0; i + kFrame < s.size(); i += kHop) {
        for (int k = 0; k < kFft; ++k)
            in[k] = k < kFrame ? w[static_cast<std::size_t>(k)] * s[i + static_cast<std::size_t>(k)] : 0.0;
        fftw_execute(plan);
        for (int b = 0; b < kBands; ++b) {
            double power = 0.0;
            for (int bin = bands[static_cast<std::size_t>(b)].first; bin < bands[static_cast<std::size_t>(b)].last; ++bin)
                power += out[bin][0] * out[bin][0] + out[bin][1] * out[bin][1];
            env[static_cast<std::size_t>(b)].push_back(std::sqrt(power));
        }
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    return env;
}

}  // namespace

std::vector<float> resample(const std::vector<float>& signal, double fromRate, double toRate) {
    if (signal.empty() || fromRate == toRate) return signal;
    const double ratio = toRate / fromRate;
    std::vector<float> out(static_cast<std::size_t>(std::ceil(static_cast<double>(signal.size()) * ratio)) + 16);
    SRC_DATA data{};
    data.data_in = signal.data();
    data.input_frames = static_cast<long>(signal.size());
    data.data_out = out.data();
    data.output_frames = static_cast<long>(out.size());
    data.src_ratio = ratio;
    const int error = src_simple(&data, SRC_SINC_MEDIUM_QUALITY, 1);
    if (error != 0) throw std::runtime_error(src_strerror(error));
    out.resize(static_cast<std::size_t>(data.output_frames_gen));
    return out;
}

double stoi(const std::vector<float>& clean, const std::vector<float>& processed, double sampleRate) {
    const std::size_t n = std::min(clean.size(), processed.size());
    const std::vector<float> x10 = resample(std::vector<float>(clean.begin(), clean.begin() + static_cast<long>(n)), sampleRate, kRate);
    const std::vector<float> y10 =
        resample(std::vector<float>(processed.begin(), processed.begin() + static_cast<long>(n)), sampleRate, kRate);
    std::vector<double> x(x10.begin(), x10.end()), y(y10.begin(), y10.end());
    removeSilentFrames(x, y);

    const std::vector<Band> bands = thirdOctaveBands();
    const auto X = bandEnvelopes(x, bands);
    const auto Y = bandEnvelopes(y, bands);
    const std::size_t frames = X[0].size();
    if (frames < static_cast<std::size_t>(kSegment)) return -1.0;

    const double clip = std::pow(10.0, -kBetaDb / 20.0);
    double total = 0.0;
    std::size_t count = 0;
    for (std::size_t end = kSegment; end <= frames; ++end) {
        const std::size_t begin = end - kSegment;
        for (int b = 0; b < kBands; ++b) {
            const std::vector<double>& xb = X[static_cast<std::size_t>(b)];
            const std::vector<double>& yb = Y[static_cast<std::size_t>(b)];
            double xNorm = 0.0, yNorm = 0.0;
            for (std::size_t m = begin; m < end; ++m) {
                xNorm += xb[m] * xb[m];
                yNorm += yb[m] * yb[m];
            }
            const double scale = std::sqrt(xNorm) / (std::sqrt(yNorm) + kEps);
            double xs[kSegment], ys[kSegment];
            double xMean = 0.0, yMean = 0.0;
            for (int m = 0; m < kSegment; ++m) {
                xs[m] = xb[begin + static_cast<std::size_t>(m)];
                ys[m] = std::min(yb[begin + static_cast<std::size_t>(m)] * scale, xs[m] * (1.0 + clip));
                xMean += xs[m];
                yMean += ys[m];
            }
            xMean /= kSegment;
            yMean /= kSegment;
            double xx = 0.0, yy = 0.0, xy = 0.0;
            for (int m = 0; m < kSegment; ++m) {
                xs[m] -= xMean;
                ys[m] -= yMean;
                xx += xs[m] * xs[m];
                yy += ys[m] * ys[m];
            }
            const double xl = std::sqrt(xx) + kEps, yl = std::sqrt(yy) + kEps;
            for (int m = 0; m < kSegment; ++m) xy += (xs[m] / xl) * (ys[m] / yl);
            total += xy;
            ++count;
        }
    }
    return total / static_cast<double>(count);
}

}  // namespace quality
