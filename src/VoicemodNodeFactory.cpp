#include "corvane/voicemod/VoicemodNodeFactory.h"

namespace corvane::extensions::voicemod {

VoicemodNodeFactory::VoicemodNodeFactory() = default;
VoicemodNodeFactory::~VoicemodNodeFactory() = default;

std::string VoicemodNodeFactory::getNodeTypePrefix() { return "Voicemod"; }

Node* VoicemodNodeFactory::createNode(const std::string& /*type*/, const CVAnyMap& /*config*/) {
    // Voice-changer nodes are constructed by the application itself.
    return nullptr;
}

}  // namespace corvane::extensions::voicemod
