#include "corvane/Corvane.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <stdexcept>
#include <system_error>
#include <utility>

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#endif

namespace corvane {
namespace {

struct HostState {
    std::mutex mutex;
    std::map<std::pair<std::string, std::string>, CVAny> values;
    std::filesystem::path tempDirectory;  // made by initialize(), empty before
    int tempLock = -1;                    // holds the directory's flock (POSIX)
};

HostState& state() {
    static HostState s;
    return s;
}

#if !defined(_WIN32)
// A process that is killed (SIGKILL, a crash, the power) cannot remove its
// directory. So on POSIX systems the directory is named
// "corvane-<pid>-<random>" after the process that made it, which holds an
// flock on it for as long as it lives (the system drops the lock however the
// process ends), and each initialize() first removes the directories of
// this user's processes that are gone: the pid no longer runs and nobody
// holds the lock. Both must say so: a pid can be used again, and a process
// in another pid namespace sharing the folder runs under a number that
// means nothing here; the lock alone would not cover the moment between
// making a directory and locking it.

// The descriptor holding an exclusive flock on `directory`, or -1 when it
// cannot be opened or someone holds the lock.
int lockDirectory(const std::filesystem::path& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The pid in a name "corvane-<pid>-<digits>", or 0.
pid_t makerOf(const std::string& name) {
    const std::string prefix = "corvane-";
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    const auto dash = name.find('-', prefix.size());
    if (dash == std::string::npos || dash == prefix.size() || dash + 1 == name.size()) return 0;
    const auto digits = [](const std::string& text) {
        return text.find_first_not_of("0123456789") == std::string::npos;
    };
    const std::string pid = name.substr(prefix.size(), dash - prefix.size());
    if (!digits(pid) || !digits(name.substr(dash + 1)) || pid.size() > 9) return 0;
    return static_cast<pid_t>(std::stol(pid));
}

void removeLeftDirectories(const std::filesystem::path& base) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(base, ec), end; !ec && it != end; it.increment(ec)) {
        const pid_t maker = makerOf(it->path().filename().string());
        struct stat status {};
        if (maker <= 0 || ::lstat(it->path().c_str(), &status) != 0 || !S_ISDIR(status.st_mode) ||
            status.st_uid != ::geteuid())
            continue;
        if (maker != ::getpid() && (::kill(maker, 0) == 0 || errno == EPERM)) continue;  // it may still run
        const int lock = lockDirectory(it->path());
        if (lock < 0) continue;  // in use
        std::error_code removed;
        std::filesystem::remove_all(it->path(), removed);
        ::close(lock);
    }
}
#endif

std::filesystem::path makeTempDirectory(int& lock) {
    std::error_code ec;
    std::filesystem::path base = std::filesystem::temp_directory_path(ec);
    if (ec) throw std::runtime_error("Corvane: no system temporary directory: " + ec.message());
#if !defined(_WIN32)
    removeLeftDirectories(base);
    const std::string prefix = "corvane-" + std::to_string(::getpid()) + "-";
#else
    const std::string prefix = "corvane-";
#endif
    std::random_device device;
    std::mt19937_64 random(device());
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::filesystem::path candidate = base / (prefix + std::to_string(random() % 100000000000ULL));
        if (std::filesystem::create_directory(candidate, ec)) {
#if !defined(_WIN32)
            lock = lockDirectory(candidate);
#else
            lock = -1;
#endif
            return candidate;
        }
    }
    throw std::runtime_error("Corvane: could not create a temporary directory under " + base.u8string());
}

}  // namespace

void Corvane::initialize() {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.tempDirectory.empty()) {
        s.tempDirectory = makeTempDirectory(s.tempLock);
        // The directory lives as long as the process: a program that never
        // calls shutdown() leaves nothing behind in the temporary folder.
        static const bool cleanupRegistered = [] { return std::atexit(&Corvane::shutdown) == 0; }();
        (void)cleanupRegistered;
    }
    s.values[{"corvane", "tempDirPath"}] = CVAny(s.tempDirectory.u8string());
}

void Corvane::shutdown() {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values.clear();
    if (!s.tempDirectory.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(s.tempDirectory, ec);
        s.tempDirectory.clear();
    }
#if !defined(_WIN32)
    if (s.tempLock >= 0) ::close(s.tempLock);
#endif
    s.tempLock = -1;
}

Result<CVAny> Corvane::getValue(const std::string& objectId, const std::string& key) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.values.find({objectId, key});
    if (it == s.values.end()) return Error("Corvane: no value \"" + key + "\" for object \"" + objectId + "\"");
    return it->second;
}

void Corvane::setValue(const std::string& objectId, const std::string& key, const CVAny& value) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.values[{objectId, key}] = value;
}

bool Corvane::removeValue(const std::string& objectId, const std::string& key) {
    HostState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.values.erase({objectId, key}) > 0;
}

}  // namespace corvane
