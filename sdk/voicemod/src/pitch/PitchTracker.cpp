// PitchTracker.cpp - the causal pitch tracker: decimation, McLeod's
// normalised square difference, a forward dynamic programme over period
// candidates, and pitch marks by waveform matching.
//
// Decimation. A Kaiser-windowed sinc (40 dB, cut-off at 0.42 of the low
// rate) takes the input down by a whole factor to about 8 kHz; it is
// evaluated only at the samples kept. Its linear phase delays everything by
// half its length (0.5 ms at 48 kHz), counted in the lookahead. A one-pole
// DC blocker (about 25 Hz) follows.
//
// Periodicity. For the newest window x and lag t,
//   n(t) = sum x[j] x[j-t] / sqrt(sum x[j]^2 * sum x[j-t]^2),
// the normalised correlation of the window with the window one lag before
// (McLeod and Wyvill's normalised square difference, "A smarter way to find
// pitch", ICMC 2005, divides by the arithmetic mean of the two energies
// instead: a level rising through an onset then costs the true period more
// than its half, and a tracker entering a voice took its second harmonic).
// It is 1 for
// a stretch that repeats exactly after t, whatever the level of each period,
// so the alternating pulses of creak keep a high value at their own period
// (2ab / (a^2 + b^2) = 0.91 for pulses 35 % apart) where YIN's difference
// would favour twice the period. It is worked out for every lag on a coarse
// copy at half the low rate (4 kHz, low-passed to about 1.2 kHz so that even
// a high voice's peaks are broad enough to be found between lags), over a
// 18 ms window; then each candidate is measured again at the low rate over
// a 23 ms window, at three lags around it and, climbing, further where the
// peak lies beyond, and placed between lags by a parabola. Both windows end
// at the newest sample their filters have let through, and their middles
// lie 12 ms before the newest input sample: the moment an estimate
// describes.
//
// Candidates. Every peak of the coarse n above 0.2; kept are the three
// highest and then, shortest lag first, those within 75 % of the highest,
// six at most: the coarse peaks of a high voice can look lower than those
// of its multiples, and its own period is the shortest of them.
//
// Choice. A forward dynamic programme in the manner of Boersma's path
// finder (Praat's "To Pitch (ac)"), run causally: every candidate and an
// unvoiced state carry the best total score of a path ending in them.
//   voiced candidate:  n + kOctaveBonus * log2(strongest's lag / its lag)
//   unvoiced:          kVoicing, plus up to 2 as the hop's level falls under
//                      kSilence of the loudest hop of the last seconds
//   from a candidate:  - kOctaveJump * |log2 of the lag ratio|
//   voicing change:    - kVoicingChange
// The best total now is the estimate. The bonus, counted from this hop's
// strongest candidate, keeps a voice's own period ahead of its multiples
// (creak's 0.91 against 1) without weighing against the unvoiced state. A
// wrong octave has to beat the path it would leave by the jump's cost, so a
// hop or two of a stronger subharmonic or second harmonic does not take the
// track away, and a voicing change has to beat kVoicingChange: hysteresis.
//
// Marks. Every hop also fits a linear predictor to the pre-emphasised
// low-rate window (order 10, fewer for a high voice, whose few harmonics it
// would model instead of the formants); its inverse filter turns the
// low-rate stream into a residual in which a glottal closure is a spike. A
// chain of marks starts on a voiced hop (or one whose strongest candidate
// reaches kMarkPeriodicity) at the residual's largest spike in the last
// period, and ends on a hop that is neither. From each mark, the next is
// first looked for where the full-rate waveform around it (2 ms before, 1 ms
// after) best matches the waveform around the mark before, within 15 % of
// the period (at most 0.9 ms) of one period on; the mark is the residual's
// largest spike within 0.4 ms of that match, placed between low-rate
// samples by a parabola. It is final once the input its search needs has
// arrived: at most 2.8 ms after the excitation at 48 kHz. A match under
// kMarkMatch ends the chain, until the next hop finds the input periodic
// again; a mark found later than promised (the first of a stretch, or one
// whose period changed under its search) leads the chain unreported.
#include "pitch/PitchTracker.h"

