// PitchShifterTest.cpp - the pitch shifter on its own: frequency accuracy
// across the octave both ways in both quality settings, and stereo
// alignment, and a plain delay at 0 semitones. (Latency is measured through
// the engine, in VoicesTest.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "pitch/PitchShifter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

double zeroCrossingFrequency(const std::vector<float>& s, std::size_t begin, double rate) {
    double first = -1.0, last = -1.0;
    int n = 0;
    for (std::size_t i = begin + 1; i < s.size(); ++i) {
        if (s[i - 1] < 0.0f && s[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + s[i - 1] / (s[i - 1] - s[i]);
            if (first < 0.0) first = t;
            last = t;
            ++n;
        }
    }
    return n < 2 ? 0.0 : (n - 1) * rate / (last - first);
}

std::vector<float> shifted(double rate, float semitones, double input, bool highQuality, std::size_t block) {
    vcmd::PitchShifter shifter;
    shifter.configure(rate, highQuality);
    shifter.jumpSemitones(semitones);
    std::vector<float> s(static_cast<std::size_t>(1.5 * rate));
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<float>(0.5 * std::sin(2.0 * kPi * input * static_cast<double>(i) / rate));
    for (std::size_t i = 0; i < s.size(); i += block) {
        float* io[1] = {s.data() + i};
        shifter.process(io, 1, static_cast<int>(std::min(block, s.size() - i)));
    }
    return s;
}

TEST(PitchShifter, EverySemitoneFromOctaveDownToOctaveUpLandsWithinOnePercent) {
    for (bool hq : {false, true}) {
        for (int st = -12; st <= 12; ++st) {
            const double in = 330.0;
            const std::vector<float> s = shifted(48000.0, static_cast<float>(st), in, hq, 128);
            const double expected = in * std::pow(2.0, st / 12.0);
            EXPECT_NEAR(zeroCrossingFrequency(s, s.size() / 3, 48000.0) / expected, 1.0, 0.01)
                << st << " semitones, high quality " << hq;
        }
    }
}

TEST(PitchShifter, LowVoicesAreAlignedToo) {
    // A 110 Hz tone has a 9 ms period, longer than the comparison span.
    for (float st : {-7.0f, 5.0f, 12.0f}) {
        const std::vector<float> s = shifted(44100.0, st, 110.0, false, 256);
        const double expected = 110.0 * std::pow(2.0, st / 12.0);
        EXPECT_NEAR(zeroCrossingFrequency(s, s.size() / 3, 44100.0) / expected, 1.0, 0.01) << st;
    }
}

// The alignment search against a lag it must find: noise repeated every
// `period` samples matches itself at whole periods only, so each grain's
// start is right at one lag and wrong at every other. Found, the output
// repeats exactly at the period over the ratio; missed, every splice
// joins two unrelated stretches of noise.
TEST(PitchShifter, TheAlignmentSearchFindsThePeriodOfRepeatedNoise) {
    const struct {
        float semitones;
        std::size_t period;  // the input's; a multiple of the output's ratio
    } cases[] = {{12.0f, 402}, {-12.0f, 401}};
    for (const auto& c : cases) {
        std::vector<float> cycle(c.period);
        std::uint32_t seed = 12345;
        for (float& v : cycle) {
            seed = seed * 1664525u + 1013904223u;
            v = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
        }
        vcmd::PitchShifter shifter;
        shifter.configure(48000.0, false);
        shifter.jumpSemitones(c.semitones);
        std::vector<float> s(48000);
        for (std::size_t i = 0; i < s.size(); ++i) s[i] = cycle[i % c.period];
        for (std::size_t i = 0; i < s.size(); i += 256) {
            float* io[1] = {s.data() + i};
            shifter.process(io, 1, static_cast<int>(std::min<std::size_t>(256, s.size() - i)));
        }
        const auto lag = static_cast<std::size_t>(static_cast<double>(c.period) / std::exp2(c.semitones / 12.0));
        double ab = 0.0, aa = 0.0, bb = 0.0;
        for (std::size_t i = s.size() / 3; i + lag < s.size(); ++i) {
            ab += static_cast<double>(s[i]) * s[i + lag];
            aa += static_cast<double>(s[i]) * s[i];
            bb += static_cast<double>(s[i + lag]) * s[i + lag];
        }
        EXPECT_GT(ab / std::sqrt(aa * bb), 0.98) << c.semitones << " semitones";
    }
}

// Grains joined out of phase would cancel at every splice: the level of a
// steady shifted tone, taken over two of its periods at a time, would dip
// by several decibels once per hop. Aligned splices keep it flat.
TEST(PitchShifter, SplicesNeitherDipNorSwell) {
    for (double in : {150.0, 330.0, 700.0}) {
        for (float st : {-12.0f, -7.0f, -3.0f, 4.0f, 7.0f, 12.0f}) {
            const std::vector<float> s = shifted(48000.0, st, in, false, 256);
            const double out = in * std::pow(2.0, st / 12.0);
            const auto span = static_cast<std::size_t>(std::ceil(48000.0 / out)) * 2;
            double lo = 1e9, hi = 0.0;
            for (std::size_t b = s.size() / 3; b + span <= s.size(); b += span / 4) {
                double e = 0.0;
                for (std::size_t i = b; i < b + span; ++i) e += static_cast<double>(s[i]) * s[i];
                const double level = 20.0 * std::log10(std::sqrt(e / static_cast<double>(span)) / (0.5 / std::sqrt(2.0)));
                lo = std::min(lo, level);
                hi = std::max(hi, level);
            }
            EXPECT_GT(lo, -0.5) << in << " Hz, " << st << " semitones";
            EXPECT_LT(hi, 0.5) << in << " Hz, " << st << " semitones";
        }
    }
}

// At 0 semitones the output is the input, delayed: on a voiced sound too,
// where the alignment search finds good matches a period away (and would
// otherwise join grains there, a comb filter on the voice).
TEST(PitchShifter, AtZeroSemitonesVoicedSoundIsOnlyDelayed) {
    for (bool hq : {false, true}) {
        vcmd::PitchShifter shifter;
        shifter.configure(48000.0, hq);
        shifter.jumpSemitones(0.0f);
        std::vector<float> in(48000), out;
        for (std::size_t i = 0; i < in.size(); ++i) {
            const double t = static_cast<double>(i) / 48000.0;
            double v = 0.0;
            for (int h = 1; h <= 10; ++h) v += std::sin(2.0 * kPi * 140.0 * h * t + h) / h;
            in[i] = static_cast<float>(0.2 * (1.0 + 0.5 * std::sin(2.0 * kPi * 3.0 * t)) * v);
        }
        out = in;
        for (std::size_t i = 0; i < out.size(); i += 256) {
            float* io[1] = {out.data() + i};
            shifter.process(io, 1, static_cast<int>(std::min<std::size_t>(256, out.size() - i)));
        }
        const std::size_t latency = shifter.latencyFrames();
        double worst = 0.0;
        for (std::size_t i = 2 * latency; i < out.size(); ++i)
            worst = std::max(worst, static_cast<double>(std::fabs(out[i] - in[i - latency])));
        EXPECT_LT(worst, 1e-6) << "high quality " << hq;
    }
}

TEST(PitchShifter, StereoChannelsStayIdenticalForIdenticalInput) {
    vcmd::PitchShifter shifter;
    shifter.configure(48000.0, false);
    shifter.jumpSemitones(-4.0f);
    std::vector<float> l(48128), r;  // a whole number of 256-frame blocks
    for (std::size_t i = 0; i < l.size(); ++i) l[i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)) * 0.4);
    r = l;
    for (std::size_t i = 0; i < l.size(); i += 256) {
        float* io[2] = {l.data() + i, r.data() + i};
        shifter.process(io, 2, 256);
    }
    EXPECT_EQ(l, r);
}

}  // namespace

