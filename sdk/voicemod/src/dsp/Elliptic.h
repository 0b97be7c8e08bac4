// Elliptic.h - elliptic (Cauer) filter design: the steepest transition
// between pass band and stop band for a given order, with equal ripple in
// both. Used where a voice needs a sharp band edge and by the pitch shifter
// to keep content it would push above half the sample rate from folding
// back.
//
// The analog prototype follows S. J. Orfanidis, "Lecture Notes on Elliptic
// Filter Design" (2006): Landen's transformations give the Jacobi elliptic
// functions, the degree equation gives the selectivity. Digital sections
// come from the bilinear transform, prewarped at the pass-band edge.
// Designing the prototype allocates nothing but is too slow for the audio
// thread; turning it into sections (lowpass()/highpass()) is cheap and
// allocation-free.
#pragma once

#include <complex>

#include "dsp/Dsp.h"

namespace vcmd {

class EllipticPrototype {
public:
    static constexpr int kMaxOrder = 12;
    static constexpr int kMaxSections = kMaxOrder / 2 + 1;

    // Order 1..kMaxOrder, pass-band ripple and stop-band attenuation in dB
    // (0 < passDb < stopDb).
    EllipticPrototype(int order, double passDb, double stopDb) noexcept;

    int order() const noexcept { return order_; }
    int sections() const noexcept { return (order_ + 1) / 2; }
    // Stop-band edge over pass-band edge (analog frequencies, > 1).
    double stopRatio() const noexcept { return 1.0 / k_; }

    // Second-order sections (first-order ones have b2 = a2 = 0), unit gain
    // at DC, of a low-pass whose pass band ends at `passHz`; the stop band
    // starts where tan(pi f / rate) = stopRatio() * tan(pi passHz / rate).
    // Writes sections() entries.
    void lowpass(double rate, double passHz, BiquadCoefficients* out) const noexcept;
    // The mirror image: unit gain at half the rate, pass band from `passHz`
    // up, stop band below tan(pi f / rate) = tan(pi passHz / rate) / stopRatio().
    void highpass(double rate, double passHz, BiquadCoefficients* out) const noexcept;

private:
    void sectionsFor(double edge, bool high, BiquadCoefficients* out) const noexcept;

    int order_;
    double k_ = 0.5;                          // selectivity: pass edge / stop edge
    std::complex<double> poles_[kMaxSections];  // one of each conjugate pair, then the real pole
    double zeros_[kMaxSections] = {};          // zero pairs at +-j zeros_[i]
};

}  // namespace vcmd
