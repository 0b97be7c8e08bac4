// FrequencyAnalysis.h - spectra of mono signals through FFTW: the amplitude
// spectrum of one windowed stretch (tones and their images) and the
// long-term power spectrum of a whole signal (bands of speech).
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// One stretch of `size` samples (a power of two) from `begin`, under a
// 4-term Blackman-Harris window (side lobes below -92 dB), scaled so that a
// sine of amplitude A shows a peak of A.
class AmplitudeSpectrum {
public:
    AmplitudeSpectrum(const std::vector<float>& signal, std::size_t begin, std::size_t size, double rate);
    // Largest amplitude within `halfWidth` Hz of `frequency`.
    double peakNear(double frequency, double halfWidth) const;

private:
    std::vector<double> amplitude_;
    double binHz_;
};

// Welch's average of Hann-windowed periodograms (`size` samples, half
// overlapping) over the whole signal: power per bin.
class PowerSpectrum {
public:
    PowerSpectrum(const std::vector<float>& signal, double rate, std::size_t size = 4096);
    // Sum of the bins whose centre lies in [low, high) Hz.
    double band(double low, double high) const;

private:
    std::vector<double> power_;
    double binHz_;
};

}  // namespace quality