#include <algorithm>
#include <cmath>

#include "dsp/Dsp.h"
#include "pitch/FormantKernels.h"
#include "pitch/ShifterMath.h"

namespace vcmd {


namespace {

constexpr double kLowRate = 8000.0;        // about where the analysis runs
constexpr double kLookaheadSeconds = 0.012;
constexpr double kHopSeconds = 0.005;
constexpr double kStopDb = 40.0;           // decimation filter
constexpr float kMinPeak = 0.2f;           // n of a candidate
constexpr int kStrongest = 3;              // candidates by height; the rest by lag
constexpr float kNearHighest = 0.75f;
constexpr double kOctaveBonus = 0.1;
constexpr double kOctaveJump = 1.0;
constexpr double kVoicingChange = 0.28;
constexpr double kVoicing = 0.45;
constexpr double kSilence = 0.03;
constexpr double kLoudestFallDbPerSecond = 6.0;
constexpr double kMarkBeforeSeconds = 0.002;
constexpr double kMarkAfterSeconds = 0.001;
constexpr double kMarkReachSeconds = 0.0009;
constexpr double kMarkRelockSeconds = 0.0004;
constexpr float kEmphasis = 0.97f;
constexpr float kOrderPerLag = 0.4f;
constexpr float kMarkPeriodicity = 0.85f;  // n that starts marks before the voicing

}  // namespace

void PitchTracker::configure(double sampleRate) {
    kernels_ = &bestFormantKernels();
    sampleRate_ = std::clamp(std::isfinite(sampleRate) ? sampleRate : 48000.0, 8000.0, 192000.0);
    factor_ = std::max(1, static_cast<int>(std::lround(sampleRate_ / kLowRate)));
    lowRate_ = sampleRate_ / factor_;

    kernel_.clear();
    firDelay_ = 0;
    if (factor_ > 1) {
        const double cutoff = 0.42 * lowRate_ / sampleRate_;     // cycles per full-rate sample
        const double transition = 0.3 * lowRate_ / sampleRate_;
        int taps = static_cast<int>(std::ceil((kStopDb - 8.0) / (2.285 * 2.0 * kPi * transition))) + 1;
        taps |= 1;
        const double beta = 0.1102 * (kStopDb - 8.7);
        const double middle = 0.5 * (taps - 1);
        // Zeros ahead of the oldest tap make the length a multiple of four,
        // which the dot product runs through fastest.
        const int padding = (4 - taps % 4) % 4;
        kernel_.assign(static_cast<std::size_t>(taps + padding), 0.0f);
        double sum = 0.0;
        for (int k = 0; k < taps; ++k) {
            const double t = k - middle;
            const double sinc = t == 0.0 ? 2.0 * cutoff : std::sin(2.0 * kPi * cutoff * t) / (kPi * t);
            const double r = t / middle;
            const double w = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
            kernel_[static_cast<std::size_t>(padding + k)] = static_cast<float>(sinc * w);
            sum += sinc * w;
        }
        for (float& h : kernel_) h = static_cast<float>(h / sum);
        firDelay_ = static_cast<int>(middle);
    }

    // The coarse stream: every other low-rate sample through a low-pass
    // (-6 dB at 0.15 of the low rate, 40 dB down from 0.19), which leaves
    // smooth peaks of the difference function at half the low rate even for
    // the highest voices.
    {
        const int taps = 31;  // and one zero ahead, for a length of 32
        const double middle = 0.5 * (taps - 1), beta = 0.1102 * (40.0 - 8.7);
        halfBand_.assign(static_cast<std::size_t>(taps + 1), 0.0f);
        double sum = 0.0;
        for (int k = 0; k < taps; ++k) {
            const double t = k - middle, r = t / middle;
            const double sinc = t == 0.0 ? 0.3 : std::sin(0.3 * kPi * t) / (kPi * t);
            const double w = besselI0(beta * std::sqrt(std::max(0.0, 1.0 - r * r))) / besselI0(beta);
            halfBand_[static_cast<std::size_t>(k + 1)] = static_cast<float>(sinc * w);
            sum += sinc * w;
        }
        for (float& h : halfBand_) h = static_cast<float>(h / sum);
    }
    const int halfBandDelay = static_cast<int>(halfBand_.size() / 2) - 1;
    coarseRate_ = lowRate_ / 2.0;

    // Windows: the middle of each lies the lookahead before the newest
    // sample, counting the filters' delays.
    const double lookahead = kLookaheadSeconds * sampleRate_;
    window_ = static_cast<int>(std::floor(2.0 * (lookahead - firDelay_) / factor_)) & ~7;
    coarseWindow_ = static_cast<int>(std::floor((lookahead - firDelay_) / factor_ - halfBandDelay)) & ~7;
    lookahead_ = firDelay_ + window_ * factor_ / 2;
    minLag_ = std::max(2, static_cast<int>(std::floor(coarseRate_ / kHighestF0)));
    maxLag_ = static_cast<int>(std::ceil(coarseRate_ / kLowestF0));
    hopLow_ = std::max(1, static_cast<int>(std::floor(kHopSeconds * lowRate_)));
    hop_ = hopLow_ * factor_;
    dcPole_ = static_cast<float>(std::exp(-2.0 * kPi * 25.0 / lowRate_));
    loudestDecay_ = static_cast<float>(std::pow(10.0, -kLoudestFallDbPerSecond * hop_ / sampleRate_ / 20.0));

    markBefore_ = static_cast<int>(std::lround(kMarkBeforeSeconds * sampleRate_));
    // A mark's excitation is looked for in the low-rate residual, which
    // trails the input by the decimator's delay: the match waits for that
    // too, and the search narrows so that the whole stays within 3 ms.
    markAfter_ = std::max(static_cast<int>(std::lround(kMarkAfterSeconds * sampleRate_)), firDelay_ + factor_ + 1);
    markReach_ = std::min(static_cast<int>(std::lround(kMarkReachSeconds * sampleRate_)),
                          (static_cast<int>(0.003 * sampleRate_) - markAfter_ - 2) / 2);
    markRelock_ = static_cast<int>(std::lround(kMarkRelockSeconds * sampleRate_));
    // A mark found at the near end of its search waited for the far end.
    markDelay_ = 2 * markReach_ + markAfter_ + 2;

    // Full rate: the decimator's taps, and a mark's search two of the
    // longest periods back, with a block to spare.
    const double longest = sampleRate_ / kLowestF0;
    fullSize_ = shifter::powerOfTwoAtLeast(static_cast<std::size_t>(kernel_.size() + 3.0 * longest + markBefore_ +
                                                        2 * markReach_ + markAfter_ + 2 * kMaxFrames + 16));
    fullMask_ = fullSize_ - 1;
    full_.assign(2 * fullSize_, 0.0f);
    lowSize_ = shifter::powerOfTwoAtLeast(static_cast<std::size_t>(
        std::max(window_ + 2 * maxLag_ + 8, static_cast<int>(halfBand_.size()))));
    low_.assign(2 * lowSize_, 0.0f);
    emphasised_.assign(2 * lowSize_, 0.0f);
    residual_.assign(2 * lowSize_, 0.0f);
    lowSquares_.assign(static_cast<std::size_t>(window_ + 2 * maxLag_ + 4), 0.0);
    order_ = std::min(kMaxOrder, static_cast<int>(std::lround(lowRate_ / 1000.0)) + 2);
    residualTaps_ = (order_ + 1 + 3) & ~3;
    hann_.resize(static_cast<std::size_t>(window_));
    for (int j = 0; j < window_; ++j)
        hann_[static_cast<std::size_t>(j)] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * (j + 0.5) / window_));
    windowed_.assign(static_cast<std::size_t>(window_), 0.0f);
    coarseSize_ = shifter::powerOfTwoAtLeast(static_cast<std::size_t>(coarseWindow_ + maxLag_ + 4));
    coarse_.assign(2 * coarseSize_, 0.0f);
    nsdf_.assign(static_cast<std::size_t>(maxLag_ + 2), 0.0f);
    cross_.assign(static_cast<std::size_t>(maxLag_ + 3), 0.0f);
    reset();
}

