// Loudness.h - level figures of a mono signal: integrated loudness and true
// peak by EBU R128 / ITU-R BS.1770 (libebur128), sample peak and overs.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

struct Level {
    double loudness = 0.0;    // integrated, LUFS (-inf for silence)
    double truePeak = 0.0;    // dBTP
    double samplePeak = 0.0;  // dBFS
    std::size_t overs = 0;    // samples beyond full scale (|x| > 1)
};

Level measureLevel(const std::vector<float>& samples, double rate);

double toDb(double amplitude);

}  // namespace quality
