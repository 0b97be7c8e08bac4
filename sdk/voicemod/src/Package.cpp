#include "Package.h"

#include "Results.h"

namespace vcmd {

std::int32_t readPackage(const std::string&, Package&, std::string& error) {
    error = "not readable yet";
    return VCMD_ERR_INVALID_PACKAGE;
}

std::int32_t parsePackage(const std::string&, Package&, std::string& error) {
    error = "not readable yet";
    return VCMD_ERR_INVALID_PACKAGE;
}

}  // namespace vcmd