void PitchTracker::reset() noexcept {
    std::fill(full_.begin(), full_.end(), 0.0f);
    std::fill(low_.begin(), low_.end(), 0.0f);
    std::fill(emphasised_.begin(), emphasised_.end(), 0.0f);
    std::fill(residual_.begin(), residual_.end(), 0.0f);
    std::fill(std::begin(reversed_), std::end(reversed_), 0.0f);
    reversed_[residualTaps_ - 1] = 1.0f;
    std::fill(coarse_.begin(), coarse_.end(), 0.0f);
    written_ = 0;
    lowWritten_ = 0;
    coarseWritten_ = 0;
    untilHop_ = hopLow_;
    dcIn_ = dcOut_ = 0.0f;
    loudest_ = 0.0f;
    previousCount_ = 0;
    unvoicedTotal_ = 0.0;
    voiced_ = false;
    period_ = 0.0f;
    recentPeriod_ = 0.0f;
    marking_ = false;
    lastMark_ = 0.0;
    markDue_ = 0;
    estimates_.clear();
    marks_.clear();
}

void PitchTracker::process(const float* mono, int frames) noexcept {
    if (mono == nullptr || full_.empty()) return;
    frames = std::clamp(frames, 0, kMaxFrames);
    for (int i = 0; i < frames; ++i) {
        const float x = std::isfinite(mono[i]) ? mono[i] : 0.0f;
        const std::size_t at = static_cast<std::size_t>(written_ + i) & fullMask_;
        full_[at] = x;
        full_[at + fullSize_] = x;
    }
    // Step from event to event: the next low-rate sample, the next mark's
    // search. Each sees the input only up to its own moment, written_.
    const std::int64_t end = written_ + frames;
    const int taps = static_cast<int>(kernel_.size());
    while (written_ < end) {
        const std::int64_t lowAt = (lowWritten_ + 1) * factor_;
        std::int64_t next = std::min(end, lowAt);
        if (marking_) next = std::min(next, std::max(markDue_, written_ + 1));
        written_ = next;
        if (written_ == lowAt) {
            const std::size_t first = static_cast<std::size_t>(written_ - std::max(taps, 1)) & fullMask_;
            pushLow(taps > 0 ? kernels_->correlate(kernel_.data(), &full_[first], taps) : full_[first]);
        }
        if (marking_ && written_ >= markDue_) nextMark();
    }
}

