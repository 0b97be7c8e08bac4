// FormantShifterTest.cpp - the formant stage after the pitch shifter, on
// its own: idle (the shifter's output untouched) while the formants follow
// the pitch, and back to exact silence after sound once set apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <cmath>
#include <vector>

#include "pitch/FormantShifter.h"
#include "pitch/PitchShifter.h"

namespace {

constexpr double kRate = 48000.0;

// A buzz with a moving formant-like colouring: harmonics of 130 Hz whose
// weights drift over time.
std::vector<float> buzz(std::size_t frames) {
    std::vector<float> s(frames);
    for (std::size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / kRate;
        double v = 0.0;
        for (int h = 1; h <= 30; ++h) {
            const double f = 130.0 * h, centre = 800.0 + 400.0 * std::sin(2.0 * t);
            v += std::sin(2.0 * 3.14159265358979 * f * t) / (1.0 + std::pow((f - centre) / 300.0, 2.0));
        }
        s[i] = static_cast<float>(0.1 * v);
    }
    return s;
}

struct Stage {
    vcmd::PitchShifter shifter;
    vcmd::FormantShifter formants;
    bool withFormants;
    Stage(float pitch, float formant, bool with) : withFormants(with) {
        shifter.configure(kRate, false);
        shifter.jumpSemitones(pitch);
        formants.configure(kRate, static_cast<int>(shifter.latencyFrames()));
        formants.jumpPitch(pitch);
        formants.jumpFormant(formant);
    }
    void run(std::vector<float>& l, std::vector<float>& r, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; i += 256) {
            float* io[2] = {l.data() + i, r.data() + i};
            const int n = static_cast<int>(std::min<std::size_t>(256, end - i));
            if (withFormants) formants.hear(io, 2, n);
            shifter.process(io, 2, n);
            if (withFormants) formants.process(io, 2, n);
        }
    }
};

// Formant equal to pitch is the shifter alone, bit for bit; moved apart
// the output changes (after the crossfade) and stays finite and bounded;
// moved back together it is the shifter's output again once the crossfade
// is over.
TEST(FormantShifter, IdleWhileFollowingThePitchAndEngagedOnlyWhileApart) {
    const std::size_t n = static_cast<std::size_t>(1.5 * kRate), third = n / 3;
    const std::vector<float> input = buzz(n);
    std::vector<float> l0 = input, r0 = input, l1 = input, r1 = input;
    Stage alone(5.0f, 5.0f, false), staged(5.0f, 5.0f, true);
    alone.run(l0, r0, 0, n);
    staged.run(l1, r1, 0, third);
    staged.formants.setFormant(-3.0f);
    staged.run(l1, r1, third, 2 * third);
    staged.formants.setFormant(5.0f);
    staged.run(l1, r1, 2 * third, n);
    // The stage's output lags the shifter's by its latency.
    const auto lag = static_cast<std::size_t>(staged.formants.latencyFrames());
    const auto alone0 = [&](std::size_t i) { return i >= lag ? l0[i - lag] : 0.0f; };
    for (std::size_t i = 0; i < third; ++i) ASSERT_EQ(l1[i], alone0(i)) << i;
    double moved = 0.0, power = 0.0;
    for (std::size_t i = third + 2048; i < 2 * third; ++i) {
        ASSERT_TRUE(std::isfinite(l1[i]) && std::fabs(l1[i]) < 4.0f) << i;
        moved += (l1[i] - alone0(i)) * (l1[i] - alone0(i));
        power += alone0(i) * alone0(i);
    }
    EXPECT_GT(moved, 0.05 * power);
    const std::size_t settled = 2 * third + static_cast<std::size_t>(0.021 * kRate) + lag;
    for (std::size_t i = settled; i < n; ++i) ASSERT_EQ(l1[i], alone0(i)) << i;
    for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(l1[i], r1[i]) << i;
}

