// Periodicity.cpp - see Periodicity.h. The autocorrelations go through
// FFTW (|DFT|^2 of the zero-padded stretch, transformed back).
#include "Periodicity.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>

#include "HarmonicFit.h"
#include "PitchTrack.h"

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSearchSemitones = 1.5;  // the period is searched this far either side of the expected one
constexpr double kKeptCents = 100.0;      // an output F0 this close to the expected one keeps the frame voiced
constexpr double kMinWindowSeconds = 0.040;
constexpr double kWindowPeriods = 3.0;
constexpr int kSincHalfWidth = 48;  // lags either side in the interpolation
constexpr double kMaxR = 1.0 - 1e-6, kMinR = 1e-6;

// Autocorrelations of windowed stretches, normalised to 1 at lag 0, with
// FFTW plans and the window's own autocorrelation kept per size.
class Autocorrelator {
public:
    double hnrDb(const std::vector<float>& signal, std::size_t centre, double expectedPeriod) {
        const auto n = static_cast<std::size_t>(
            std::lround(std::max(kMinWindowSeconds * rate_, kWindowPeriods * expectedPeriod)));
        const std::vector<double>& window = windowed(n);
        // The stretch with its mean removed (zeros beyond the signal's ends).
        const auto first = static_cast<std::ptrdiff_t>(centre) - static_cast<std::ptrdiff_t>(n / 2);
        std::vector<double> x(n, 0.0);
        double mean = 0.0;
        std::size_t inside = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::ptrdiff_t at = first + static_cast<std::ptrdiff_t>(i);
            if (at < 0 || at >= static_cast<std::ptrdiff_t>(signal.size())) continue;
            x[i] = signal[static_cast<std::size_t>(at)];
            mean += x[i];
            ++inside;
        }
        if (inside > 0) mean /= static_cast<double>(inside);
        for (std::size_t i = 0; i < n; ++i) x[i] = (x[i] - mean) * window[i];
        const std::vector<double> ra = autocorrelation(x);
        if (!(ra[0] > 0.0)) return toDb(kMinR);
        const std::vector<double>& rw = windowAutocorrelation(n);

        const double lowest = std::max(2.0, expectedPeriod * std::exp2(-kSearchSemitones / 12.0));
        const double highest = std::min(0.5 * static_cast<double>(n), expectedPeriod * std::exp2(kSearchSemitones / 12.0));
        const auto ratio = [&](double lag) { return interpolate(ra, lag) / interpolate(rw, lag); };
        auto best = static_cast<std::size_t>(std::ceil(lowest));
        for (auto lag = best + 1; static_cast<double>(lag) <= highest; ++lag)
            if (ra[lag] / rw[lag] > ra[best] / rw[best]) best = lag;
        // Golden-section search for the largest interpolated value next to
        // the best integer lag, within the search range.
        double a = std::max(lowest, static_cast<double>(best) - 1.0);
        double b = std::min(highest, static_cast<double>(best) + 1.0);
        double r = ra[best] / rw[best];
        if (b > a) {
            const double g = 0.5 * (std::sqrt(5.0) - 1.0);
            double c = b - g * (b - a), d = a + g * (b - a);
            double fc = ratio(c), fd = ratio(d);
            for (int i = 0; i < 40; ++i) {
                if (fc > fd) {
                    b = d;
                    d = c;
                    fd = fc;
                    c = b - g * (b - a);
                    fc = ratio(c);
                } else {
                    a = c;
                    c = d;
                    fc = fd;
                    d = a + g * (b - a);
                    fd = ratio(d);
                }
            }
            r = std::max(r, std::max(fc, fd));
        }
        return toDb(r);
    }

    explicit Autocorrelator(double rate) : rate_(rate) {}