void PitchTracker::pushLow(float value) noexcept {
    dcOut_ = value - dcIn_ + dcPole_ * dcOut_;
    dcIn_ = value;
    const std::size_t at = static_cast<std::size_t>(lowWritten_) & (lowSize_ - 1);
    low_[at] = dcOut_;
    low_[at + lowSize_] = dcOut_;
    // The prediction residual through the newest hop's inverse filter:
    // where the vocal tract's resonances are taken out, a glottal closure
    // is a spike.
    // Both work on the pre-emphasised signal (1 - 0.97 z^-1), which takes
    // the glottal pulse's own slope out too: the spike then stands at the
    // closure rather than on the broad swing before it.
    const std::size_t mask = lowSize_ - 1;
    const float p = dcOut_ - kEmphasis * low_[(static_cast<std::size_t>(lowWritten_) - 1) & mask];
    emphasised_[at] = p;
    emphasised_[at + lowSize_] = p;
    const std::size_t oldest =
        (static_cast<std::size_t>(lowWritten_) - static_cast<std::size_t>(residualTaps_ - 1)) & mask;
    const float e = shifter::dot(reversed_, &emphasised_[oldest], residualTaps_);  // short: inline
    residual_[at] = e;
    residual_[at + lowSize_] = e;
    ++lowWritten_;
    if ((lowWritten_ & 1) == 0) {
        // Every other one, through the half-band filter, to the coarse rate.
        const int taps = static_cast<int>(halfBand_.size());
        const std::size_t from = static_cast<std::size_t>(lowWritten_ - taps) & (lowSize_ - 1);
        const float c = shifter::dot(halfBand_.data(), &low_[from], taps);
        const std::size_t to = static_cast<std::size_t>(coarseWritten_) & (coarseSize_ - 1);
        coarse_[to] = c;
        coarse_[to + coarseSize_] = c;
        ++coarseWritten_;
    }
    if (--untilHop_ == 0) {
        untilHop_ = hopLow_;
        analyse();
    }
}

