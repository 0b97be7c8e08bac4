// ChildProcess.h - runs a program as a separate process, the same way on
// Linux and Windows, for tests that need a fresh process (exit-time
// behaviour, the command-line tool).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace testsupport {

// This process's id, for names of scratch files no other process picks.
inline long processId() {
#if defined(_WIN32)
    return static_cast<long>(::_getpid());
#else
    return static_cast<long>(::getpid());
#endif
}

struct ChildResult {
    int status = -1;  // exit status; -1 when it could not start or did not exit
    std::string out;  // everything it wrote to standard output
    std::string err;  // ... and to standard error
};

struct ChildOptions {
    std::filesystem::path cwd;            // empty: this process's
    std::vector<std::string> setEnv;      // "NAME=value", added or replaced
    std::vector<std::string> unsetEnv;    // names removed from the environment
};

// Runs `program` with `args` (UTF-8), standard input empty, and waits for it.
ChildResult runChild(const std::filesystem::path& program, const std::vector<std::string>& args,
                     const ChildOptions& options = {});

// The running test program itself, for tests that re-execute it.
std::filesystem::path currentExecutable();

}  // namespace testsupport
