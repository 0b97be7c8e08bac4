// Descriptors.cpp - see Descriptors.h.
#include "platform/Descriptors.h"

#include <fcntl.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

namespace corvane::tool {

#if defined(_WIN32)
FileOffset seekTo(int fd, FileOffset offset, int whence) { return ::_lseeki64(fd, offset, whence); }
FileOffset sizeOf(int fd) {
    struct _stati64 status {};
    return ::_fstati64(fd, &status) == 0 ? status.st_size : 0;
}
#else
FileOffset seekTo(int fd, FileOffset offset, int whence) {
    return ::lseek(fd, static_cast<off_t>(offset), whence);
}
FileOffset sizeOf(int fd) {
    struct stat status {};
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) ? status.st_size : 0;
}
#endif

int openWaiting(const std::filesystem::path& path, int flags, const std::atomic<bool>* stop) {
    for (;;) {
        if (stopped(stop)) return -2;
#if defined(_WIN32)
        const int fd = ::_wopen(path.wstring().c_str(), flags | _O_BINARY | _O_NOINHERIT);
#else
        const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY);
#endif
        if (fd >= 0 || errno != EINTR) return fd;
    }
}

std::string systemReason(int error) { return std::strerror(error); }

}  // namespace corvane::tool
