// Generator.h - the interface every background layer implements: a sound of
// its own (noise, hum, a tone), made a piece at a time and mixed by the
// chain after the effects, at the level the background switch ramps to.
#pragma once

namespace vcmd {

class Generator {
public:
    virtual ~Generator() = default;
    // [audio-thread] Moves setting `index` towards `value`; the layer ramps
    // to it so that no change is heard as a step.
    virtual void setTarget(int index, float value) noexcept = 0;
    // [audio-thread] Adds the next `frames` samples of the sound to `mix`
    // (one channel).
    virtual void generate(float* mix, int frames) noexcept = 0;
    // [audio-thread] Starts the sound again from its beginning; allocates nothing.
    virtual void reset() noexcept = 0;
};

}  // namespace vcmd
