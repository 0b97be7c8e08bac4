// Corvane.h - host set-up and the host's configuration values.
#pragma once

#include <string>

#include "corvane/CVAny.h"
#include "corvane/Export.h"
#include "corvane/Result.h"

namespace corvane {

// The host's process-wide configuration: values addressed by an object
// identifier and a key. All functions are [main-thread] or any application
// thread, take a lock and may allocate; none is for the audio thread.
class CORVANE_API Corvane {
public:
    // Sets the host up: creates a fresh temporary directory (under
    // $TMPDIR or the system's temporary folder) and publishes its path as the
    // text value "tempDirPath" of object "corvane" (UTF-8 on every
    // platform). Calling it again keeps
    // the existing directory. The directory is removed by shutdown(), or at
    // the latest when the process exits normally; on POSIX systems one left
    // by a process that was killed is removed by the next initialize() of
    // the same user in the same folder (see Corvane.cpp). Throws
    // std::runtime_error when no temporary directory can be created.
    static void initialize();

    // Removes the temporary directory made by initialize() and every value.
    static void shutdown();

    // The value of `key` of object `objectId`, or an Error naming both when
    // there is none.
    static Result<CVAny> getValue(const std::string& objectId, const std::string& key);

    // Sets or replaces a value.
    static void setValue(const std::string& objectId, const std::string& key, const CVAny& value);

    // Removes a value; true when there was one.
    static bool removeValue(const std::string& objectId, const std::string& key);
};

}  // namespace corvane
