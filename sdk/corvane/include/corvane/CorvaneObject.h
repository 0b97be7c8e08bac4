// CorvaneObject.h - an object with named values and actions.
#pragma once

#include <string>

#include "corvane/CVAny.h"
#include "corvane/EventEmitter.h"
#include "corvane/Export.h"
#include "corvane/Result.h"

namespace corvane {

// The default implementation keeps values in a map and knows no actions.
// [main-thread]; allocates.
class CORVANE_API CorvaneObject : public EventEmitter {
public:
    CorvaneObject() = default;
    ~CorvaneObject() override;

    // Stores `value` under `key` and emits "valueChanged" with the key.
    virtual Result<void> setValue(const std::string& key, const CVAny& value);
    // The value stored under `key`, or an Error naming it.
    virtual Result<CVAny> getValue(const std::string& key);
    // An Error naming the action: the base knows none.
    virtual Result<CVAny> callAction(const std::string& action, const CVAnyMap& arguments);

private:
    CVAnyMap values_;
};

}  // namespace corvane
