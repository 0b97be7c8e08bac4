// Periodicity.h - how periodic a shifter's output stays where its input is
// voiced: harmonics-to-noise ratio, the share of voiced frames that keep
// their (shifted) period and the F0 error on them.
//
// Frames are the pitch tracker's (PitchTrack.h: YIN, 10 ms apart, 40 ms
// windows). A frame counts when the input is voiced there (F0 f_in); the
// output is expected to repeat at f_in times the pitch ratio p.
//
// HNR after Boersma (1993), "Accurate short-term analysis of the
// fundamental frequency and the harmonics-to-noise ratio of a sampled
// sound": around the tracker window's centre, a Hann window of 3 expected
// output periods, at least 40 ms, over the output with its mean removed;
// the normalised autocorrelation of the windowed stretch divided by the
// window's own normalised autocorrelation estimates the signal's, r(τ). Its
// largest value for lags within ±1.5 semitones of the expected period
// 1/(f_in·p) is refined between the integer lags by windowed-sinc
// interpolation (both autocorrelations, ±48 lags) and a golden-section
// search; r is held to [1e-6, 1 − 1e-6] and HNR = 10·log10(r / (1 − r)),
// so from -60 to +60 dB. ±1.5 semitones holds the F0's drift across the
// window and a shifter's F0 error, and stays far from the lags at twice or
// half the period.
//
// Voiced share: the input's voiced frames in which the tracker finds an F0
// in the output within ±1 semitone of f_in·p. Octave and fifth errors of
// the tracker (1200 and 702 cents) and an unvoiced output frame do not
// count; on speech, 9 in 10 of the frames kept lie within 50 cents for
// every shifter compared, so the semitone leaves room.
//
// F0 error: |cents(f_out / (f_in·p))| over the frames kept that way, its
// median and 90th percentile (nearest rank); a frame further out than a
// semitone counts against the voiced share instead.
#pragma once

#include <cstddef>
#include <vector>

namespace quality {

struct PeriodicityResult {
    int inputVoicedFrames = 0;   // frames voiced in the input
    int keptFrames = 0;          // of those, frames whose output has the expected F0
    double hnrMedianDb = 0.0;    // median HNR of the output over the input's voiced frames
    double voicedShare = 0.0;    // keptFrames / inputVoicedFrames (0..1)
    double f0MedianCents = 0.0;  // |F0 error| over the kept frames
    double f0P90Cents = 0.0;
};

// `output` lines up with `input` (same timing, as Shifters.h's shift()
// returns it); `pitchRatio` is the frequency ratio the shifter applied.
// `input` as its own output with ratio 1 gives the input's own HNR.
PeriodicityResult measurePeriodicity(const std::vector<float>& input, const std::vector<float>& output, double rate,
                                     double pitchRatio);

// The same with the input's track (trackPitch(input, rate)) worked out once
// for many outputs of it.
PeriodicityResult measurePeriodicity(const std::vector<double>& inputF0, const std::vector<float>& output, double rate,
                                     double pitchRatio);

// HNR in dB of one stretch of `signal` as above: window centred on sample
// `centre`, period searched within ±1.5 semitones of `expectedPeriod`
// samples.
double harmonicsToNoiseDb(const std::vector<float>& signal, std::size_t centre, double rate, double expectedPeriod);

}  // namespace quality