private:
    struct Transform {
        std::vector<double> time;
        std::vector<fftw_complex> spectrum;
        fftw_plan forward = nullptr, backward = nullptr;
        explicit Transform(std::size_t size) : time(size), spectrum(size / 2 + 1) {
            const int m = static_cast<int>(size);
            forward = fftw_plan_dft_r2c_1d(m, time.data(), spectrum.data(), FFTW_ESTIMATE);
            backward = fftw_plan_dft_c2r_1d(m, spectrum.data(), time.data(), FFTW_ESTIMATE);
            if (forward == nullptr || backward == nullptr) throw std::runtime_error("FFTW planning failed");
        }
        ~Transform() {
            fftw_destroy_plan(forward);
            fftw_destroy_plan(backward);
        }
        Transform(const Transform&) = delete;
        Transform& operator=(const Transform&) = delete;
    };

    static double toDb(double r) {
        r = std::clamp(r, kMinR, kMaxR);
        return 10.0 * std::log10(r / (1.0 - r));
    }

    // Hann window of n points (none of them zero).
    const std::vector<double>& windowed(std::size_t n) {
        std::vector<double>& w = windows_[n];
        if (w.size() != n) {
            w.resize(n);
            for (std::size_t i = 0; i < n; ++i)
                w[i] = 0.5 - 0.5 * std::cos(2.0 * kPi * (static_cast<double>(i) + 0.5) / static_cast<double>(n));
        }
        return w;
    }

    const std::vector<double>& windowAutocorrelation(std::size_t n) {
        std::vector<double>& r = windowAutocorrelations_[n];
        if (r.empty()) r = autocorrelation(windowed(n));
        return r;
    }

    // Lags 0 .. size-1 of the zero-padded transform (size at least twice
    // the stretch, so that lags up to its length are linear, not circular),
    // normalised to 1 at lag 0.
    std::vector<double> autocorrelation(const std::vector<double>& x) {
        std::size_t size = 1;
        while (size < 2 * x.size()) size *= 2;
        std::unique_ptr<Transform>& t = transforms_[size];
        if (!t) t = std::make_unique<Transform>(size);
        std::fill(t->time.begin(), t->time.end(), 0.0);
        std::copy(x.begin(), x.end(), t->time.begin());
        fftw_execute(t->forward);
        for (fftw_complex& c : t->spectrum) {
            c[0] = c[0] * c[0] + c[1] * c[1];
            c[1] = 0.0;
        }
        fftw_execute(t->backward);
        std::vector<double> r(t->time.begin(), t->time.begin() + static_cast<std::ptrdiff_t>(x.size()));
        const double zero = r[0];
        if (zero > 0.0)
            for (double& v : r) v /= zero;
        return r;
    }

    // Band-limited value at a fractional lag: a Hann-windowed sinc over
    // the integer lags around it (the autocorrelation is even; lags past
    // the stretch are zero).
    static double interpolate(const std::vector<double>& r, double lag) {
        const double whole = std::floor(lag);
        if (lag == whole) return r[static_cast<std::size_t>(whole)];
        double sum = 0.0;
        for (int k = -kSincHalfWidth + 1; k <= kSincHalfWidth; ++k) {
            const double at = whole + k;
            const auto index = static_cast<std::size_t>(std::fabs(at));
            if (index >= r.size()) continue;
            const double u = lag - at;
            const double sinc = std::sin(kPi * u) / (kPi * u);
            sum += r[index] * sinc * (0.5 + 0.5 * std::cos(kPi * u / kSincHalfWidth));
        }
        return sum;
    }

    double rate_;
    std::map<std::size_t, std::vector<double>> windows_, windowAutocorrelations_;
    std::map<std::size_t, std::unique_ptr<Transform>> transforms_;
};

// Nearest rank: the value `tenths` tenths of the way up the sorted list.
double percentile(std::vector<double> v, std::size_t tenths) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, v.size() * tenths / 10)];
}

}  // namespace

PeriodicityResult measurePeriodicity(const std::vector<double>& inputF0, const std::vector<float>& output, double rate,
                                     double pitchRatio) {
    PeriodicityResult result;
    const std::vector<double> outputF0 = trackPitch(output, rate);
    Autocorrelator autocorrelator(rate);
    std::vector<double> hnr, errors;
    for (std::size_t f = 0; f < inputF0.size(); ++f) {
        if (!(inputF0[f] > 0.0)) continue;
        ++result.inputVoicedFrames;
        const double expected = inputF0[f] * pitchRatio;
        const PitchFrame frame = pitchFrame(f, rate);
        hnr.push_back(autocorrelator.hnrDb(output, frame.begin + frame.length / 2, rate / expected));
        if (f < outputF0.size() && outputF0[f] > 0.0) {
            const double error = std::fabs(cents(outputF0[f] / expected));
            if (error <= kKeptCents) {
                ++result.keptFrames;
                errors.push_back(error);
            }
        }
    }
    if (result.inputVoicedFrames > 0) {
        result.hnrMedianDb = percentile(hnr, 5);
        result.voicedShare = static_cast<double>(result.keptFrames) / result.inputVoicedFrames;
    }
    result.f0MedianCents = percentile(errors, 5);
    result.f0P90Cents = percentile(errors, 9);
    return result;
}

PeriodicityResult measurePeriodicity(const std::vector<float>& input, const std::vector<float>& output, double rate,
                                     double pitchRatio) {
    return measurePeriodicity(trackPitch(input, rate), output, rate, pitchRatio);
}

double harmonicsToNoiseDb(const std::vector<float>& signal, std::size_t centre, double rate, double expectedPeriod) {
    return Autocorrelator(rate).hnrDb(signal, centre, expectedPeriod);
}

}  // namespace quality
