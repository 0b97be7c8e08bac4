// Descriptors.h - the file-descriptor calls the sound files and the output
// file share, spelled once for POSIX and Windows.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <string>

namespace corvane::tool {

using FileOffset = std::int64_t;

// lseek: the new offset, or -1.
FileOffset seekTo(int fd, FileOffset offset, int whence);
// The size of the regular file open on `fd`; 0 for anything else.
FileOffset sizeOf(int fd);

// Whether a signal handler has set `stop` (null: never).
inline bool stopped(const std::atomic<bool>* stop) {
    return stop != nullptr && stop->load(std::memory_order_relaxed);
}

// open(2) that waits as long as it must (a FIFO waits for its other end)
// but not past a signal that sets `stop`: the tool's handlers do not restart
// system calls, so the open returns EINTR and this gives up. -1 with errno
// set on failure; -2 when stopped. On Windows by wide path, in binary mode,
// not handed to child processes.
int openWaiting(const std::filesystem::path& path, int flags, const std::atomic<bool>* stop);

// The system's text for an errno value.
std::string systemReason(int error);

}  // namespace corvane::tool
