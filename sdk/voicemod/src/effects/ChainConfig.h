// ChainConfig.h - what every effect of a voice is built for: the sample rate
// and whether the engine renders offline (where the pitch stage may look
// further ahead for a better result, at a longer delay).
#pragma once

namespace vcmd {

struct ChainConfig {
    double sampleRate = 48000.0;
    bool offline = false;
};

}  // namespace vcmd
