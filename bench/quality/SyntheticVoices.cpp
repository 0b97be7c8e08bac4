// SyntheticVoices.cpp - see SyntheticVoices.h.
//
// The source, period by period: each period starts where the last ended,
// its length 1 / F0 at its start times (1 + jitter x a Gaussian draw), its
// amplitude the phrase's envelope times (1 + shimmer x a Gaussian draw),
// times `weakPulse` on every other period. Within a period the glottal flow
// is Rosenberg's pulse: it opens over 5/7 of the open quotient (a raised
// cosine), closes over the remaining 2/7 (a quarter cosine) and stays shut;
// the closure ends with a jump of the flow's derivative, the main
// excitation, whose instant is the pulse's truth. The lip radiation is the
// flow's first difference; the breath is white noise gated by the flow (it
// flows while the glottis is open), scaled to the derivative's peak.
#include "SyntheticVoices.h"

#include <algorithm>
#include <cmath>

namespace quality {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLead = 0.2, kTail = 0.25, kRamp = 0.020;

// F1..F5 of five vowels for a man (Peterson and Barney's averages, F4 and
// F5 added); bandwidths of each resonator.
constexpr double kVowels[5][5] = {
    {730.0, 1090.0, 2440.0, 3400.0, 4500.0},  // a
    {270.0, 2290.0, 3010.0, 3700.0, 4500.0},  // i
    {300.0, 870.0, 2240.0, 3300.0, 4500.0},   // u
    {530.0, 1840.0, 2480.0, 3500.0, 4500.0},  // e
    {570.0, 840.0, 2410.0, 3400.0, 4500.0},   // o
};
constexpr double kBandwidths[5] = {60.0, 90.0, 120.0, 150.0, 200.0};

// A linear congruential generator: the same numbers on every machine.
class Random {
public:
    explicit Random(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
    double uniform() {  // [-1, 1)
        state_ = state_ * 1664525u + 1013904223u;
        return static_cast<double>(state_ >> 8) / 8388608.0 - 1.0;
    }
    double gaussian() {  // about unit variance: the sum of four uniforms
        return (uniform() + uniform() + uniform() + uniform()) * std::sqrt(0.75);
    }

private:
    std::uint32_t state_;
};

// Raised-cosine rise over kRamp after `begin` and fall before `end`.
double envelope(double t, double begin, double end) {
    const double in = std::min(1.0, (t - begin) / kRamp), out = std::min(1.0, (end - t) / kRamp);
    const double x = std::max(0.0, std::min(in, out));
    return 0.5 - 0.5 * std::cos(kPi * x);
}

double contourAt(const VoicedPhrase& p, double t) {
    const auto& c = p.contour;
    if (t <= c.front().first) return c.front().second;
    for (std::size_t k = 1; k < c.size(); ++k) {
        if (t <= c[k].first) {
            const double x = (t - c[k - 1].first) / (c[k].first - c[k - 1].first);
            return c[k - 1].second * std::pow(c[k].second / c[k - 1].second, x);
        }
    }
    return c.back().second;
}

// A two-pole resonator of unit gain at DC whose frequency may move.
struct Resonator {
    double a1 = 0.0, a2 = 0.0, gain = 1.0, y1 = 0.0, y2 = 0.0;
    void tune(double hz, double bandwidth, double rate) {
        const double r = std::exp(-kPi * bandwidth / rate);
        a1 = -2.0 * r * std::cos(2.0 * kPi * hz / rate);
        a2 = r * r;
        gain = 1.0 + a1 + a2;
    }
    double operator()(double x) {
        const double y = gain * x - a1 * y1 - a2 * y2;
        y2 = y1;
        y1 = y;
        return y;
    }
};

double peakOf(const std::vector<double>& x) {
    double peak = 1e-30;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    return peak;
}

// Gap after phrase k: fricative, plosive, silence, in turn.
double gapAfter(std::size_t k, std::size_t phrases) {
    if (k + 1 == phrases) return kTail;
    return k % 3 == 1 ? 0.2 : 0.15;
}

}  // namespace

std::vector<VoiceKind> voiceKinds() {
    using C = std::vector<std::pair<double, double>>;
    std::vector<VoiceKind> kinds;
    {
        VoiceKind k;
        k.name = "steady low, 60–90 Hz";
        k.phrases = {{1.0, C{{0, 90}, {1, 80}}, 0, 4}, {0.8, C{{0, 70}, {0.8, 66}}, 3, 1}, {1.0, C{{0, 64}, {1, 60}}, 4, 2}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "creaky, 72–90 Hz";
        k.weakPulse = 0.65;
        k.jitter = 0.015;
        k.phrases = {{1.0, C{{0, 90}, {1, 80}}, 0, 3}, {0.8, C{{0, 84}, {0.8, 76}}, 4, 0}, {1.0, C{{0, 80}, {1, 72}}, 3, 2}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "creaky, 105–115 Hz";
        k.weakPulse = 0.65;
        k.jitter = 0.015;
        k.phrases = {{1.0, C{{0, 115}, {1, 110}}, 1, 0}, {0.8, C{{0, 112}, {0.8, 105}}, 0, 4}, {1.0, C{{0, 110}, {1, 105}}, 2, 3}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "110 Hz";
        k.phrases = {{1.0, C{{0, 114}, {1, 108}}, 0, 1}, {0.8, C{{0, 112}, {0.8, 108}}, 2, 0}, {1.0, C{{0, 110}, {1, 104}}, 3, 4}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "glides, an octave in 200 ms";
        k.phrases = {{1.0, C{{0, 110}, {0.3, 110}, {0.5, 220}, {1, 220}}, 0, 3},
                     {0.8, C{{0, 220}, {0.3, 220}, {0.5, 110}, {0.8, 110}}, 4, 1},
                     {1.0, C{{0, 140}, {0.2, 140}, {0.4, 280}, {0.6, 280}, {0.8, 140}, {1, 140}}, 0, 2}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "vibrato, 200 Hz";
        k.formantScale = 1.15;
        k.vibratoHz = 5.5;
        k.vibratoSemitones = 1.0;
        k.phrases = {{1.0, C{{0, 200}}, 0, 3}, {0.8, C{{0, 196}}, 4, 0}, {1.0, C{{0, 204}}, 3, 1}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "breathy, 210 Hz";
        k.formantScale = 1.15;
        k.openQuotient = 0.8;
        k.breath = 0.25;
        k.phrases = {{1.0, C{{0, 215}, {1, 205}}, 0, 4}, {0.8, C{{0, 212}, {0.8, 206}}, 3, 0}, {1.0, C{{0, 210}, {1, 200}}, 1, 0}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "child, 300 Hz";
        k.formantScale = 1.3;
        k.phrases = {{1.0, C{{0, 310}, {1, 290}}, 0, 1}, {0.8, C{{0, 300}}, 4, 3}, {1.0, C{{0, 320}, {1, 280}}, 2, 0}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "sung notes, to 700 Hz";
        k.formantScale = 1.15;
        k.vibratoHz = 5.0;
        k.vibratoSemitones = 0.3;
        k.phrases = {{1.0, C{{0, 440}, {0.3, 440}, {0.33, 523}, {0.6, 523}, {0.63, 587}}, 0, 0},
                     {0.8, C{{0, 659}, {0.4, 659}, {0.43, 698}, {0.6, 698}, {0.63, 587}}, 3, 3},
                     {1.0, C{{0, 700}, {0.4, 700}, {0.43, 523}, {0.7, 523}, {0.73, 440}}, 4, 0}};
        kinds.push_back(k);
    }
    {
        VoiceKind k;
        k.name = "F1 on the second harmonic";
        k.f1AtTwiceF0 = true;
        k.phrases = {{1.0, C{{0, 160}, {1, 140}}, 4, 2}, {0.8, C{{0, 150}, {0.8, 130}}, 2, 4}, {1.0, C{{0, 145}, {1, 160}}, 0, 4}};
        kinds.push_back(k);
    }
    return kinds;
}

double SyntheticVoice::f0At(double seconds) const {
    for (std::size_t k = 0; k < voiced.size(); ++k) {
        if (seconds < voiced[k].first || seconds >= voiced[k].second) continue;
        const double t = seconds - voiced[k].first;
        const double vibrato = kind.vibratoSemitones * std::sin(2.0 * kPi * kind.vibratoHz * t);
        return contourAt(kind.phrases[k], t) * std::exp2(vibrato / 12.0);
    }
    return 0.0;
}

SyntheticVoice makeVoice(const VoiceKind& kind, double rate, std::uint32_t seed) {
    SyntheticVoice v;
    v.name = kind.name;
    v.rate = rate;
    v.kind = kind;
    double t = kLead;
    for (std::size_t k = 0; k < kind.phrases.size(); ++k) {
        v.voiced.emplace_back(t, t + kind.phrases[k].seconds);
        t += kind.phrases[k].seconds + gapAfter(k, kind.phrases.size());
    }
    const std::size_t n = static_cast<std::size_t>(std::ceil(t * rate));
    std::vector<double> voiced(n, 0.0), unvoiced(n, 0.0);
    Random random(seed);

    const double opening = kind.openQuotient * 5.0 / 7.0, closing = kind.openQuotient * 2.0 / 7.0;
    for (std::size_t k = 0; k < kind.phrases.size(); ++k) {
        const double begin = v.voiced[k].first, end = v.voiced[k].second;
        const std::size_t i0 = static_cast<std::size_t>(std::ceil(begin * rate));
        const std::size_t i1 = std::min(n, static_cast<std::size_t>(std::ceil(end * rate)));
        // The source: flow derivative and breath.
        std::vector<double> source(i1 - i0, 0.0);
        double phase = 1.0, increment = 0.0, amplitude = 0.0, flowBefore = 0.0;
        bool weak = true;
        for (std::size_t i = i0; i < i1; ++i) {
            const double time = static_cast<double>(i) / rate;
            if (phase >= 1.0) {  // a new period
                phase = std::max(0.0, phase - 1.0);
                const double f0 = v.f0At(time) * (1.0 + kind.jitter * random.gaussian());
                increment = f0 / rate;
                weak = !weak;
                amplitude = (1.0 + kind.shimmer * random.gaussian()) * (weak ? kind.weakPulse : 1.0);
            }
            const double closure = opening + closing;
            if (phase < closure && phase + increment >= closure)
                v.pulses.push_back(time + (closure - phase) / increment / rate);
            double g = 0.0;
            if (phase < opening) g = 0.5 * (1.0 - std::cos(kPi * phase / opening));
            else if (phase < closure) g = std::cos(0.5 * kPi * (phase - opening) / closing);
            const double flow = amplitude * envelope(time, begin, end) * g;
            const double derivativePeak = 0.5 * kPi * increment / closing;
            source[i - i0] = flow - flowBefore + kind.breath * derivativePeak * flow * random.gaussian();
            flowBefore = flow;
            phase += increment;
        }
        // Five resonators in cascade, retuned every 16 samples.
        Resonator resonators[5];
        for (std::size_t i = 0; i < source.size(); ++i) {
            if (i % 16 == 0) {
                const double time = static_cast<double>(i) / rate, x = time / kind.phrases[k].seconds;
                const double glide = x * x * (3.0 - 2.0 * x);  // smoothstep from one vowel to the other
                for (int f = 0; f < 5; ++f) {
                    const double from = kVowels[kind.phrases[k].fromVowel][f], to = kVowels[kind.phrases[k].toVowel][f];
                    double hz = (from + glide * (to - from)) * kind.formantScale, bw = kBandwidths[f];
                    if (f == 0 && kind.f1AtTwiceF0) {
                        hz = 2.0 * v.f0At(begin + time);
                        bw = 50.0;
                    }
                    resonators[f].tune(hz, bw, rate);
                }
            }
            double y = source[i];
            for (Resonator& r : resonators) y = r(y);
            voiced[i0 + i] = y;
        }
    }
    const double scale = 0.5 / peakOf(voiced);
    for (double& x : voiced) x *= scale;

    // The unvoiced stretches, at levels against the vowels' peak of 0.5.
    for (std::size_t k = 0; k + 1 < kind.phrases.size(); ++k) {
        const double begin = v.voiced[k].second, end = v.voiced[k + 1].first;
        const std::size_t i0 = static_cast<std::size_t>(begin * rate), i1 = std::min(n, static_cast<std::size_t>(end * rate));
        if (k % 3 == 0) {  // a fricative like /s/: noise resonating near 5 kHz, 30 ms in from each side
            Resonator hiss;
            hiss.tune(std::min(5000.0, 0.4 * rate), 2000.0, rate);
            double before = 0.0;
            for (std::size_t i = i0; i < i1; ++i) {
                const double time = static_cast<double>(i) / rate;
                const double x = hiss(random.uniform());
                unvoiced[i] = 0.15 * envelope(time, begin + 0.03, end - 0.03) * (x - before);
                before = x;
            }
        } else if (k % 3 == 1) {  // a plosive: 100 ms closure, a 5 ms burst, 40 ms of aspiration
            const double burst = begin + 0.1;
            for (std::size_t i = static_cast<std::size_t>(burst * rate); i < i1; ++i) {
                const double after = static_cast<double>(i) / rate - burst;
                if (after > 0.045) break;
                const double level = after < 0.005 ? 0.25 : 0.03 * std::exp(-(after - 0.005) / 0.015);
                unvoiced[i] = level * random.uniform();
            }
        }
    }
    v.samples.resize(n);
    for (std::size_t i = 0; i < n; ++i) v.samples[i] = static_cast<float>(voiced[i] + unvoiced[i]);
    return v;
}

std::vector<float> withPinkNoise(const SyntheticVoice& voice, double snrDb, std::uint32_t seed) {
    double power = 0.0;
    std::size_t count = 0;
    for (const auto& stretch : voice.voiced) {
        for (std::size_t i = static_cast<std::size_t>(stretch.first * voice.rate);
             i < std::min(voice.samples.size(), static_cast<std::size_t>(stretch.second * voice.rate)); ++i, ++count)
            power += static_cast<double>(voice.samples[i]) * voice.samples[i];
    }
    power /= static_cast<double>(std::max<std::size_t>(count, 1));

    // Paul Kellet's refined pink filter, settled for a second first.
    Random random(seed);
    double b[7] = {};
    const std::size_t settle = static_cast<std::size_t>(voice.rate);
    std::vector<double> pink(voice.samples.size());
    double noisePower = 0.0;
    for (std::size_t i = 0; i < settle + pink.size(); ++i) {
        const double w = random.uniform();
        b[0] = 0.99886 * b[0] + w * 0.0555179;
        b[1] = 0.99332 * b[1] + w * 0.0750759;
        b[2] = 0.96900 * b[2] + w * 0.1538520;
        b[3] = 0.86650 * b[3] + w * 0.3104856;
        b[4] = 0.55000 * b[4] + w * 0.5329522;
        b[5] = -0.7616 * b[5] - w * 0.0168980;
        const double p = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
        b[6] = w * 0.115926;
        if (i >= settle) {
            pink[i - settle] = p;
            noisePower += p * p;
        }
    }
    noisePower /= static_cast<double>(std::max<std::size_t>(pink.size(), 1));
    const double gain = std::sqrt(power / std::pow(10.0, snrDb / 10.0) / noisePower);
    std::vector<double> mixed(pink.size());
    for (std::size_t i = 0; i < pink.size(); ++i) mixed[i] = voice.samples[i] + gain * pink[i];
    // Kept under full scale: a level change leaves the ratio as it is.
    const double scale = std::min(1.0, 0.9 / peakOf(mixed));
    std::vector<float> out(mixed.size());
    for (std::size_t i = 0; i < mixed.size(); ++i) out[i] = static_cast<float>(scale * mixed[i]);
    return out;
}

}  // namespace quality
