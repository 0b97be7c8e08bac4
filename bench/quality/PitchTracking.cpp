// PitchTracking.cpp - see PitchTracking.h.
#include "PitchTracking.h"

#include <algorithm>
#include <cmath>

#include "pitch/PitchTracker.h"

namespace quality {
namespace {

bool nearBoundary(double t, const std::vector<double>& boundaries, double guard) {
    const auto it = std::lower_bound(boundaries.begin(), boundaries.end(), t - guard);
    return it != boundaries.end() && *it <= t + guard;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    const std::size_t mid = v.size() / 2;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
    const double upper = v[mid];
    if (v.size() % 2) return upper;
    return 0.5 * (upper + *std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)));
}

double percent(std::size_t part, std::size_t whole) {
    return whole ? 100.0 * static_cast<double>(part) / static_cast<double>(whole) : 0.0;
}

// Index of the value of the sorted `v` nearest to `t` (v not empty).
std::size_t nearest(const std::vector<double>& v, double t) {
    const auto it = std::lower_bound(v.begin(), v.end(), t);
    if (it == v.begin()) return 0;
    if (it == v.end()) return v.size() - 1;
    const std::size_t k = static_cast<std::size_t>(it - v.begin());
    return (v[k] - t < t - v[k - 1]) ? k : k - 1;
}

}  // namespace

TrackerRun runTracker(const std::vector<float>& mono, double rate, int block) {
    block = std::max(1, std::min(block, vcmd::PitchTracker::kMaxFrames));
    vcmd::PitchTracker tracker;
    tracker.configure(rate);
    TrackerRun run;
    run.hopSeconds = tracker.hopFrames() / rate;
    run.lookaheadMs = 1000.0 * tracker.lookaheadFrames() / rate;
    run.markDelayMs = 1000.0 * tracker.markDelayFrames() / rate;
    const std::int64_t n = static_cast<std::int64_t>(mono.size());
    const std::int64_t total =
        n + std::max(tracker.lookaheadFrames(), tracker.markDelayFrames()) + tracker.hopFrames() + block;
    std::vector<float> piece(static_cast<std::size_t>(block));
    for (std::int64_t at = 0; at < total; at += block) {
        const int frames = static_cast<int>(std::min<std::int64_t>(block, total - at));
        for (int i = 0; i < frames; ++i)
            piece[static_cast<std::size_t>(i)] = at + i < n ? mono[static_cast<std::size_t>(at + i)] : 0.0f;
        tracker.process(piece.data(), frames);
        const double newest = static_cast<double>(tracker.written());
        vcmd::PitchEstimate e;
        while (tracker.readEstimate(e)) {
            if (e.at >= n) continue;
            run.longestLookaheadMs = std::max(run.longestLookaheadMs, 1000.0 * (newest - static_cast<double>(e.at)) / rate);
            run.frames.times.push_back(static_cast<double>(e.at) / rate);
            run.frames.f0.push_back(e.f0 > 0.0f ? e.f0 : 0.0);
        }
        vcmd::PitchMark m;
        while (tracker.readMark(m)) {
            if (m.at >= static_cast<double>(n)) continue;
            const double waitMs = 1000.0 * (newest - m.at) / rate;
            run.longestMarkWaitMs = std::max(run.longestMarkWaitMs, waitMs);
            run.lateMarks += waitMs > run.markDelayMs + 1e-9;
            run.marks.push_back(m.at / rate);
        }
    }
    std::sort(run.marks.begin(), run.marks.end());
    return run;
}

FrameCounts& FrameCounts::operator+=(const FrameCounts& o) {
    frames += o.frames;
    referenceVoiced += o.referenceVoiced;
    gross += o.gross;
    octave += o.octave;
    voicing += o.voicing;
    within += o.within;
    fineCents.insert(fineCents.end(), o.fineCents.begin(), o.fineCents.end());
    return *this;
}
double FrameCounts::grossPercent() const { return percent(gross, referenceVoiced); }
double FrameCounts::octavePercent() const { return percent(octave, referenceVoiced); }
double FrameCounts::voicingPercent() const { return percent(voicing, frames); }
double FrameCounts::withinPercent() const { return percent(within, referenceVoiced); }
double FrameCounts::fineMedianCents() const { return median(fineCents); }

