// Shifters.cpp - see Shifters.h.
#include "Shifters.h"

#include <algorithm>
#include <cmath>

#include "pitch/FormantShifter.h"
#include "pitch/PitchShifter.h"
#include "pitch/PitchSynchronous.h"

#ifdef QUALITY_WITH_RUBBERBAND
#include <rubberband/RubberBandStretcher.h>
#endif
#ifdef QUALITY_WITH_SOUNDTOUCH
#include <soundtouch/SoundTouch.h>
#endif

namespace quality {
namespace {

constexpr int kBlock = 256;

// Drops the first `delay` samples and keeps the input's length.
std::vector<float> aligned(std::vector<float> out, std::size_t delay, std::size_t length) {
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(delay, out.size())));
    out.resize(length, 0.0f);
    return out;
}

Shifted ours(const std::vector<float>& input, double rate, double pitch, double formant, bool offline,
             bool synchronous = false) {
    vcmd::PitchShifter shifter;
    shifter.configure(rate, offline);
    shifter.jumpSemitones(static_cast<float>(pitch));
    vcmd::FormantShifter formants;
    formants.configure(rate, static_cast<int>(shifter.latencyFrames()));
    formants.jumpPitch(static_cast<float>(pitch));
    formants.jumpFormant(static_cast<float>(formant));
    const std::size_t delay = shifter.latencyFrames() + static_cast<std::size_t>(formants.latencyFrames());
    vcmd::PitchSynchronous voiced;
    if (synchronous) {
        voiced.configure(rate, static_cast<int>(delay));
        voiced.jumpPitch(static_cast<float>(pitch));
        voiced.jumpFormant(static_cast<float>(formant));
    }
    std::vector<float> s = input;
    s.resize(input.size() + delay, 0.0f);
    for (std::size_t i = 0; i < s.size(); i += kBlock) {
        float* io[1] = {s.data() + i};
        const int n = static_cast<int>(std::min<std::size_t>(kBlock, s.size() - i));
        formants.hear(io, 1, n);
        if (synchronous) voiced.hear(io, 1, n);
        shifter.process(io, 1, n);
        formants.process(io, 1, n);
        if (synchronous) voiced.process(io, 1, n);
    }
    return {true, aligned(std::move(s), delay, input.size()), static_cast<double>(delay) / rate};
}

#ifdef QUALITY_WITH_RUBBERBAND
Shifted rubberBand(const std::vector<float>& input, double rate, double pitch, double formant, bool r3) {
    using RB = RubberBand::RubberBandStretcher;
    const bool preserve = formant != pitch;
    if (!r3 && preserve && formant != 0.0) return {};
    RB::Options options = RB::OptionProcessRealTime | (r3 ? RB::OptionEngineFiner : RB::OptionEngineFaster);
    if (preserve) options |= RB::OptionFormantPreserved;
    if (!r3) options |= RB::OptionPitchHighConsistency;
    const double pitchScale = std::exp2(pitch / 12.0);
    RB rb(static_cast<std::size_t>(rate), 1, options, 1.0, pitchScale);
    if (r3 && preserve && formant != 0.0) rb.setFormantScale(std::exp2(formant / 12.0) / pitchScale);
    rb.setMaxProcessSize(kBlock);
    // As the library asks: pad the start, then drop its stated delay.
    const std::size_t pad = rb.getPreferredStartPad(), delay = rb.getStartDelay();
    std::vector<float> stream(pad, 0.0f);
    stream.insert(stream.end(), input.begin(), input.end());
    stream.resize(stream.size() + delay + 4 * kBlock, 0.0f);
    std::vector<float> out, piece(static_cast<std::size_t>(kBlock) * 4);
    for (std::size_t i = 0; i < stream.size(); i += kBlock) {
        const float* in[1] = {stream.data() + i};
        rb.process(in, std::min<std::size_t>(kBlock, stream.size() - i), false);
        for (int got; (got = rb.available()) > 0;) {
            float* o[1] = {piece.data()};
            const std::size_t n = rb.retrieve(o, std::min<std::size_t>(static_cast<std::size_t>(got), piece.size()));
            out.insert(out.end(), piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(n));
        }
    }
    return {true, aligned(std::move(out), delay, input.size()), static_cast<double>(delay) / rate};
}
#endif

#ifdef QUALITY_WITH_SOUNDTOUCH
Shifted soundTouch(const std::vector<float>& input, double rate, double pitch, double formant) {
    if (formant != pitch) return {};
    soundtouch::SoundTouch st;
    st.setSampleRate(static_cast<unsigned>(rate));
    st.setChannels(1);
    st.setPitchSemiTones(static_cast<float>(pitch));
    // Its initial latency is how much input it takes in before the first
    // output comes out; the stream it hands out is not preceded by that
    // much silence but starts about where the input starts, so nothing is
    // dropped.
    const auto delay = static_cast<std::size_t>(st.getSetting(SETTING_INITIAL_LATENCY));
    std::vector<float> stream = input, out, piece(kBlock);
    stream.resize(stream.size() + delay + 8 * kBlock, 0.0f);
    for (std::size_t i = 0; i < stream.size(); i += kBlock) {
        st.putSamples(stream.data() + i, static_cast<unsigned>(std::min<std::size_t>(kBlock, stream.size() - i)));
        for (unsigned got; (got = st.receiveSamples(piece.data(), kBlock)) > 0;)
            out.insert(out.end(), piece.begin(), piece.begin() + got);
    }
    return {true, aligned(std::move(out), 0, input.size()), static_cast<double>(delay) / rate};
}
#endif

}  // namespace

std::vector<Shifter> availableShifters() {
    std::vector<Shifter> s = {Shifter::Ours, Shifter::OursOffline, Shifter::OursSynchronous};
#ifdef QUALITY_WITH_RUBBERBAND
    s.push_back(Shifter::RubberBandR3);
    s.push_back(Shifter::RubberBandR2);
#endif
#ifdef QUALITY_WITH_SOUNDTOUCH
    s.push_back(Shifter::SoundTouch);
#endif
    return s;
}

std::string shifterName(Shifter s) {
    switch (s) {
        case Shifter::Ours: return "ours (real time)";
        case Shifter::OursOffline: return "ours (offline)";
        case Shifter::RubberBandR3: return "Rubber Band R3 (finer)";
        case Shifter::RubberBandR2: return "Rubber Band R2 (faster)";
        case Shifter::SoundTouch: return "SoundTouch";
        case Shifter::OursSynchronous: return "ours, pitch-synchronous (real time)";
    }
    return "?";
}

Shifted shift(Shifter s, const std::vector<float>& input, double rate, double pitch, double formant) {
    switch (s) {
        case Shifter::Ours: return ours(input, rate, pitch, formant, false);
        case Shifter::OursOffline: return ours(input, rate, pitch, formant, true);
        case Shifter::OursSynchronous: return ours(input, rate, pitch, formant, false, true);
#ifdef QUALITY_WITH_RUBBERBAND
        case Shifter::RubberBandR3: return rubberBand(input, rate, pitch, formant, true);
        case Shifter::RubberBandR2: return rubberBand(input, rate, pitch, formant, false);
#endif
#ifdef QUALITY_WITH_SOUNDTOUCH
        case Shifter::SoundTouch: return soundTouch(input, rate, pitch, formant);
#endif
        default: return {};
    }
}

}  // namespace quality