// The normalised square difference of the newest `window` samples of a
// mirrored ring (`size`, `written` so far) for lags [first, last], into
// `out` (indexed by lag).
void PitchTracker::squareDifference(const std::vector<float>& ring, std::size_t size, std::int64_t written,
                                    int window, int first, int last, float* out, double* energy) noexcept {
    // `size` is a power of two; the ring holds window + last samples and more.
    const std::size_t start = static_cast<std::size_t>(written - window - last) & (size - 1);
    const float* x = &ring[start] + last;
    const double newest = static_cast<double>(kernels_->correlate(x, x, window));
    double lagged = static_cast<double>(kernels_->correlate(x - first, x - first, window));
    kernels_->slide(x, window, first, last - first + 1, cross_.data());
    for (int t = first; t <= last; ++t) {
        if (t > first) {
            const double in = x[-t], out = x[window - t];
            lagged += in * in - out * out;
        }
        const double norm = std::sqrt(newest * std::max(0.0, lagged));
        out[t] = norm > 1e-12 ? static_cast<float>(cross_[static_cast<std::size_t>(t - first)] / norm) : 0.0f;
    }
    if (energy != nullptr) *energy = newest;
}

void PitchTracker::predictor() noexcept {
    // Autocorrelation method on the pre-emphasised, Hann-windowed newest
    // low-rate window,
    // Levinson-Durbin; a little white noise (1e-4) keeps it stable.
    const std::size_t start = static_cast<std::size_t>(lowWritten_ - window_) & (lowSize_ - 1);
    const float* p = &emphasised_[start];
    for (int j = 0; j < window_; ++j) windowed_[static_cast<std::size_t>(j)] = p[j] * hann_[static_cast<std::size_t>(j)];
    // A high voice has few harmonics for the model to spread over: fewer
    // poles, or they fit the harmonics instead of the formants.
    const float periodLow = period_ / static_cast<float>(factor_);
    const int order =
        voiced_ && period_ > 0.0f ? std::clamp(static_cast<int>(periodLow * kOrderPerLag), 4, order_) : order_;
    double r[kMaxOrder + 1];
    for (int k = 0; k <= order; ++k)
        r[k] = static_cast<double>(kernels_->correlate(windowed_.data(), windowed_.data() + k, window_ - k));
    if (!(r[0] > 1e-12)) return;  // silence: keep the last filter
    r[0] *= 1.0001;
    double a[kMaxOrder + 1] = {1.0}, previous[kMaxOrder + 1];
    double error = r[0];
    for (int i = 1; i <= order; ++i) {
        double acc = r[i];
        for (int j = 1; j < i; ++j) acc += a[j] * r[i - j];
        const double k = -acc / error;
        std::copy(a, a + i, previous);
        for (int j = 1; j < i; ++j) a[j] = previous[j] + k * previous[i - j];
        a[i] = k;
        error *= 1.0 - k * k;
        if (!(error > 0.0)) return;
    }
    // Reversed, so that the residual is one dot product with the newest
    // samples: 1 + sum a[j] z^-j.
    for (int j = 1; j <= order_; ++j) reversed_[residualTaps_ - 1 - j] = j <= order ? static_cast<float>(a[j]) : 0.0f;
    reversed_[residualTaps_ - 1] = 1.0f;
}

