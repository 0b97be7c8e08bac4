#include "corvane/CVAny.h"

namespace corvane {

const char* CVAny::typeName(Type type) noexcept {
    switch (type) {
        case Type::Empty: return "empty";
        case Type::Bool: return "bool";
        case Type::Integer: return "integer";
        case Type::Double: return "double";
        case Type::Text: return "text";
    }
    return "unknown";
}

void CVAny::throwMismatch(Type held, const char* wanted) {
    throw CVAnyTypeError(std::string("CVAny: cannot convert a value of type ") + typeName(held) + " to " +
                         wanted);
}

}  // namespace corvane
