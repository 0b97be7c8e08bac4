// Extension.h - a unit of functionality registered with the host.
#pragma once

#include <memory>
#include <string>

#include "corvane/CVAny.h"
#include "corvane/CorvaneObject.h"
#include "corvane/Export.h"
#include "corvane/Result.h"

namespace corvane {

class NodeFactory;

// An extension names itself and hands out node factories. [main-thread].
class CORVANE_API Extension : public CorvaneObject {
public:
    Extension() = default;
    ~Extension() override;

    // Host-side set-up and tear-down; the defaults succeed and do nothing.
    virtual Result<void> initialize(const CVAnyMap& configuration);
    virtual Result<void> deinitialize();

    // The name the ExtensionManager finds the extension by.
    virtual std::string getName() = 0;
    // A factory for the extension's node types.
    virtual std::shared_ptr<NodeFactory> getNodeFactory() = 0;
};

}  // namespace corvane