void PitchTracker::analyse() noexcept {
    predictor();
    double newest = 0.0;
    squareDifference(coarse_, coarseSize_, coarseWritten_, coarseWindow_, minLag_ - 1, maxLag_ + 1, nsdf_.data(),
                     &newest);
    Candidate now[kCandidates];
    const int count = findCandidates(now);
    // At the coarse rate the peaks of high voices are too narrow for a
    // parabola to tell their height: each candidate is measured again at
    // the low rate, in low-rate samples from here on.
    prepareRefine();
    for (int i = 0; i < count; ++i) {
        now[i].lag *= 2.0f;
        refine(now[i].lag, now[i].score);
    }

    // The hop's level against the loudest of the last seconds.
    const float level = static_cast<float>(std::sqrt(newest / coarseWindow_));
    loudest_ = std::max(level, loudest_ * loudestDecay_);
    const double relative = loudest_ > 0.0f ? level / loudest_ : 0.0;
    const double unvoicedScore = kVoicing + std::max(0.0, 2.0 - relative / (kSilence / (1.0 + kVoicing)));

    int strongest = 0;
    for (int i = 1; i < count; ++i)
        if (now[i].score > now[strongest].score) strongest = i;
    double bestVoicedBefore = -1e30;
    for (int j = 0; j < previousCount_; ++j) bestVoicedBefore = std::max(bestVoicedBefore, previous_[j].total);
    for (int i = 0; i < count; ++i) {
        double from = unvoicedTotal_ - kVoicingChange;
        for (int j = 0; j < previousCount_; ++j)
            from = std::max(from, previous_[j].total -
                                      kOctaveJump * std::fabs(std::log2(now[i].lag / previous_[j].lag)));
        // In favour of the shorter lags among this hop's candidates, counted
        // from the strongest (an octave at most), so that the preference
        // neither weighs against the unvoiced state nor lifts a formant's
        // ringing over the voice's period.
        const double octaves =
            std::clamp(std::log2(static_cast<double>(now[strongest].lag) / now[i].lag), -1.0, 1.0);
        now[i].total = from + now[i].score + kOctaveBonus * octaves;
    }
    const double unvoicedTotal = unvoicedScore + std::max(unvoicedTotal_, bestVoicedBefore - kVoicingChange);

    int best = -1;
    double bestTotal = unvoicedTotal;
    for (int i = 0; i < count; ++i)
        if (now[i].total > bestTotal) {
            best = i;
            bestTotal = now[i].total;
        }
    // Keep the totals near 0; only their differences matter.
    for (int i = 0; i < count; ++i) previous_[i] = now[i], previous_[i].total -= bestTotal;
    previousCount_ = count;
    unvoicedTotal_ = unvoicedTotal - bestTotal;

    voiced_ = best >= 0;
    PitchEstimate e;
    e.at = written_ - lookahead_;
    // Marks may start a hop or two before the path turns voiced, where the
    // newest window is already clearly periodic.
    const bool periodic = voiced_ || (count > 0 && now[strongest].score >= kMarkPeriodicity);
    const int chosen = voiced_ ? best : strongest;
    if (count > 0) {
        period_ = now[chosen].lag * static_cast<float>(factor_);
        // The next mark is looked for one new period after the last.
        if (marking_) scheduleMark();
        if (voiced_) e.f0 = static_cast<float>(lowRate_ / now[chosen].lag);
        e.confidence = std::clamp(now[chosen].score, 0.0f, 1.0f);
    }
    estimates_.push(e);

    // Marks follow the voicing: a chain starts on a periodic hop and ends on
    // one that is not, or where the periods stop matching.
    if (!periodic) marking_ = false;
    else if (!marking_) anchorMark();
}

