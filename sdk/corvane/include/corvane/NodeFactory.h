// NodeFactory.h - makes nodes by type name.
#pragma once

#include <string>
#include <vector>

#include "corvane/CVAny.h"
#include "corvane/Export.h"

namespace corvane {

class Node;

// One node type a factory can make.
class NodeTypeInfo {
public:
    std::string type;         // full type name, "<prefix>.<name>"
    std::string displayName;  // for people
};

// [main-thread]; allocates.
class CORVANE_API NodeFactory {
public:
    NodeFactory() = default;
    virtual ~NodeFactory();

    // The prefix of every type name this factory makes.
    virtual std::string getNodeTypePrefix() = 0;
    // The types this factory makes; the default lists none.
    virtual std::vector<NodeTypeInfo> getNodeTypes();
    // A new node owned by the caller, or null when `type` is not made here.
    virtual Node* createNode(const std::string& type, const CVAnyMap& config) = 0;
};

}  // namespace corvane