FrameCounts scoreFrames(const PitchFrames& tested, const std::function<double(double)>& reference,
                        const std::vector<double>& boundaries, double guard) {
    FrameCounts c;
    for (std::size_t k = 0; k < tested.times.size(); ++k) {
        const double t = tested.times[k];
        if (nearBoundary(t, boundaries, guard)) continue;
        const double ref = reference(t), f = tested.f0[k];
        ++c.frames;
        if ((ref > 0.0) != (f > 0.0)) ++c.voicing;
        if (!(ref > 0.0)) continue;
        ++c.referenceVoiced;
        if (!(f > 0.0)) continue;
        const double ratio = f / ref;
        if (std::fabs(ratio - 1.0) > 0.2) {
            ++c.gross;
            if (std::fabs(ratio / 2.0 - 1.0) <= 0.06 || std::fabs(ratio * 2.0 - 1.0) <= 0.06) ++c.octave;
        } else {
            ++c.within;
            c.fineCents.push_back(std::fabs(1200.0 * std::log2(ratio)));
        }
    }
    return c;
}

std::function<double(double)> nearestFrame(const PitchFrames& frames) {
    return [&frames](double t) {
        if (frames.times.empty()) return 0.0;
        const std::size_t k = nearest(frames.times, t);
        const double step = frames.times.size() > 1 ? frames.times[1] - frames.times[0] : 0.0;
        return std::fabs(frames.times[k] - t) <= 0.5 * step + 1e-9 ? frames.f0[k] : 0.0;
    };
}

std::vector<double> voicingBoundaries(const PitchFrames& frames) {
    std::vector<double> b;
    for (std::size_t k = 1; k < frames.f0.size(); ++k)
        if ((frames.f0[k] > 0.0) != (frames.f0[k - 1] > 0.0)) b.push_back(0.5 * (frames.times[k] + frames.times[k - 1]));
    return b;
}

std::function<double(double)> truthOf(const SyntheticVoice& voice) {
    return [&voice](double t) { return voice.f0At(t); };
}

std::vector<double> voicingBoundaries(const SyntheticVoice& voice) {
    std::vector<double> b;
    for (const auto& stretch : voice.voiced) {
        b.push_back(stretch.first);
        b.push_back(stretch.second);
    }
    return b;
}

MarkCounts& MarkCounts::operator+=(const MarkCounts& o) {
    pulses += o.pulses;
    marked += o.marked;
    extra += o.extra;
    sumSquares += o.sumSquares;
    return *this;
}
double MarkCounts::markedPercent() const { return percent(marked, pulses); }
double MarkCounts::spreadMs() const {
    return marked ? 1000.0 * std::sqrt(sumSquares / static_cast<double>(marked)) : 0.0;
}
double MarkCounts::extraPercent() const { return percent(extra, pulses); }

MarkCounts scoreMarks(const std::vector<double>& marks, const SyntheticVoice& voice, double guard) {
    MarkCounts c;
    const std::vector<double> boundaries = voicingBoundaries(voice);
    std::vector<double> pulses;
    for (double p : voice.pulses)
        if (!nearBoundary(p, boundaries, guard)) pulses.push_back(p);
    c.pulses = pulses.size();
    const auto periodAt = [&](double t) {
        const double f0 = voice.f0At(t);
        return f0 > 0.0 ? 1.0 / f0 : 0.0;
    };
    std::vector<double> offsets;
    if (!marks.empty()) {
        for (double p : pulses) {
            const double m = marks[nearest(marks, p)];
            if (std::fabs(m - p) < 0.5 * periodAt(p)) offsets.push_back(m - p);
        }
    }
    const double offset = median(offsets);
    std::vector<bool> taken(marks.size(), false);
    if (!marks.empty()) {
        for (double p : pulses) {
            const std::size_t k = nearest(marks, p + offset);
            const double deviation = marks[k] - p - offset;
            if (taken[k] || std::fabs(deviation) > std::min(0.001, 0.25 * periodAt(p))) continue;
            taken[k] = true;
            ++c.marked;
            c.sumSquares += deviation * deviation;
        }
    }
    for (std::size_t k = 0; k < marks.size(); ++k)
        if (!taken[k] && !nearBoundary(marks[k] - offset, boundaries, guard)) ++c.extra;
    return c;
}

}  // namespace quality
