// VoiceBands.cpp - see VoiceBands.h.
#include "VoiceBands.h"

#include <algorithm>
#include <cmath>

#include "FrequencyAnalysis.h"

namespace quality {

BandRejection measureBand(const Band& band, const std::vector<float>& input, const std::vector<float>& output,
                          double rate) {
    std::vector<float> padded = input;
    padded.resize(std::max(input.size(), output.size()), 0.0f);
    const PowerSpectrum pin(padded, rate), pout(output, rate);
    auto gain = [&](double lo, double hi) { return pout.band(lo, hi) / std::max(pin.band(lo, hi), 1e-30); };
    const double pass = gain(band.passLow, band.passHigh);
    BandRejection r;
    r.below = 10.0 * std::log10(gain(20.0, band.stopLow) / pass);
    r.above = 10.0 * std::log10(gain(band.stopHigh, rate / 2) / pass);
    return r;
}

}  // namespace quality
