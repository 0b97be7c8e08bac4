// PitchTrack.h - fundamental frequency of speech frame by frame (YIN:
// cumulative mean normalised difference, on a copy taken down to about
// 12 kHz), for comparing a shifter's output pitch with its input's.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

// One value per 10 ms frame (40 ms window starting there): F0 in Hz between
// 50 and 800 Hz, or 0 where the frame is unvoiced (no dip of the normalised
// difference under 0.15) or more than 40 dB under the loudest frame.
std::vector<double> trackPitch(const std::vector<float>& signal, double rate);

// Where frame `frame` of trackPitch's output lies in the signal at `rate`:
// its first sample and its window's length, in samples at that rate.
struct PitchFrame {
    std::size_t begin = 0;
    std::size_t length = 0;
};
PitchFrame pitchFrame(std::size_t frame, double rate);

}  // namespace quality
