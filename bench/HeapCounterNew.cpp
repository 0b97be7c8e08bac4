// HeapCounterNew.cpp - the C++ half of the heap counter: every replaceable
// global operator new counts once and takes its block straight from the C
// library (so a block is never counted twice), every operator delete gives
// it back there.
#include <cstddef>
#include <new>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
void heapCounterNote(void);
}

namespace {

void* take(std::size_t size) {
    heapCounterNote();
    if (size == 0) size = 1;
    for (;;) {
        if (void* block = __libc_malloc(size)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

void* takeAligned(std::size_t size, std::align_val_t alignment) {
    heapCounterNote();
    if (size == 0) size = 1;
    for (;;) {
        if (void* block = __libc_memalign(static_cast<std::size_t>(alignment), size)) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) throw std::bad_alloc();
        handler();
    }
}

}  // namespace

void* operator new(std::size_t size) { return take(size); }
void* operator new[](std::size_t size) { return take(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return take(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return take(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t alignment) { return takeAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return takeAligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return takeAligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    try {
        return takeAligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t) noexcept { __libc_free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { __libc_free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { __libc_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept { __libc_free(block); }
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept { __libc_free(block); }
