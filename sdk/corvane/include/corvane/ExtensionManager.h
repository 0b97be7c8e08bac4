// ExtensionManager.h - the process-wide registry of extensions.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "corvane/Export.h"
#include "corvane/Extension.h"

namespace corvane {

// Keeps every registered extension alive until it is cleared. Every function
// is [any-thread]: it takes the manager's lock and may allocate.
class CORVANE_API ExtensionManager {
public:
    static ExtensionManager& getInstance();

    // Keeps `extension`. Several extensions may carry the same name; all are
    // kept, in registration order. A null pointer is ignored.
    void registerExtension(std::shared_ptr<Extension> extension);

    // Every registered extension, in registration order.
    std::vector<std::shared_ptr<Extension>> getExtensions() const;

    // The first extension registered under `name`, or null.
    std::shared_ptr<Extension> findExtension(const std::string& name) const;

    // Drops every extension (tests and shutdown).
    void clear();

    ExtensionManager(const ExtensionManager&) = delete;
    ExtensionManager& operator=(const ExtensionManager&) = delete;

private:
    ExtensionManager() = default;

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Extension>> extensions_;
};

}  // namespace corvane
