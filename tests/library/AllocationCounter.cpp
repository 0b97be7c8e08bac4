#include "AllocationCounter.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" void* __real_malloc(std::size_t size);
extern "C" void __real_free(void* pointer);

namespace allocation {
namespace {

constexpr std::size_t kTail = 64;
std::atomic<bool> active{false};
std::atomic<long> failAt{-1};
std::atomic<std::size_t> mallocs{0}, frees{0}, news{0}, bytes{0};

}  // namespace

Counting::Counting(long failMallocAt) {
    mallocs = 0;
    frees = 0;
    news = 0;
    bytes = 0;
    failAt = failMallocAt;
    active = true;
}

Counting::~Counting() {
    active = false;
    failAt = -1;
}

Counts Counting::counts() const { return Counts{mallocs.load(), frees.load(), news.load(), bytes.load()}; }

}  // namespace allocation

using namespace allocation;

extern "C" void* __wrap_malloc(std::size_t size) {
    if (active.load(std::memory_order_relaxed)) {
        const long index = static_cast<long>(mallocs.fetch_add(1));
        bytes += size;
        const long fail = failAt.load();
        if (fail >= 0 && index >= fail) return nullptr;
        // Counted blocks get a tail of non-NUL bytes past their end, so that
        // a read running past a buffer picks up garbage instead of stopping
        // by luck at a zero byte.
        auto* block = static_cast<unsigned char*>(__real_malloc(size + kTail));
        if (block != nullptr) std::memset(block + size, 'Z', kTail);
        return block;
    }
    return __real_malloc(size);
}

extern "C" void __wrap_free(void* pointer) {
    if (pointer != nullptr && active.load(std::memory_order_relaxed)) ++frees;
    __real_free(pointer);
}

// operator new takes its memory from the real malloc so that it does not
// also show up as a counted malloc.
void* operator new(std::size_t size) {
    if (active.load(std::memory_order_relaxed)) ++news;
    if (void* p = __real_malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { __real_free(p); }
void operator delete[](void* p) noexcept { __real_free(p); }
void operator delete(void* p, std::size_t) noexcept { __real_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __real_free(p); }