// A low voice's glottal pulses are sharp: each one rises in the high band
// well above the frames between them. They are not transients: the
// shifter must keep lining its grains up with the voice's period, or the
// shifted voice loses its periodicity and sounds rough. A 110 Hz pulse
// train (each pulse a click ringing at 700 Hz), shifted down 5 semitones,
// keeps a clear periodicity at the shifted period (grains taken for
// transients at every pulse left 0.10 to 0.16 of the input's; lined up,
// real time keeps about half, high quality nearly all).
TEST(PitchShifter, TheGlottalPulsesOfALowVoiceAreNoTransients) {
    constexpr double kRate = 48000.0, kF0 = 110.0;
    const std::size_t n = static_cast<std::size_t>(1.2 * kRate);
    std::vector<float> voice(n, 0.0f);
    const double period = kRate / kF0;
    for (double at = 0.0; at < static_cast<double>(n); at += period) {
        const auto start = static_cast<std::size_t>(at);
        for (std::size_t i = start; i < std::min(n, start + 400); ++i) {
            const double t = static_cast<double>(i - start) / kRate;
            voice[i] += static_cast<float>((i == start ? 0.5 : 0.0) +
                                           0.3 * std::exp(-t * 300.0) * std::sin(2.0 * 3.14159265358979 * 700.0 * t));
        }
    }
    // Largest normalised autocorrelation within 2 % of `lag`, over the last
    // two thirds.
    const auto periodicity = [&](const std::vector<float>& s, double lag) {
        const std::size_t from = s.size() / 3, to = s.size() - static_cast<std::size_t>(1.05 * lag);
        double best = 0.0;
        for (auto l = static_cast<std::size_t>(0.98 * lag); l <= static_cast<std::size_t>(1.02 * lag) + 1; ++l) {
            double xy = 0.0, xx = 0.0, yy = 0.0;
            for (std::size_t i = from; i < to; ++i) {
                xy += static_cast<double>(s[i]) * s[i + l];
                xx += static_cast<double>(s[i]) * s[i];
                yy += static_cast<double>(s[i + l]) * s[i + l];
            }
            best = std::max(best, xy / std::sqrt(xx * yy + 1e-30));
        }
        return best;
    };
    const double input = periodicity(voice, period);
    for (bool hq : {false, true}) {
        vcmd::PitchShifter shifter;
        shifter.configure(kRate, hq);
        shifter.jumpSemitones(-5.0f);
        std::vector<float> out = voice;
        for (std::size_t i = 0; i < n; i += 256) {
            float* io[1] = {out.data() + i};
            shifter.process(io, 1, static_cast<int>(std::min<std::size_t>(256, n - i)));
        }
        const double output = periodicity(out, period / std::pow(2.0, -5.0 / 12.0));
        EXPECT_GT(output, 0.4 * input) << "high quality " << hq << ": input periodicity " << input;
    }
}
