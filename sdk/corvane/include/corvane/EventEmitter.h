// EventEmitter.h - named events with listeners; the root of the host's classes.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "corvane/CVAny.h"
#include "corvane/Export.h"

namespace corvane {

// Listeners are called on the thread that emits, in the order they were
// added. on() and emit() are [main-thread] (not for the audio thread: they
// allocate); an object is not shared between threads by this class.
class CORVANE_API EventEmitter {
public:
    using Listener = std::function<void(const CVAny&)>;

    EventEmitter() = default;
    virtual ~EventEmitter();

    void on(const std::string& event, Listener listener);
    // Calls every listener of `event`; returns how many were called.
    std::size_t emit(const std::string& event, const CVAny& payload = CVAny());

private:
    std::map<std::string, std::vector<Listener>> listeners_;
};

}  // namespace corvane
