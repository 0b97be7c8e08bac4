// Elliptic.cpp - see Elliptic.h.
#include "dsp/Elliptic.h"

#include <algorithm>
#include <cmath>

namespace vcmd {
namespace {

using Complex = std::complex<double>;
constexpr int kLandenSteps = 8;  // the moduli fall below 1e-30 long before

// Descending Landen moduli of k.
void landen(double k, double* v) noexcept {
    for (int n = 0; n < kLandenSteps; ++n) {
        const double kp = std::sqrt(std::max(0.0, 1.0 - k * k));
        k = (k / (1.0 + kp)) * (k / (1.0 + kp));
        v[n] = k;
    }
}

// cd(u K, k) and sn(u K, k) for complex u, K the complete integral.
Complex cde(Complex u, double k) noexcept {
    double v[kLandenSteps];
    landen(k, v);
    Complex w = std::cos(u * (kPi / 2.0));
    for (int n = kLandenSteps - 1; n >= 0; --n) w = (1.0 + v[n]) * w / (1.0 + v[n] * w * w);
    return w;
}

Complex sne(Complex u, double k) noexcept {
    double v[kLandenSteps];
    landen(k, v);
    Complex w = std::sin(u * (kPi / 2.0));
    for (int n = kLandenSteps - 1; n >= 0; --n) w = (1.0 + v[n]) * w / (1.0 + v[n] * w * w);
    return w;
}

// Inverses: u with cd(u K, k) = w, and with sn(u K, k) = w.
Complex acde(Complex w, double k) noexcept {
    double v[kLandenSteps];
    landen(k, v);
    for (int n = 0; n < kLandenSteps; ++n) {
        const double previous = n == 0 ? k : v[n - 1];
        w = w / (1.0 + std::sqrt(1.0 - w * w * (previous * previous))) * (2.0 / (1.0 + v[n]));
    }
    return std::acos(w) * (2.0 / kPi);
}

Complex asne(Complex w, double k) noexcept { return 1.0 - acde(w, k); }

}  // namespace

EllipticPrototype::EllipticPrototype(int order, double passDb, double stopDb) noexcept
    : order_(std::min(kMaxOrder, std::max(1, order))) {
    const double ep = std::sqrt(std::pow(10.0, passDb / 10.0) - 1.0);
    const double es = std::sqrt(std::pow(10.0, stopDb / 10.0) - 1.0);
    const double k1 = ep / es;
    const int pairs = order_ / 2;

    // Degree equation: the selectivity this order reaches for k1.
    const double kc1 = std::sqrt(1.0 - k1 * k1);
    double kc = std::pow(kc1, order_);
    for (int i = 1; i <= pairs; ++i) kc *= std::pow(sne(Complex((2.0 * i - 1.0) / order_, 0.0), kc1).real(), 4.0);
    k_ = std::sqrt(1.0 - kc * kc);

    const Complex j(0.0, 1.0);
    const Complex v0 = -j * asne(j / ep, k1) / static_cast<double>(order_);
    for (int i = 1; i <= pairs; ++i) {
        const double u = (2.0 * i - 1.0) / order_;
        zeros_[i - 1] = 1.0 / (k_ * cde(Complex(u, 0.0), k_).real());
        const Complex p = j * cde(u - j * v0, k_);
        poles_[i - 1] = Complex(-std::fabs(p.real()), std::fabs(p.imag()));
    }
    if (order_ % 2 == 1) poles_[pairs] = Complex(-std::fabs((j * sne(j * v0, k_)).real()), 0.0);
}

void EllipticPrototype::sectionsFor(double edge, bool high, BiquadCoefficients* out) const noexcept {
    // Bilinear transform s = (1 - 1/z) / (1 + 1/z) of each analog section,
    // frequencies already prewarped (edge = tan(pi f / rate)).
    const int pairs = order_ / 2;
    for (int i = 0; i < sections(); ++i) {
        Complex p = poles_[i];
        double b0, b1, b2, a0, a1, a2;
        if (i < pairs) {
            // Low-pass: scale by the edge; high-pass: s -> edge / s.
            double w = zeros_[i] * edge;
            if (high) {
                p = edge / p;
                w = edge / zeros_[i];
            } else {
                p *= edge;
            }
            const double re = p.real(), m = std::norm(p);
            b0 = 1.0 + w * w; b1 = 2.0 * (w * w - 1.0); b2 = b0;
            a0 = 1.0 - 2.0 * re + m; a1 = 2.0 * (m - 1.0); a2 = 1.0 + 2.0 * re + m;
        } else {
            const double q = high ? edge / p.real() : p.real() * edge;  // negative
            b0 = high ? 1.0 : 1.0; b1 = high ? -1.0 : 1.0; b2 = 0.0;
            a0 = 1.0 - q; a1 = -1.0 - q; a2 = 0.0;
        }
        // Unit gain at DC (low-pass) or at half the rate (high-pass).
        const double sign = high ? -1.0 : 1.0;
        const double g = (a0 + sign * a1 + a2) / (b0 + sign * b1 + b2);
        BiquadCoefficients& c = out[i];
        c.b0 = static_cast<float>(g * b0 / a0);
        c.b1 = static_cast<float>(g * b1 / a0);
        c.b2 = static_cast<float>(g * b2 / a0);
        c.a1 = static_cast<float>(a1 / a0);
        c.a2 = static_cast<float>(a2 / a0);
    }
}

void EllipticPrototype::lowpass(double rate, double passHz, BiquadCoefficients* out) const noexcept {
    sectionsFor(std::tan(kPi * passHz / rate), false, out);
}

void EllipticPrototype::highpass(double rate, double passHz, BiquadCoefficients* out) const noexcept {
    sectionsFor(std::tan(kPi * passHz / rate), true, out);
}

}  // namespace vcmd
