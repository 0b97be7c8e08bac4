#include "platform/MemoryLock.h"

#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

namespace corvane::tool {

namespace {

// Whether this process may lock memory beyond RLIMIT_MEMLOCK: it holds
// CAP_IPC_LOCK (bit 14 of the effective capabilities in /proc/self/status;
// false where that cannot be read).
bool mayLockWithoutLimit() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        try {
            return ((std::stoull(line.substr(7), nullptr, 16) >> 14) & 1u) != 0;
        } catch (const std::exception&) {
            return false;
        }
    }
    return false;
}

// The program's address space in bytes (VmSize in /proc/self/status; 0
// where that cannot be read).
unsigned long long addressSpace() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmSize:", 0) != 0) continue;
        try {
            return std::stoull(line.substr(7)) * 1024u;  // "VmSize:   123456 kB"
        } catch (const std::exception&) {
            return 0;
        }
    }
    return 0;
}

std::string limitText(const rlimit& limit) {
    if (limit.rlim_cur == RLIM_INFINITY) return "unlimited";
    return std::to_string(limit.rlim_cur / 1024) + " kB";
}

}  // namespace

std::string lockMemory() {
    // Locking maps in every page of the address space. A sanitizer's shadow
    // memory is terabytes of it, which would exhaust the machine instead.
    const long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    const unsigned long long mapped = addressSpace();
    if (pages > 0 && pageSize > 0 &&
        mapped > static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize) / 2)
        return "memory not locked: the program's address space (" + std::to_string(mapped >> 20) +
               " MiB) is over half the machine's memory";
    rlimit limit{};
    const bool limited = getrlimit(RLIMIT_MEMLOCK, &limit) != 0 || limit.rlim_cur != RLIM_INFINITY;
    const bool future = !limited || mayLockWithoutLimit();
    if (mlockall(MCL_CURRENT | (future ? MCL_FUTURE : 0)) != 0) {
        const int error = errno;
        return std::string("memory not locked (") + std::strerror(error) + ", lock limit " +
               limitText(limit) +
               "): a callback may wait for a page; 'ulimit -l unlimited' or CAP_IPC_LOCK allows it";
    }
    if (!future)
        return "memory taken from now on is not locked (lock limit " + limitText(limit) +
               "): a callback may wait for a page after a voice change";
    return "";
}

}  // namespace corvane::tool
