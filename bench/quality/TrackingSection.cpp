// TrackingSection.cpp - see TrackingSection.h. The measures are those of
// PitchTracking.h; the goals, printed beside each figure:
//   gross error on the voices without added noise, every kind     ≤ 1 %
//   octave errors on the same, every kind                         ≤ 0.5 %
//   voicing error on the same, all kinds together                 ≤ 4 %
//   at 10 dB SNR, all kinds together: gross / voicing error       ≤ 3 % / ≤ 10 %
//   at 20 and 0 dB SNR                                            reported
//   real speech against Praat, all files: gross / voicing error   ≤ 2 % / ≤ 8 %
//   fine error, median, voices without added noise                ≤ 10 cents
//   marks on the same, all kinds: pulses marked / spread          ≥ 98 % / ≤ 0.3 ms
//   lookahead: F0 and voicing / marks final after the excitation  ≤ 12 ms / ≤ 3 ms
//   cost, the tracker alone, 48 kHz mono (scripts/quality builds Release)  ≥ 1,000× real time
// The lookahead is both what the tracker states and what is seen when the
// voices are fed one sample at a time (the newest sample fed minus the
// estimate's or mark's time, at the moment it is read); that run must give
// the same estimates and marks as 256-sample blocks. The cost is the best
// of five runs over all the voices without added noise, one after the
// other, in 256-sample blocks, the queues read after every block; timed in
// the thread's CPU time, so that other programs on a shared machine do not
// count (on an idle one it is the wall-clock time).
#include "TrackingSection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "AudioFile.h"
#include "PitchTracking.h"
#include "PraatPitch.h"
#include "SyntheticVoices.h"
#include "pitch/PitchTracker.h"

