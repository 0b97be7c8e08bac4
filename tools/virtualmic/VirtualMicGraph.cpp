// VirtualMicGraph.cpp - see VirtualMicImpl.h: what the PipeWire server
// says of its graph (its nodes, ports, defaults and clock rate), and the
// node the options name.
#include "virtualmic/VirtualMicImpl.h"

#include <spa/utils/result.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/ToolError.h"

namespace corvane::tool {
namespace {

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const char* lookup(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? value : "";
}

// "default.audio.source" and its kin hold {"name":"node.name"}.
std::string nameInJson(const char* json) {
    if (json == nullptr) return "";
    const std::string text = json;
    const auto key = text.find("\"name\"");
    if (key == std::string::npos) return "";
    const auto open = text.find('"', text.find(':', key) + 1);
    if (open == std::string::npos) return "";
    const auto close = text.find('"', open + 1);
    return close == std::string::npos ? "" : text.substr(open + 1, close - open - 1);
}

}  // namespace

const pw_core_events kVirtualMicCoreEvents = [] {
    pw_core_events events{};
    events.version = PW_VERSION_CORE_EVENTS;
    events.done = &VirtualMic::Impl::onCoreDone;
    events.error = &VirtualMic::Impl::onCoreError;
    return events;
}();

const pw_registry_events kVirtualMicRegistryEvents = [] {
    pw_registry_events events{};
    events.version = PW_VERSION_REGISTRY_EVENTS;
    events.global = &VirtualMic::Impl::onGlobal;
    events.global_remove = &VirtualMic::Impl::onGlobalRemove;
    return events;
}();

void VirtualMic::Impl::onCoreDone(void* data, std::uint32_t id, int seq) {
    auto* self = static_cast<Impl*>(data);
    if (id == PW_ID_CORE) self->doneSeq = seq;
    pw_thread_loop_signal(self->loop, false);
}

void VirtualMic::Impl::onCoreError(void* data, std::uint32_t id, int, int res, const char* message) {
    auto* self = static_cast<Impl*>(data);
    ++self->errors;
    if (id == PW_ID_CORE && res == -EPIPE) self->serverGone = true;
    if (self->serverError.empty())
        self->serverError = std::string(message != nullptr ? message : "") + " (" + spa_strerror(res) + ")" +
                            (id == PW_ID_CORE ? "" : ", object " + std::to_string(id));
    pw_thread_loop_signal(self->loop, false);
}

void VirtualMic::Impl::onGlobal(void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                     const spa_dict* props) {
    auto* self = static_cast<Impl*>(data);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        NodeInfo node;
        node.id = id;
        node.serial = std::strtoull(lookup(props, PW_KEY_OBJECT_SERIAL), nullptr, 10);
        node.name = lookup(props, PW_KEY_NODE_NAME);
        node.description = lookup(props, PW_KEY_NODE_DESCRIPTION);
        node.mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
        node.priority = std::atoi(lookup(props, PW_KEY_PRIORITY_SESSION));
        self->nodes[id] = node;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        PortInfo port;
        port.id = id;
        port.node = static_cast<std::uint32_t>(std::strtoul(lookup(props, PW_KEY_NODE_ID), nullptr, 10));
        port.output = std::strcmp(lookup(props, PW_KEY_PORT_DIRECTION), "out") == 0;
        port.monitor = std::strcmp(lookup(props, PW_KEY_PORT_MONITOR), "true") == 0;
        port.channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
        port.name = lookup(props, PW_KEY_PORT_NAME);
        self->ports[id] = port;
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
        const std::string name = lookup(props, PW_KEY_METADATA_NAME);
        if (name != "default" && name != "settings") return;
        auto* bound = static_cast<pw_metadata*>(
            pw_registry_bind(self->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
        if (bound == nullptr) return;
        auto* hook = new spa_hook{};
        static const pw_metadata_events events = {PW_VERSION_METADATA_EVENTS, &Impl::onMetadata};
        pw_metadata_add_listener(bound, hook, &events, self);
        self->metadata.emplace_back(bound, hook);
    }
}

void VirtualMic::Impl::onGlobalRemove(void* data, std::uint32_t id) {
    auto* self = static_cast<Impl*>(data);
    self->nodes.erase(id);
    self->ports.erase(id);
    if (id != 0 && id == self->sourceId) self->sourceGone = true;
    pw_thread_loop_signal(self->loop, false);
}

int VirtualMic::Impl::onMetadata(void* data, std::uint32_t subject, const char* key, const char*, const char* value) {
    auto* self = static_cast<Impl*>(data);
    if (subject != PW_ID_CORE || key == nullptr) return 0;
    if (std::strcmp(key, "default.audio.source") == 0) self->defaultSource = nameInJson(value);
    if (std::strcmp(key, "default.audio.sink") == 0) self->defaultSink = nameInJson(value);
    if (std::strcmp(key, "clock.rate") == 0 && value != nullptr)
        self->graphRate = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
    return 0;
}

void VirtualMic::Impl::waitAWhile() {
    timespec until{};
    pw_thread_loop_get_time(loop, &until, 100 * SPA_NSEC_PER_MSEC);
    pw_thread_loop_timed_wait_full(loop, &until);
}

bool VirtualMic::Impl::roundtrip(std::chrono::milliseconds patience) {
    const int seq = pw_core_sync(core, PW_ID_CORE, 0);
    const int errorsBefore = errors;
    const auto until = std::chrono::steady_clock::now() + patience;
    while (doneSeq != seq && errors == errorsBefore && !serverGone && !stopped() &&
           std::chrono::steady_clock::now() < until)
        waitAWhile();
    return doneSeq == seq;
}

std::vector<PortInfo> VirtualMic::Impl::portsOf(std::uint32_t node, bool output) const {
    std::vector<PortInfo> found, monitors;
    for (const auto& [id, port] : ports)
        if (port.node == node && port.output == output) (port.monitor ? monitors : found).push_back(port);
    return found.empty() ? monitors : found;
}

NodeInfo VirtualMic::Impl::findNode(const std::string& wanted, bool sourceKind, const std::string& defaultName) const {
    std::vector<NodeInfo> candidates;
    for (const auto& [id, node] : nodes) {
        const bool source = node.mediaClass.rfind("Audio/Source", 0) == 0 || node.mediaClass == "Audio/Duplex";
        const bool sink = node.mediaClass.rfind("Audio/Sink", 0) == 0 || node.mediaClass == "Audio/Duplex";
        if ((sourceKind ? source : sink) && node.name != options.name) candidates.push_back(node);
    }
    const char* kind = sourceKind ? "source" : "sink";
    const char* option = sourceKind ? "--input" : "--output";
    if (wanted.empty()) {
        for (const NodeInfo& node : candidates)
            if (node.name == defaultName) return node;
        const auto best = std::max_element(candidates.begin(), candidates.end(),
                                           [](const NodeInfo& a, const NodeInfo& b) { return a.priority < b.priority; });
        if (best == candidates.end())
            throw ToolError(std::string("the PipeWire server has no audio ") + kind + "; give " + option);
        return *best;
    }
    for (const NodeInfo& node : candidates)
        if (node.name == wanted || node.description == wanted || std::to_string(node.id) == wanted) return node;
    std::vector<NodeInfo> partial;
    for (const NodeInfo& node : candidates)
        if (lower(node.name).find(lower(wanted)) != std::string::npos ||
            lower(node.description).find(lower(wanted)) != std::string::npos)
            partial.push_back(node);
    if (partial.size() == 1) return partial.front();
    std::string list;
    for (const NodeInfo& node : partial.empty() ? candidates : partial)
        list += (list.empty() ? "" : ", ") + nodeLabel(node);
    if (partial.empty())
        throw ToolError(std::string("no PipeWire ") + kind + " " + quote(wanted) +
                        (list.empty() ? std::string(" (there is none)") : " (there are: " + list + ")"));
    throw ToolError(std::string(option) + " " + quote(wanted) + " fits several PipeWire " + kind +
                    "s: " + list);
}

}  // namespace corvane::tool