void PitchTracker::prepareRefine() noexcept {
    // The newest low-rate window and the lags before it, with the running
    // sum of their squares: each lag's energy is then a difference.
    const int span = window_ + 2 * maxLag_ + 2;
    const std::size_t start = static_cast<std::size_t>(lowWritten_ - span) & (lowSize_ - 1);
    const float* x = &low_[start];
    double sum = 0.0;
    lowSquares_[0] = 0.0;
    for (int j = 0; j < span; ++j) {
        sum += static_cast<double>(x[j]) * x[j];
        lowSquares_[static_cast<std::size_t>(j + 1)] = sum;
    }
    refineSpan_ = x + (span - window_);
}

float PitchTracker::lowCorrelation(int t) const noexcept {
    const int span = window_ + 2 * maxLag_ + 2, newestFrom = span - window_;
    const double newest = lowSquares_[static_cast<std::size_t>(span)] - lowSquares_[static_cast<std::size_t>(newestFrom)];
    const double lagged = lowSquares_[static_cast<std::size_t>(span - t)] -
                          lowSquares_[static_cast<std::size_t>(newestFrom - t)];
    const double norm = std::sqrt(newest * std::max(0.0, lagged));
    return norm > 1e-12 ? static_cast<float>(kernels_->correlate(refineSpan_, refineSpan_ - t, window_) / norm) : 0.0f;
}

void PitchTracker::refine(float& lag, float& score) const noexcept {
    // The low-rate correlation around `lag`, climbing to the nearest peak.
    const int lowest = 2 * minLag_ - 1, highest = 2 * maxLag_ + 1;
    int t = std::clamp(static_cast<int>(std::lround(lag)), lowest, highest);
    float values[3] = {lowCorrelation(t - 1), lowCorrelation(t), lowCorrelation(t + 1)};
    for (int step = 0; step < 3; ++step) {
        if (values[0] > values[1] && t > lowest) {
            --t;
            values[2] = values[1], values[1] = values[0], values[0] = lowCorrelation(t - 1);
        } else if (values[2] > values[1] && t < highest) {
            ++t;
            values[0] = values[1], values[1] = values[2], values[2] = lowCorrelation(t + 1);
        } else {
            break;
        }
    }
    float offset = 0.0f, value = values[1];
    shifter::parabola(values[0], values[1], values[2], offset, value);
    lag = static_cast<float>(t) + offset;
    score = value;
}

int PitchTracker::findCandidates(Candidate* out) const noexcept {
    // Every peak, shortest lag first.
    constexpr int kPeaks = 40;
    Candidate peaks[kPeaks];
    int found = 0;
    float highest = 0.0f;
    for (int t = minLag_; t <= maxLag_ && found < kPeaks; ++t) {
        const float a = nsdf_[static_cast<std::size_t>(t - 1)], b = nsdf_[static_cast<std::size_t>(t)],
                    c = nsdf_[static_cast<std::size_t>(t + 1)];
        if (!(b > a && b >= c && b > kMinPeak)) continue;
        float offset = 0.0f;
        shifter::parabola(a, b, c, offset, peaks[found].score);
        peaks[found].lag = static_cast<float>(t) + offset;
        highest = std::max(highest, peaks[found].score);
        ++found;
    }
    // The highest few, and then the shortest lags that come near them: a
    // voice's own period is the shortest of the peaks its multiples make,
    // and at the coarse rate a high voice's peak can look lower than theirs.
    bool taken[kPeaks] = {};
    int count = 0;
    for (int round = 0; round < kStrongest && count < found; ++round) {
        int best = -1;
        for (int i = 0; i < found; ++i)
            if (!taken[i] && (best < 0 || peaks[i].score > peaks[best].score)) best = i;
        taken[best] = true;
        out[count++] = peaks[best];
    }
    for (int i = 0; i < found && count < kCandidates; ++i)
        if (!taken[i] && peaks[i].score >= kNearHighest * highest) {
            taken[i] = true;
            out[count++] = peaks[i];
        }
    return count;
}

}  // namespace vcmd
