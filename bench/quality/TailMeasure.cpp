// TailMeasure.cpp - the ringing share and the reverberation time of an
// impulse response (see TailMeasure.h); FFTW for the spectrum.
#include "TailMeasure.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <functional>

namespace quality {
namespace {

struct Biquad {
    double b0, b1, b2, a1, a2, z1 = 0.0, z2 = 0.0;
    static Biquad butterworth(double cutoff, double rate, bool highPass) {
        constexpr double kPi = 3.14159265358979323846;
        const double w = 2.0 * kPi * cutoff / rate, c = std::cos(w);
        const double alpha = std::sin(w) / (2.0 * std::sqrt(0.5)), a0 = 1.0 + alpha;
        const double b = highPass ? (1.0 + c) / 2.0 : (1.0 - c) / 2.0;
        return {b / a0, (highPass ? -2.0 : 2.0) * b / a0, b / a0, -2.0 * c / a0, (1.0 - alpha) / a0};
    }
    double run(double x) {
        const double y = b0 * x + z1;
        z1 = b1 * x - a1 * y + z2;
        z2 = b2 * x - a2 * y;
        return y;
    }
};

}  // namespace

double tailTopPercentShare(const std::vector<float>& ir, double sampleRate, double startSeconds) {
    const auto length = static_cast<std::size_t>(std::lround(sampleRate));  // 1 s: 1 Hz bins
    const auto start = static_cast<std::size_t>(std::lround(startSeconds * sampleRate));
    if (ir.size() < start + length) return -1.0;
    const std::size_t bins = length / 2 + 1;
    double* in = fftw_alloc_real(length);
    fftw_complex* out = fftw_alloc_complex(bins);
    const fftw_plan plan = fftw_plan_dft_r2c_1d(static_cast<int>(length), in, out, FFTW_ESTIMATE);
    constexpr double kPi = 3.14159265358979323846;
    for (std::size_t i = 0; i < length; ++i)
        in[i] = ir[start + i] * (0.5 - 0.5 * std::cos(2.0 * kPi * static_cast<double>(i) / static_cast<double>(length)));
    fftw_execute(plan);
    const double binHz = sampleRate / static_cast<double>(length);
    std::vector<double> power;
    for (std::size_t b = 0; b < bins; ++b) {
        const double f = static_cast<double>(b) * binHz;
        if (f < 100.0 || f > 5000.0) continue;
        power.push_back(out[b][0] * out[b][0] + out[b][1] * out[b][1]);
    }
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(out);
    double total = 0.0;
    for (double p : power) total += p;
    if (total <= 0.0) return 0.0;
    const std::size_t top = std::max<std::size_t>(1, power.size() / 100);
    std::partial_sort(power.begin(), power.begin() + static_cast<long>(top), power.end(), std::greater<double>());
    double strongest = 0.0;
    for (std::size_t i = 0; i < top; ++i) strongest += power[i];
    return strongest / total;
}

double reverberationSeconds(const std::vector<float>& ir, double sampleRate, double startSeconds) {
    const auto start = static_cast<std::size_t>(std::lround(startSeconds * sampleRate));
    if (ir.size() <= start + 2) return -1.0;
    // The mid frequencies only (500 Hz to 2 kHz): second-order
    // Butterworth high- and low-pass, run forwards from the impulse.
    std::vector<double> band(ir.size());
    Biquad highPass = Biquad::butterworth(500.0, sampleRate, true);
    Biquad lowPass = Biquad::butterworth(2000.0, sampleRate, false);
    for (std::size_t i = 0; i < ir.size(); ++i) band[i] = lowPass.run(highPass.run(ir[i]));
    std::vector<double> decay(ir.size() - start);
    double sum = 0.0;
    for (std::size_t i = ir.size(); i-- > start;) {
        sum += band[i] * band[i];
        decay[i - start] = sum;
    }
    if (sum <= 0.0) return -1.0;
    // Least-squares line through the decay in dB between -5 and -25 dB.
    double n = 0.0, st = 0.0, sd = 0.0, stt = 0.0, std_ = 0.0;
    bool reached = false;
    for (std::size_t i = 0; i < decay.size(); ++i) {
        const double db = 10.0 * std::log10(decay[i] / sum + 1e-300);
        if (db > -5.0) continue;
        if (db < -25.0) {
            reached = true;
            break;
        }
        const double t = static_cast<double>(i) / sampleRate;
        n += 1.0;
        st += t;
        sd += db;
        stt += t * t;
        std_ += t * db;
    }
    if (!reached || n < 2.0) return -1.0;
    const double slope = (n * std_ - st * sd) / (n * stt - st * st);  // dB per second
    return slope < 0.0 ? -60.0 / slope : -1.0;
}

}  // namespace quality
