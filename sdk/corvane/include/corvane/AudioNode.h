// AudioNode.h - a graph node that deals with audio.
#pragma once

#include <string>

#include "corvane/Export.h"
#include "corvane/Node.h"

namespace corvane {

class CORVANE_API AudioNode : public Node {
public:
    AudioNode() = default;
    ~AudioNode() override;

    // A name for people; the default is "Audio node". [main-thread]
    virtual std::string getDisplayName() const;
};

}  // namespace corvane
