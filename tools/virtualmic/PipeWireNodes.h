// PipeWireNodes.h - what the virtual microphone knows of the PipeWire
// graph's nodes and ports, and how it names them in messages.
#pragma once

#include <cstdint>
#include <string>

#include "platform/ToolError.h"

namespace corvane::tool {

struct NodeInfo {
    std::uint32_t id = 0;
    std::uint64_t serial = 0;  // object.serial: ids are reused, serials are not (0: the server gave none)
    std::string name;
    std::string description;
    std::string mediaClass;
    int priority = 0;
};

// Of two nodes, the one made first: the lower object.serial (the lower id
// where the server gives no serials).
inline bool madeBefore(const NodeInfo& a, const NodeInfo& b) {
    return a.serial != 0 && b.serial != 0 ? a.serial < b.serial : a.id < b.id;
}

struct PortInfo {
    std::uint32_t id = 0;
    std::uint32_t node = 0;
    bool output = false;
    bool monitor = false;
    std::string channel;
    std::string name;
};

inline std::string nodeLabel(const NodeInfo& node) {
    return node.description.empty() || node.description == node.name
               ? quote(node.name)
               : quote(node.description) + " (" + printable(node.name) + ")";
}

inline std::string alreadyThere(const std::string& name, const char* when = "") {
    return "--virtual-mic: PipeWire already has a node named " + quote(name) + when +
           " (is another 'live --virtual-mic' running?); give another name";
}

}  // namespace corvane::tool
