// VoiceBands.h - the bands the band-limited voices promise in their
// descriptions, and the measure of how far down a voice is outside them.
#pragma once

#include <vector>

namespace quality {

// A voice passes [passLow, passHigh] Hz and is at least `down` dB lower
// below stopLow and above stopHigh (as its description says).
struct Band {
    const char* voice;
    double passLow, passHigh, stopLow, stopHigh, down;
};
inline constexpr Band kVoiceBands[] = {
    {"Telephone", 300, 3400, 200, 4500, 40},
    {"Walkie-Talkie", 500, 2600, 350, 3500, 40},
    {"Old Radio", 250, 2800, 180, 3800, 40},
    {"Megaphone", 600, 4000, 450, 5500, 40},
};

struct BandRejection {
    double below = 0.0;  // dB: gain below stopLow against the pass band's
    double above = 0.0;  // dB: gain above stopHigh against the pass band's
};

// The voice's gain (long-term output power over input power) in each stop
// region against its gain in the pass band. `output` may be longer than
// `input` (a tail); the input counts as silent there.
BandRejection measureBand(const Band& band, const std::vector<float>& input, const std::vector<float>& output,
                          double rate);

}  // namespace quality