namespace quality {
namespace {

constexpr double kRate = 48000.0;
constexpr double kPraatStep = 0.005;  // Praat's hop: its guard at voicing changes
constexpr double kSnrs[] = {HUGE_VAL, 20.0, 10.0, 0.0};
constexpr int kLevels = 4;

std::string levelName(int level) {
    return level == 0 ? "without added noise" : "in pink noise at " + fixed(kSnrs[level], 0) + " dB SNR";
}

// "ours / Praat", or "ours / —" without Praat.
std::string pair(double ours, double praat, bool withPraat, int decimals = 1) {
    return fixed(ours, decimals) + " / " + (withPraat ? fixed(praat, decimals) : "—");
}

struct Scores {
    FrameCounts ours, praat;
    MarkCounts marks;
};

double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Seconds of compute for `signal`, best of five runs.
double trackerSeconds(const std::vector<float>& signal) {
    vcmd::PitchTracker tracker;
    tracker.configure(kRate);
    double best = HUGE_VAL;
    for (int run = 0; run < 5; ++run) {
        tracker.reset();
        std::size_t count = 0;
        const double start = threadSeconds();
        for (std::size_t at = 0; at < signal.size(); at += 256) {
            tracker.process(signal.data() + at, static_cast<int>(std::min<std::size_t>(256, signal.size() - at)));
            vcmd::PitchEstimate e;
            vcmd::PitchMark m;
            while (tracker.readEstimate(e)) count += e.f0 > 0.0f;
            while (tracker.readMark(m)) ++count;
        }
        const double took = threadSeconds() - start;
        if (count == 0) std::fprintf(stderr, "quality: the tracker found nothing voiced in the cost run\n");
        best = std::min(best, took);
    }
    return best;
}

std::vector<std::pair<std::string, Audio>> recordings(const std::string& alsaDir, const std::string& sample) {
    static const char* kNames[] = {"Front_Center", "Front_Left", "Front_Right", "Rear_Center",
                                   "Rear_Left",    "Rear_Right", "Side_Left",   "Side_Right"};
    std::vector<std::pair<std::string, Audio>> out;
    for (const char* n : kNames) out.emplace_back(std::string(n) + ".wav", readAudio(alsaDir + "/" + n + ".wav"));
    out.emplace_back("samples/speech.wav", readAudio(sample));
    return out;
}

}  // namespace

void pitchTrackingSection(const std::string& alsaDir, const std::string& sample, Targets& targets) {
    std::printf(
        "### Pitch tracking\n\n"
        "The engine's pitch tracker (`vcmd::PitchTracker`, fed 256 samples at a time as in real time) on "
        "synthetic voices of known F0 and glottal closures (`SyntheticVoices.h`: Rosenberg pulses with jitter, "
        "shimmer and breath through five formant resonators, three phrases parted by silence, a fricative and a "
        "plosive; 48 kHz), beside Praat's autocorrelation pitch (`PraatPitch.h`: To Pitch (ac), 5 ms, 55–800 Hz, "
        "offline) measured the same way; and against Praat on real speech. Frames at each tracker's own times; "
        "frames within one hop of a change of the reference's voicing left out. Gross error: reference-voiced "
        "frames called voiced more than 20 %% off, over reference-voiced frames; octave errors: those within 6 %% "
        "of ×2 or ×½; voicing error: frames whose decision differs, over all frames; fine error: median |cents| "
        "of the frames within 20 %%. Marks: glottal closures with a mark within min(1 ms, ¼ period) of the "
        "closure plus the voice's median offset; spread: RMS of those marks' offsets about the median; extra: "
        "marks matching no closure, against the closures (`PitchTracking.h`).\n\n");

    const std::vector<VoiceKind> kinds = voiceKinds();
    std::vector<SyntheticVoice> voices;
    for (std::size_t k = 0; k < kinds.size(); ++k) voices.push_back(makeVoice(kinds[k], kRate, static_cast<std::uint32_t>(k + 1)));
    // Every signal Praat reads, in one run: the voices at every level, then the recordings.
    std::vector<Audio> signals;
    for (int level = 0; level < kLevels; ++level)
        for (std::size_t k = 0; k < voices.size(); ++k)
            signals.push_back({level == 0 ? voices[k].samples
                                          : withPinkNoise(voices[k], kSnrs[level], static_cast<std::uint32_t>(100 + 10 * k + level)),
                               kRate});
    const auto speech = recordings(alsaDir, sample);
    for (const auto& r : speech) signals.push_back(r.second);
    const std::vector<PitchFrames> praat = praatPitch(signals);
    const bool withPraat = praat.size() == signals.size();

    // The synthetic voices, level by level.
    Scores all[kLevels];
    std::vector<Scores> clean(voices.size());
    double hop = 0.0, statedLookahead = 0.0, statedMarkDelay = 0.0;
    for (int level = 0; level < kLevels; ++level) {
        Table t({"voice", "gross error (%)", "octave errors (%)", "voicing error (%)", "fine error (cents)",
                 "closures marked (%)", "mark spread (ms)", "extra marks (%)"},
                "lrrrrrrr");
        for (std::size_t k = 0; k < voices.size(); ++k) {
            const SyntheticVoice& v = voices[k];
            const std::size_t index = static_cast<std::size_t>(level) * voices.size() + k;
            const TrackerRun run = runTracker(signals[index].samples, kRate);
            hop = run.hopSeconds;
            statedLookahead = run.lookaheadMs;
            statedMarkDelay = run.markDelayMs;
            Scores s;
            s.ours = scoreFrames(run.frames, truthOf(v), voicingBoundaries(v), run.hopSeconds);
            s.marks = scoreMarks(run.marks, v, run.hopSeconds);
            if (withPraat) s.praat = scoreFrames(praat[index], truthOf(v), voicingBoundaries(v), kPraatStep);
            t.add({v.name, pair(s.ours.grossPercent(), s.praat.grossPercent(), withPraat),
                   pair(s.ours.octavePercent(), s.praat.octavePercent(), withPraat),
                   pair(s.ours.voicingPercent(), s.praat.voicingPercent(), withPraat),
                   pair(s.ours.fineMedianCents(), s.praat.fineMedianCents(), withPraat), fixed(s.marks.markedPercent(), 1),
                   fixed(s.marks.spreadMs(), 3), fixed(s.marks.extraPercent(), 1)});
            all[level].ours += s.ours;
            all[level].praat += s.praat;
            all[level].marks += s.marks;
            if (level == 0) clean[k] = s;
        }
        const Scores& a = all[level];
        t.add({"**all kinds**", pair(a.ours.grossPercent(), a.praat.grossPercent(), withPraat),
               pair(a.ours.octavePercent(), a.praat.octavePercent(), withPraat),
               pair(a.ours.voicingPercent(), a.praat.voicingPercent(), withPraat),
               pair(a.ours.fineMedianCents(), a.praat.fineMedianCents(), withPraat), fixed(a.marks.markedPercent(), 1),
               fixed(a.marks.spreadMs(), 3), fixed(a.marks.extraPercent(), 1)});
        std::printf("#### Synthetic voices %s (ours / Praat)\n\n%s\n", levelName(level).c_str(), t.markdown().c_str());
    }

    // Real speech against Praat.
    Table r({"recording", "Praat's voiced frames", "gross error (%)", "octave errors (%)", "voicing error (%)",
             "fine error (cents)"},
            "lrrrrr");
    FrameCounts speechAll;
    for (std::size_t k = 0; k < speech.size(); ++k) {
        if (!withPraat) {
            r.add({speech[k].first, "unavailable (no praat)", "—", "—", "—", "—"});
            continue;
        }
        const PitchFrames& reference = praat[static_cast<std::size_t>(kLevels) * voices.size() + k];
        const TrackerRun run = runTracker(speech[k].second.samples, speech[k].second.rate);
        const FrameCounts c = scoreFrames(run.frames, nearestFrame(reference), voicingBoundaries(reference), run.hopSeconds);
        r.add({speech[k].first, std::to_string(c.referenceVoiced), fixed(c.grossPercent(), 1), fixed(c.octavePercent(), 1),
               fixed(c.voicingPercent(), 1), fixed(c.fineMedianCents(), 1)});
        speechAll += c;
    }
    if (withPraat)
        r.add({"**all**", std::to_string(speechAll.referenceVoiced), fixed(speechAll.grossPercent(), 1),
               fixed(speechAll.octavePercent(), 1), fixed(speechAll.voicingPercent(), 1),
               fixed(speechAll.fineMedianCents(), 1)});
    std::printf("#### Real speech against Praat\n\nThe alsa-utils recordings (mixed to mono) and the speech sample; "
                "Praat's frames are the reference.\n\n%s\n",
                r.markdown().c_str());

    // Fed one sample at a time: the same output, and the waits seen.
    double longestLookahead = 0.0, longestMarkWait = 0.0;
    std::size_t lateMarks = 0, marks = 0;
    bool identical = true;
    std::vector<float> together;
    for (const SyntheticVoice& v : voices) {
        const TrackerRun blocks = runTracker(v.samples, kRate, 256), single = runTracker(v.samples, kRate, 1);
        identical = identical && blocks.frames.times == single.frames.times && blocks.frames.f0 == single.frames.f0 &&
                    blocks.marks == single.marks;
        longestLookahead = std::max(longestLookahead, single.longestLookaheadMs);
        longestMarkWait = std::max(longestMarkWait, single.longestMarkWaitMs);
        lateMarks += single.lateMarks;
        marks += single.marks.size();
        together.insert(together.end(), v.samples.begin(), v.samples.end());
    }
    const double realTime = static_cast<double>(together.size()) / kRate / trackerSeconds(together);

    // The summary against the goals.
    std::size_t worstGross = 0, worstOctave = 0, worstMarked = 0;
    for (std::size_t k = 0; k < clean.size(); ++k) {
        if (clean[k].ours.grossPercent() > clean[worstGross].ours.grossPercent()) worstGross = k;
        if (clean[k].ours.octavePercent() > clean[worstOctave].ours.octavePercent()) worstOctave = k;
        if (clean[k].marks.markedPercent() < clean[worstMarked].marks.markedPercent()) worstMarked = k;
    }
    double praatWorstGross = 0.0, praatWorstOctave = 0.0;
    for (const Scores& s : clean) {
        praatWorstGross = std::max(praatWorstGross, s.praat.grossPercent());
        praatWorstOctave = std::max(praatWorstOctave, s.praat.octavePercent());
    }
    Table summary({"measure", "ours", "Praat", "goal"}, "lrrl");
    const auto praatCell = [&](double v, int decimals = 1) { return withPraat ? fixed(v, decimals) : "unavailable"; };
    const Scores& c0 = all[0];
    const FrameCounts& worstG = clean[worstGross].ours;
    summary.add({"gross error (%), no added noise, worst kind (" + voices[worstGross].name + ")",
                 fixed(worstG.grossPercent(), 2), praatCell(praatWorstGross, 2), "≤ 1 % every kind"});
    summary.add({"octave errors (%), no added noise, worst kind (" + voices[worstOctave].name + ")",
                 fixed(clean[worstOctave].ours.octavePercent(), 2), praatCell(praatWorstOctave, 2), "≤ 0.5 % every kind"});
    summary.add({"voicing error (%), no added noise", fixed(c0.ours.voicingPercent(), 2),
                 praatCell(c0.praat.voicingPercent(), 2), "≤ 4 %"});
    for (int level = 1; level < kLevels; ++level) {
        const bool goal = kSnrs[level] == 10.0;
        summary.add({"gross / voicing error (%), " + fixed(kSnrs[level], 0) + " dB SNR",
                     fixed(all[level].ours.grossPercent(), 2) + " / " + fixed(all[level].ours.voicingPercent(), 2),
                     withPraat ? fixed(all[level].praat.grossPercent(), 2) + " / " + fixed(all[level].praat.voicingPercent(), 2)
                               : "unavailable",
                     goal ? "≤ 3 % / ≤ 10 %" : "reported"});
    }
    summary.add({"real speech against Praat: gross / voicing error (%)",
                 withPraat ? fixed(speechAll.grossPercent(), 2) + " / " + fixed(speechAll.voicingPercent(), 2) : "unavailable",
                 "(reference)", "≤ 2 % / ≤ 8 %"});
    summary.add({"fine error, median (cents), no added noise", fixed(c0.ours.fineMedianCents(), 2),
                 praatCell(c0.praat.fineMedianCents(), 2), "≤ 10 cents"});
    summary.add({"closures marked (%) / mark spread (ms), no added noise",
                 fixed(c0.marks.markedPercent(), 2) + " / " + fixed(c0.marks.spreadMs(), 3), "—", "≥ 98 % / ≤ 0.3 ms"});
    summary.add({"lookahead (ms): F0 and voicing / marks final after the excitation, stated",
                 fixed(statedLookahead, 2) + " / " + fixed(statedMarkDelay, 2), "offline", "≤ 12 / ≤ 3 ms"});
    summary.add({"the same, seen (fed one sample at a time; " + std::to_string(lateMarks) + " of " +
                     std::to_string(marks) + " marks later than stated)",
                 fixed(longestLookahead, 2) + " / " + fixed(longestMarkWait, 2), "—", "≤ 12 / ≤ 3 ms"});
    summary.add({"cost: the tracker alone, 48 kHz mono (× real time, thread CPU time)", fixed(realTime, 0), "—", "≥ 1,000×"});
    std::printf("#### Pitch tracking against its goals\n\nHop %.2f ms. Output the same fed 1 or 256 samples at a "
                "time: %s.\n\n%s\n",
                1000.0 * hop, identical ? "yes" : "**no**", summary.markdown().c_str());

    targets.add("pitch tracking: gross error ≤ 1 %, synthetic voices without added noise, every kind",
                worstG.grossPercent() <= 1.0,
                "worst " + fixed(worstG.grossPercent(), 2) + " % (" + voices[worstGross].name + ")");
    targets.add("pitch tracking: octave errors ≤ 0.5 %, synthetic voices without added noise, every kind",
                clean[worstOctave].ours.octavePercent() <= 0.5,
                "worst " + fixed(clean[worstOctave].ours.octavePercent(), 2) + " % (" + voices[worstOctave].name + ")");
    targets.add("pitch tracking: voicing error ≤ 4 %, synthetic voices without added noise", c0.ours.voicingPercent() <= 4.0,
                fixed(c0.ours.voicingPercent(), 2) + " %");
    targets.add("pitch tracking at 10 dB SNR: gross error ≤ 3 %, voicing error ≤ 10 %",
                all[2].ours.grossPercent() <= 3.0 && all[2].ours.voicingPercent() <= 10.0,
                fixed(all[2].ours.grossPercent(), 2) + " / " + fixed(all[2].ours.voicingPercent(), 2) + " %");
    targets.add("pitch tracking on real speech against Praat: gross error ≤ 2 %, voicing error ≤ 8 %",
                withPraat && speechAll.grossPercent() <= 2.0 && speechAll.voicingPercent() <= 8.0,
                withPraat ? fixed(speechAll.grossPercent(), 2) + " / " + fixed(speechAll.voicingPercent(), 2) + " %"
                          : "unavailable: praat not found or failed");
    targets.add("pitch tracking: fine error median ≤ 10 cents, synthetic voices without added noise",
                c0.ours.fineMedianCents() <= 10.0, fixed(c0.ours.fineMedianCents(), 2) + " cents");
    targets.add("pitch marks: ≥ 98 % of glottal closures marked, spread ≤ 0.3 ms, synthetic voices without added noise",
                c0.marks.markedPercent() >= 98.0 && c0.marks.spreadMs() <= 0.3,
                fixed(c0.marks.markedPercent(), 2) + " % (fewest: " + fixed(clean[worstMarked].marks.markedPercent(), 1) +
                    " %, " + voices[worstMarked].name + "), " + fixed(c0.marks.spreadMs(), 3) + " ms");
    targets.add("pitch tracker lookahead ≤ 12 ms, marks final ≤ 3 ms after the excitation (stated and seen)",
                std::max(statedLookahead, longestLookahead) <= 12.0 && std::max(statedMarkDelay, longestMarkWait) <= 3.0,
                fixed(std::max(statedLookahead, longestLookahead), 2) + " / " +
                    fixed(std::max(statedMarkDelay, longestMarkWait), 2) + " ms");
    targets.add("pitch tracker output the same fed 1 or 256 samples at a time", identical, identical ? "same" : "differs");
    targets.add("pitch tracker ≥ 1,000× real time, 48 kHz mono", realTime >= 1000.0, fixed(realTime, 0) + "×");
}

}  // namespace quality
