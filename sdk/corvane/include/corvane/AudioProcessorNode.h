// AudioProcessorNode.h - an audio node with input and output buses.
#pragma once

#include "corvane/AudioBus.h"
#include "corvane/AudioBusFormat.h"
#include "corvane/AudioNode.h"
#include "corvane/Export.h"

namespace corvane {

class CORVANE_API AudioProcessorNode : public AudioNode {
public:
    AudioProcessorNode() = default;
    ~AudioProcessorNode() override;

    // Agrees the formats of all buses before processing; false when they
    // cannot be agreed. Called on the thread that configures the graph,
    // never concurrently with process().
    virtual bool setBusFormats(AudioBusFormatList& inputFormats, AudioBusFormatList& outputFormats) = 0;

    // Processes one block. [audio-thread]: must not allocate, lock or block.
    virtual bool process(AudioBusList& inputBuses, AudioBusList& outputBuses) = 0;
};

}  // namespace corvane
