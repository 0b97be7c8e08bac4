// Node.h - a node of the host's graph.
#pragma once

#include "corvane/CorvaneObject.h"
#include "corvane/Export.h"

namespace corvane {

// Adds nothing yet to CorvaneObject; graph nodes derive from it.
class CORVANE_API Node : public CorvaneObject {
public:
    Node() = default;
    ~Node() override;
};

}  // namespace corvane
