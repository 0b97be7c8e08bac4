// PitchTracking.h - the engine's pitch tracker run over a signal as in real
// time, and its output held against a reference: the truth of a synthetic
// voice or another tracker's frames.
//
// Frames are scored at the tested tracker's own times. A frame is voiced
// when its F0 is above 0. Over the frames left after the guard (those
// within `guard` seconds of a change of the reference's voicing are left
// out: where voicing starts is a matter of a few ms, not of pitch):
//   gross error    frames the reference calls voiced that the tested
//                  tracker calls voiced with an F0 more than 20 % off,
//                  over the reference's voiced frames;
//   octave errors  those of them whose ratio tested / reference lies within
//                  6 % (about a semitone) of 2 or of 1/2, over the same;
//   voicing error  frames whose voiced / unvoiced decision differs, over
//                  all frames;
//   fine error     the median of |1200 log2(tested / reference)| over the
//                  frames voiced in both and within 20 %.
// Marks against a synthetic voice's glottal closures (pulses more than the
// guard from a voicing change): the median offset mark - pulse is found
// first (from each pulse's nearest mark within half a period); a pulse is
// marked when a mark not taken by another pulse lies within min(1 ms,
// a quarter period) of the pulse plus that offset; the spread is the RMS
// of the marked pulses' offsets about the median; extra marks are the
// marks left over (outside the guard), against the pulses.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "SyntheticVoices.h"

namespace quality {

struct PitchFrames {
    std::vector<double> times;  // seconds, rising
    std::vector<double> f0;     // Hz; 0 where unvoiced
};

struct TrackerRun {
    PitchFrames frames;          // one per estimate, at the estimate's own time
    std::vector<double> marks;   // seconds
    double hopSeconds = 0.0;
    double lookaheadMs = 0.0;    // what the tracker states
    double markDelayMs = 0.0;
    double longestLookaheadMs = 0.0;  // seen: newest sample fed minus the estimate's time, when it is read
    double longestMarkWaitMs = 0.0;   // seen: newest sample fed minus the mark's time, when it is read
    std::size_t lateMarks = 0;        // marks read later after their time than markDelayMs
};

// Feeds `mono` through a vcmd::PitchTracker configured for `rate`, `block`
// samples at a time (at most 256), then silence until every estimate and
// mark of the signal is out; reads both queues after every call. Estimates
// and marks past the signal's end are dropped.
TrackerRun runTracker(const std::vector<float>& mono, double rate, int block = 256);

struct FrameCounts {
    std::size_t frames = 0, referenceVoiced = 0;
    std::size_t gross = 0, octave = 0, voicing = 0, within = 0;  // within 20 %, both voiced
    std::vector<double> fineCents;
    FrameCounts& operator+=(const FrameCounts& other);
    double grossPercent() const;
    double octavePercent() const;
    double voicingPercent() const;
    double withinPercent() const;  // frames within 20 % over the reference's voiced frames
    double fineMedianCents() const;
};

// `reference(t)` gives the reference's F0 at t seconds (0: unvoiced);
// `boundaries` its changes of voicing, in seconds.
FrameCounts scoreFrames(const PitchFrames& tested, const std::function<double(double)>& reference,
                        const std::vector<double>& boundaries, double guard);

// Another tracker's frames as a reference: the F0 of the nearest frame
// (unvoiced beyond half a step from every frame), and its voicing changes
// midway between frames. The function reads `frames`, which must outlive it.
std::function<double(double)> nearestFrame(const PitchFrames& frames);
std::vector<double> voicingBoundaries(const PitchFrames& frames);
// The truth of a synthetic voice as a reference (it reads `voice`).
std::function<double(double)> truthOf(const SyntheticVoice& voice);
std::vector<double> voicingBoundaries(const SyntheticVoice& voice);

struct MarkCounts {
    std::size_t pulses = 0, marked = 0, extra = 0;
    double sumSquares = 0.0;  // s², deviations of the marked pulses about their voice's median
    MarkCounts& operator+=(const MarkCounts& other);
    double markedPercent() const;
    double spreadMs() const;
    double extraPercent() const;
};

MarkCounts scoreMarks(const std::vector<double>& marks, const SyntheticVoice& voice, double guard);

}  // namespace quality
