// AudioBus.h - a bus: a view of an AudioBuffer<float> flowing between nodes.
#pragma once

#include <vector>

#include "corvane/AudioBuffer.h"
#include "corvane/Export.h"

namespace corvane {

struct CORVANE_API AudioBus {
    AudioBuffer<float>* buffer = nullptr;  // not owned

    // Copies `other`'s samples into this bus: for each channel both buses
    // have, the frames both have; channels this bus has beyond `other`'s are
    // zeroed. A bus without a buffer copies nothing. Copying a bus onto
    // itself does nothing. [audio-thread] safe: no allocation, no lock.
    void copyFrom(const AudioBus& other) noexcept;
};

struct AudioBusList {
    std::vector<AudioBus> buses;
};

}  // namespace corvane
