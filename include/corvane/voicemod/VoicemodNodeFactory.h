// VoicemodNodeFactory.h - the extension's node factory.
#pragma once

#include <string>

#include <corvane/CVAny.h>
#include <corvane/Node.h>
#include <corvane/NodeFactory.h>

#include "corvane/voicemod/Export.h"

namespace corvane::extensions::voicemod {

// Carries the node-type prefix "Voicemod" and makes no nodes: applications
// construct VoicemodNode themselves. Holds no state.
class CORVANE_VOICEMOD_API VoicemodNodeFactory : public NodeFactory {
public:
    // [any-thread]; no allocation beyond the object itself.
    VoicemodNodeFactory();
    ~VoicemodNodeFactory() override;

private:
    // [any-thread] Always "Voicemod". Allocates the string.
    std::string getNodeTypePrefix() override;
    // [any-thread] Always null, for every type and configuration.
    Node* createNode(const std::string& type, const CVAnyMap& config) override;
};

}  // namespace corvane::extensions::voicemod
