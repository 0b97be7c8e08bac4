#include "ReferenceSignals.h"

#include <cmath>

namespace quality {

std::vector<float> whiteNoise(std::size_t n, double rms, std::uint32_t seed) {
    std::vector<float> s(n);
    std::uint32_t x = seed;
    for (auto& v : s) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<float>(rms * std::sqrt(3.0) * (static_cast<double>(x >> 8) / 8388608.0 - 1.0));
    }
    return s;
}

double rmsOf(const std::vector<float>& s) {
    if (s.empty()) return 0.0;
    double sum = 0.0;
    for (float v : s) sum += static_cast<double>(v) * v;
    return std::sqrt(sum / static_cast<double>(s.size()));
}

}  // namespace quality
