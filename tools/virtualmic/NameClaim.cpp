// NameClaim.cpp - see NameClaim.h.
#include "virtualmic/NameClaim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/ToolError.h"

namespace corvane::tool {

NameClaim::NameClaim(const std::string& name) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime == nullptr || *runtime != '/') return;
    // The server the name is on: PipeWire's socket, as the client library finds it.
    const char* remote = std::getenv("PIPEWIRE_REMOTE");
    const char* socketDir = std::getenv("PIPEWIRE_RUNTIME_DIR");
    std::string server = remote != nullptr && *remote != '\0' ? remote : "pipewire-0";
    if (server.front() != '/')
        server =
            std::string(socketDir != nullptr && *socketDir != '\0' ? socketDir : runtime) + "/" + server;
    std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const char c : server + '\n' + name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    char file[64];
    std::snprintf(file, sizeof file, "/corvane-voicemod-mic-%016llx.lock",
                  static_cast<unsigned long long>(hash));
    const std::string path = runtime + std::string(file);
    // The holder removes the file as it goes: a lock taken on a file
    // already removed is taken again on the new one.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0) return;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int error = errno;
            ::close(fd);
            if (error == EWOULDBLOCK)
                throw ToolError("--virtual-mic: another 'live --virtual-mic' already has the name " +
                                quote(name) + "; give another name");
            return;
        }
        struct stat held = {}, named = {};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino) {
            fd_ = fd;
            path_ = path;
            return;
        }
        ::close(fd);
    }
}

NameClaim::~NameClaim() {
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
}

}  // namespace corvane::tool
