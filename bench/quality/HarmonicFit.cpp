// HarmonicFit.cpp - see HarmonicFit.h.
#include "HarmonicFit.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Explained {
    double model = 0.0;     // energy of the fitted model
    double residual = 0.0;  // energy left over
};

// Least-squares fit of DC and the harmonics of `f0`: normal equations
// solved by Cholesky.
Explained fit(const double* x, std::size_t n, double rate, double f0, int count) {
    const int harmonics = std::min(count, static_cast<int>(0.45 * rate / f0));
    const int m = 1 + 2 * harmonics;
    std::vector<double> basis(static_cast<std::size_t>(m) * n);
    for (std::size_t i = 0; i < n; ++i) basis[i] = 1.0;
    for (int h = 1; h <= harmonics; ++h) {
        double* c = basis.data() + static_cast<std::size_t>(2 * h - 1) * n;
        double* s = c + n;
        // A rotating phasor, set back onto the exact angle every 1024
        // samples so that rounding cannot build up.
        const double w = 2.0 * kPi * h * f0 / rate;
        const double cw = std::cos(w), sw = std::sin(w);
        double pc = 1.0, ps = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            if ((i & 1023) == 0) {
                pc = std::cos(w * static_cast<double>(i));
                ps = std::sin(w * static_cast<double>(i));
            }
            c[i] = pc;
            s[i] = ps;
            const double t = pc * cw - ps * sw;
            ps = pc * sw + ps * cw;
            pc = t;
        }
    }
    std::vector<double> g(static_cast<std::size_t>(m * m)), b(static_cast<std::size_t>(m));
    for (int r = 0; r < m; ++r) {
        const double* ar = basis.data() + static_cast<std::size_t>(r) * n;
        double sb = 0.0;
        for (std::size_t i = 0; i < n; ++i) sb += ar[i] * x[i];
        b[static_cast<std::size_t>(r)] = sb;
        for (int c = 0; c <= r; ++c) {
            const double* ac = basis.data() + static_cast<std::size_t>(c) * n;
            double s = 0.0;
            for (std::size_t i = 0; i < n; ++i) s += ar[i] * ac[i];
            g[static_cast<std::size_t>(r * m + c)] = s;
        }
    }
    // Cholesky: G = L L^T, in place in the lower triangle.
    for (int j = 0; j < m; ++j) {
        double d = g[static_cast<std::size_t>(j * m + j)];
        for (int k = 0; k < j; ++k) d -= g[static_cast<std::size_t>(j * m + k)] * g[static_cast<std::size_t>(j * m + k)];
        if (!(d > 0.0)) throw std::runtime_error("harmonic fit: singular basis");
        const double l = std::sqrt(d);
        g[static_cast<std::size_t>(j * m + j)] = l;
        for (int i = j + 1; i < m; ++i) {
            double s = g[static_cast<std::size_t>(i * m + j)];
            for (int k = 0; k < j; ++k) s -= g[static_cast<std::size_t>(i * m + k)] * g[static_cast<std::size_t>(j * m + k)];
            g[static_cast<std::size_t>(i * m + j)] = s / l;
        }
    }
    // Explained energy = b^T G^-1 b = |L^-1 b|^2.
    double model = 0.0;
    std::vector<double> y(static_cast<std::size_t>(m));
    for (int i = 0; i < m; ++i) {
        double s = b[static_cast<std::size_t>(i)];
        for (int k = 0; k < i; ++k) s -= g[static_cast<std::size_t>(i * m + k)] * y[static_cast<std::size_t>(k)];
        y[static_cast<std::size_t>(i)] = s / g[static_cast<std::size_t>(i * m + i)];
        model += y[static_cast<std::size_t>(i)] * y[static_cast<std::size_t>(i)];
    }
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) total += x[i] * x[i];
    return {model, std::max(total - model, 1e-300)};
}

}  // namespace

double cents(double ratio) { return 1200.0 * std::log2(ratio); }

HarmonicFit fitHarmonics(const std::vector<float>& signal, std::size_t begin, std::size_t size, double rate,
                         double expectedF0, int harmonics, double rangeCents) {
    if (begin + size > signal.size()) throw std::runtime_error("harmonic fit beyond the signal");
    const std::vector<double> x(signal.begin() + static_cast<std::ptrdiff_t>(begin),
                                signal.begin() + static_cast<std::ptrdiff_t>(begin + size));
    auto f0At = [&](double c) { return expectedF0 * std::exp2(c / 1200.0); };
    auto score = [&](double c) { return fit(x.data(), size, rate, f0At(c), harmonics).model; };
    double best = 0.0, bestScore = -1.0;
    for (double c = -rangeCents; c <= rangeCents; c += 1.0) {
        const double s = score(c);
        if (s > bestScore) {
            bestScore = s;
            best = c;
        }
    }
    // Golden-section search within one grid step either side.
    const double phi = 0.5 * (std::sqrt(5.0) - 1.0);
    double a = best - 1.0, b = best + 1.0;
    double c1 = b - phi * (b - a), c2 = a + phi * (b - a);
    double s1 = score(c1), s2 = score(c2);
    while (b - a > 1e-3) {
        if (s1 > s2) {
            b = c2; c2 = c1; s2 = s1;
            c1 = b - phi * (b - a); s1 = score(c1);
        } else {
            a = c1; c1 = c2; s1 = s2;
            c2 = a + phi * (b - a); s2 = score(c2);
        }
    }
    HarmonicFit result;
    result.f0 = f0At(0.5 * (a + b));
    const Explained e = fit(x.data(), size, rate, result.f0, harmonics);
    result.srrDb = 10.0 * std::log10(e.model / e.residual);
    return result;
}

}  // namespace quality