// Set apart, loud sound followed by silence comes out as exact silence
// once the shifter's history has emptied: the filters hold no tail.
TEST(FormantShifter, SoundThenSilenceEndsInExactSilence) {
    for (float formant : {-12.0f, 4.0f, 12.0f}) {
        const std::size_t n = static_cast<std::size_t>(kRate);
        std::vector<float> l = buzz(n), r = l;
        for (std::size_t i = n / 2; i < n; ++i) l[i] = r[i] = 0.0f;
        Stage staged(-7.0f, formant, true);
        staged.run(l, r, 0, n);
        for (std::size_t i = n / 2 + static_cast<std::size_t>(0.1 * kRate); i < n; ++i)
            ASSERT_EQ(l[i], 0.0f) << "formant " << formant << ", frame " << i;
    }
}

// Tones are where the models get sharp: an amplitude-modulated tone and
// gated sine bursts, shifted with the formants set apart every way, never
// come out more than 2.5 times as loud (peak) as they went in.
TEST(FormantShifter, TonesStayWithinTheirLevel) {
    const std::size_t n = static_cast<std::size_t>(kRate);
    for (int signal = 0; signal < 2; ++signal)
        for (float pitch : {-12.0f, 0.0f, 12.0f})
            for (float formant : {-12.0f, 4.0f, 12.0f}) {
                if (pitch == formant) continue;
                std::vector<float> l(n);
                for (std::size_t i = 0; i < n; ++i) {
                    const double t = static_cast<double>(i) / kRate;
                    l[i] = signal == 0 ? static_cast<float>(0.3 * std::sin(0.02 * i) * std::sin(0.0007 * i) + 0.1 * std::sin(0.31 * i))
                                       : static_cast<float>(0.5 * std::sin(2.0 * 3.14159265358979 * 440.0 * t) *
                                                            (std::fmod(t, 0.25) < 0.1 ? 1.0 : 0.0));
                }
                float in = 0.0f;
                for (float v : l) in = std::max(in, std::fabs(v));
                std::vector<float> r = l;
                Stage staged(pitch, formant, true);
                staged.run(l, r, 0, n);
                float out = 0.0f;
                for (float v : l) out = std::max(out, std::fabs(v));
                EXPECT_LE(out, 2.5f * in) << "signal " << signal << ", pitch " << pitch << ", formant " << formant;
            }
}

}  // namespace

// Configuring for a rate gives the same stage whatever rate it had before:
// an engine moved from 44.1 to 96 kHz sounds as one started at 96 kHz.
TEST(FormantShifter, AStageConfiguredAgainMatchesOneConfiguredOnce) {
    const std::vector<float> input = buzz(static_cast<std::size_t>(0.5 * kRate));
    std::vector<float> out[2];
    for (int again = 0; again < 2; ++again) {
        vcmd::PitchShifter shifter;
        vcmd::FormantShifter formants;
        if (again) {
            shifter.configure(44100.0, false);
            formants.configure(44100.0, static_cast<int>(shifter.latencyFrames()));
        }
        shifter.configure(96000.0, false);
        formants.configure(96000.0, static_cast<int>(shifter.latencyFrames()));
        shifter.jumpSemitones(-7.0f);
        formants.jumpPitch(-7.0f);
        formants.jumpFormant(2.0f);
        out[again] = input;
        for (std::size_t i = 0; i + 256 <= input.size(); i += 256) {
            float* io[1] = {out[again].data() + i};
            formants.hear(io, 1, 256);
            shifter.process(io, 1, 256);
            formants.process(io, 1, 256);
        }
    }
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_EQ(out[1][i], out[0][i]) << i;
}

