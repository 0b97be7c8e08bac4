// SingleBusAudioProcessorNode.h - a processor with one input and one output bus.
#pragma once

#include "corvane/AudioProcessorNode.h"
#include "corvane/Export.h"

namespace corvane {

// Hands the first bus of each list to the single-bus operations. A list
// without a bus makes the list operations return false without calling them.
class CORVANE_API SingleBusAudioProcessorNode : public AudioProcessorNode {
public:
    SingleBusAudioProcessorNode() = default;
    ~SingleBusAudioProcessorNode() override;

    bool setBusFormats(AudioBusFormatList& inputFormats, AudioBusFormatList& outputFormats) override;
    bool process(AudioBusList& inputBuses, AudioBusList& outputBuses) override;

    // Same thread rules as the list forms.
    virtual bool setBusFormat(AudioBusFormat& inputBusFormat, AudioBusFormat& outputBusFormat) = 0;
    virtual bool process(AudioBus& inputBus, AudioBus& outputBus) = 0;
};

}  // namespace corvane
