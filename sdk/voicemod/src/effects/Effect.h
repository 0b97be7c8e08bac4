// Effect.h - the interface every effect implements (background layers are
// generators: Generator.h).
#pragma once

namespace vcmd {

class Effect {
public:
    virtual ~Effect() = default;
    // [audio-thread] Moves setting `index` towards `value`; the effect ramps
    // to it so that no change is heard as a step.
    virtual void setTarget(int index, float value) noexcept = 0;
    // [audio-thread] Processes `frames` frames of `channels` channels in
    // place.
    virtual void process(float* const* io, int channels, int frames) noexcept = 0;
    // [audio-thread] Forgets all history; allocates nothing.
    virtual void reset() noexcept = 0;
    virtual unsigned latencyFrames() const noexcept { return 0; }
    // Whether the effect wants the voice's input (hear()) before each piece.
    virtual bool hearsInput() const noexcept { return false; }
    // [audio-thread] The voice's input for the piece about to be processed.
    virtual void hear(const float* const* /*input*/, int /*channels*/, int /*frames*/) noexcept {}
};

}  // namespace vcmd