// The inner loops built for wide vectors give the baseline build's output
// up to rounding, on two different channels, with the formants moved both
// ways against the pitch. (Where the CPU or the build has no wide build
// there is nothing to compare.)
TEST(FormantShifter, TheWideKernelsGiveTheBaselineKernelsOutput) {
    const vcmd::FormantKernels* wide = vcmd::wideFormantKernels();
    if (wide == nullptr) GTEST_SKIP() << "no wide kernels on this CPU or build";
    const std::size_t n = static_cast<std::size_t>(0.6 * kRate);
    const std::vector<float> left = buzz(n);
    std::vector<float> right(n);
    for (std::size_t i = 0; i < n; ++i) right[i] = 0.7f * left[(i * 7) % n];
    for (const auto& shift : {std::pair<float, float>{-7.0f, 0.0f}, std::pair<float, float>{5.0f, 9.0f}}) {
        std::vector<float> out[2][2];
        for (int build = 0; build < 2; ++build) {
            vcmd::PitchShifter shifter;
            vcmd::FormantShifter formants;
            shifter.configure(kRate, false);
            formants.configure(kRate, static_cast<int>(shifter.latencyFrames()));
            formants.useKernels(build == 0 ? vcmd::baselineFormantKernels() : *wide);
            shifter.jumpSemitones(shift.first);
            formants.jumpPitch(shift.first);
            formants.jumpFormant(shift.second);
            out[build][0] = left;
            out[build][1] = right;
            for (std::size_t i = 0; i + 100 <= n; i += 100) {
                float* io[2] = {out[build][0].data() + i, out[build][1].data() + i};
                formants.hear(io, 2, 100);
                shifter.process(io, 2, 100);
                formants.process(io, 2, 100);
            }
        }
        for (int c = 0; c < 2; ++c) {
            float peak = 0.0f, apart = 0.0f;
            for (std::size_t i = 0; i < n; ++i) {
                peak = std::max(peak, std::fabs(out[0][c][i]));
                apart = std::max(apart, std::fabs(out[1][c][i] - out[0][c][i]));
            }
            ASSERT_GT(peak, 0.05f);
            EXPECT_LT(apart, 1e-3f * peak) << "pitch " << shift.first << ", formant " << shift.second << ", channel " << c;
        }
    }
}

// The half-band pair the stage runs the correction through: down and up
// again, a tone in the lower band comes back kLatency frames late, within
// 0.1 dB; the decimator leaves a tone in the upper band over 66 dB down
// (what keeps the image of a moved tone's correction under -60 dB);
// and its delayed output is the input kLatency frames late, exactly. Odd
// blocks move the pairing from call to call.
TEST(HalfBand, APairGivesTheLowerBandBackLateAndKeepsTheUpperBandOut) {
    vcmd::HalfBand taps;
    taps.design();
    for (double hz : {1000.0, 9000.0, 16000.0}) {
        vcmd::HalfBandDecimator down;
        vcmd::HalfBandInterpolator up;
        down.configure(taps);
        up.configure(taps);
        const std::size_t n = 4800;
        std::vector<float> in(n), late(n), low, back;
        for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<float>(std::sin(2.0 * 3.14159265358979 * hz * i / kRate));
        for (std::size_t i = 0; i < n;) {
            const int frames = static_cast<int>(std::min<std::size_t>(i % 2 == 0 ? 255 : 98, n - i));
            const bool starts = down.pairStarts();
            float part[vcmd::HalfBandInterpolator::kMaxSamples], first[vcmd::HalfBandInterpolator::kMaxSamples],
                second[vcmd::HalfBandInterpolator::kMaxSamples];
            const int m = down.process(in.data() + i, frames, part, late.data() + i);
            ASSERT_EQ(m, (frames + (starts ? 1 : 0)) / 2);
            up.process(part, m, first, second);
            for (int k = 0; k < m; ++k) {
                low.push_back(part[k]);
                back.push_back(first[k]);
                back.push_back(second[k]);
            }
            i += static_cast<std::size_t>(frames);
        }
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(late[i], i >= vcmd::HalfBand::kLatency ? in[i - vcmd::HalfBand::kLatency] : 0.0f) << i;
        double worst = 0.0, lowPower = 0.0;
        for (std::size_t i = 200; i < n; ++i) worst = std::max(worst, std::fabs(back[i] - static_cast<double>(late[i])));
        for (std::size_t k = 100; k < low.size(); ++k) lowPower += low[k] * low[k] / (low.size() - 100);
        if (hz < 10000.0) {
            EXPECT_LT(worst, 0.012) << hz << " Hz";
        } else {
            EXPECT_LT(std::sqrt(2.0 * lowPower), 0.0005) << hz << " Hz";
        }
    }
}
