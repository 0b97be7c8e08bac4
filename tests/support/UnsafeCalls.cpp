#include "UnsafeCalls.h"

#include <dlfcn.h>
#include <pthread.h>

#include <cstdlib>
#include <new>

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace {
// Counting is per thread: only a thread inside a watch counts.
thread_local bool tWatching = false;
thread_local unsigned long tUnsafeCalls = 0;
thread_local const char* tFirstUnsafe = nullptr;

void unsafe(const char* what) noexcept {
    if (!tWatching) return;
    if (tUnsafeCalls++ == 0) tFirstUnsafe = what;
}

using MutexLock = int (*)(pthread_mutex_t*);
MutexLock realMutexLock() {
    static const MutexLock real = reinterpret_cast<MutexLock>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
    return real;
}
}  // namespace

namespace testsupport {
void watchUnsafeCalls() noexcept {
    tUnsafeCalls = 0;
    tFirstUnsafe = nullptr;
    tWatching = true;
}
unsigned long unwatchUnsafeCalls() noexcept {
    tWatching = false;
    return tUnsafeCalls;
}
const char* firstUnsafeCall() noexcept { return tFirstUnsafe; }
}  // namespace testsupport

extern "C" void* malloc(std::size_t n) {
    unsafe("malloc");
    return __libc_malloc(n);
}
extern "C" void* calloc(std::size_t n, std::size_t m) {
    unsafe("calloc");
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, std::size_t n) {
    unsafe("realloc");
    return __libc_realloc(p, n);
}
extern "C" void free(void* p) {
    if (p != nullptr) unsafe("free");
    __libc_free(p);
}
// Default visibility: the build hides symbols unless told otherwise, and a
// hidden replacement would only catch the program's own calls, never those
// of the shared libraries (the engine's mutexes among them). malloc and the
// others are declared visible by the C library's headers already.
extern "C" __attribute__((visibility("default"))) int pthread_mutex_lock(pthread_mutex_t* m) {
    unsafe("pthread_mutex_lock");
    return realMutexLock()(m);
}

void* operator new(std::size_t n) {
    unsafe("operator new");
    if (void* p = __libc_malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    if (p != nullptr) unsafe("operator delete");
    __libc_free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }
