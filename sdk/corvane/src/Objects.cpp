// The host's class hierarchy: events, objects, extensions, factories, nodes.
#include "corvane/AudioNode.h"
#include "corvane/AudioProcessorNode.h"
#include "corvane/CorvaneObject.h"
#include "corvane/EventEmitter.h"
#include "corvane/Extension.h"
#include "corvane/ExtensionManager.h"
#include "corvane/Node.h"
#include "corvane/NodeFactory.h"
#include "corvane/SingleBusAudioProcessorNode.h"

namespace corvane {

EventEmitter::~EventEmitter() = default;

void EventEmitter::on(const std::string& event, Listener listener) {
    if (listener) listeners_[event].push_back(std::move(listener));
}

std::size_t EventEmitter::emit(const std::string& event, const CVAny& payload) {
    auto it = listeners_.find(event);
    if (it == listeners_.end()) return 0;
    // Copy so that a listener may add listeners while being called.
    std::vector<Listener> toCall = it->second;
    for (auto& listener : toCall) listener(payload);
    return toCall.size();
}

CorvaneObject::~CorvaneObject() = default;

Result<void> CorvaneObject::setValue(const std::string& key, const CVAny& value) {
    values_[key] = value;
    emit("valueChanged", CVAny(key));
    return Result<void>::success();
}

Result<CVAny> CorvaneObject::getValue(const std::string& key) {
    auto it = values_.find(key);
    if (it == values_.end()) return Error("no value \"" + key + "\"");
    return it->second;
}

Result<CVAny> CorvaneObject::callAction(const std::string& action, const CVAnyMap& /*arguments*/) {
    return Error("unknown action \"" + action + "\"");
}

Extension::~Extension() = default;
Result<void> Extension::initialize(const CVAnyMap& /*configuration*/) { return Result<void>::success(); }
Result<void> Extension::deinitialize() { return Result<void>::success(); }

ExtensionManager& ExtensionManager::getInstance() {
    static ExtensionManager manager;
    return manager;
}

void ExtensionManager::registerExtension(std::shared_ptr<Extension> extension) {
    if (!extension) return;
    std::lock_guard<std::mutex> lock(mutex_);
    extensions_.push_back(std::move(extension));
}

std::vector<std::shared_ptr<Extension>> ExtensionManager::getExtensions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return extensions_;
}

std::shared_ptr<Extension> ExtensionManager::findExtension(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& extension : extensions_)
        if (extension->getName() == name) return extension;
    return nullptr;
}

void ExtensionManager::clear() {
    std::vector<std::shared_ptr<Extension>> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped.swap(extensions_);
    }
    // Destroyed outside the lock, in case a destructor calls back in.
}

NodeFactory::~NodeFactory() = default;
std::vector<NodeTypeInfo> NodeFactory::getNodeTypes() { return {}; }

Node::~Node() = default;
AudioNode::~AudioNode() = default;
std::string AudioNode::getDisplayName() const { return "Audio node"; }
AudioProcessorNode::~AudioProcessorNode() = default;
SingleBusAudioProcessorNode::~SingleBusAudioProcessorNode() = default;

bool SingleBusAudioProcessorNode::setBusFormats(AudioBusFormatList& inputFormats,
                                                AudioBusFormatList& outputFormats) {
    if (inputFormats.formats.empty() || outputFormats.formats.empty()) return false;
    return setBusFormat(inputFormats.formats.front(), outputFormats.formats.front());
}

bool SingleBusAudioProcessorNode::process(AudioBusList& inputBuses, AudioBusList& outputBuses) {
    if (inputBuses.buses.empty() || outputBuses.buses.empty()) return false;
    return process(inputBuses.buses.front(), outputBuses.buses.front());
}

}  // namespace corvane
