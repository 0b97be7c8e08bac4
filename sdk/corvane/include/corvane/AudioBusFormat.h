// AudioBusFormat.h - what a bus carries.
#pragma once

#include <cstdint>
#include <vector>

#include "corvane/Export.h"

namespace corvane {

// A zero field means "not set yet".
struct CORVANE_API AudioBusFormat {
    std::uint32_t sampleRate = 0;        // frames per second
    std::uint32_t numberOfChannels = 0;
    std::uint32_t framesPerBlock = 0;    // largest block the host will send

    // Agrees an input and an output format, field by field:
    //  - a field set on one side only is copied to the other;
    //  - a field set on both sides must be equal;
    //  - a field unset on both sides stays unset.
    // Returns true and updates both formats when every field agrees; returns
    // false and changes neither when any set field differs.
    // [any-thread], no allocation.
    static bool matchBusFormats(AudioBusFormat& inputFormat, AudioBusFormat& outputFormat) noexcept;
};

struct AudioBusFormatList {
    std::vector<AudioBusFormat> formats;
};

}  // namespace corvane
