#include "corvane/Result.h"

namespace corvane::detail {

void throwNoValue() { throw std::runtime_error("Result does not contain a value, operation failed."); }

}  // namespace corvane::detail
