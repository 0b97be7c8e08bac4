/* HeapCounter.c - the C-heap half of the counter: the process's malloc
 * family, interposed from the executable (which exports these symbols, so
 * the shared libraries' calls land here too). */
#include "HeapCounter.h"

#include <errno.h>
#include <stdatomic.h>
#include <stddef.h>

extern void* __libc_malloc(size_t size);
extern void* __libc_calloc(size_t count, size_t size);
extern void* __libc_realloc(void* block, size_t size);
extern void* __libc_memalign(size_t alignment, size_t size);
extern void* __libc_valloc(size_t size);
extern void* __libc_pvalloc(size_t size);
extern void __libc_free(void* block);

/* Exported whatever the build's visibility preset: the shared libraries
 * must bind to these. */
#define HEAP_COUNTER_EXPORT __attribute__((visibility("default")))

static atomic_int counting;
static atomic_long counted;

void heapCounterNote(void);
void heapCounterNote(void) {
    if (atomic_load_explicit(&counting, memory_order_relaxed))
        atomic_fetch_add_explicit(&counted, 1, memory_order_relaxed);
}

void heapCounterStart(void) {
    atomic_store(&counted, 0);
    atomic_store(&counting, 1);
}

long heapCounterStop(void) {
    atomic_store(&counting, 0);
    return atomic_load(&counted);
}

HEAP_COUNTER_EXPORT void* malloc(size_t size) {
    heapCounterNote();
    return __libc_malloc(size);
}

HEAP_COUNTER_EXPORT void* calloc(size_t count, size_t size) {
    heapCounterNote();
    return __libc_calloc(count, size);
}

HEAP_COUNTER_EXPORT void* realloc(void* block, size_t size) {
    heapCounterNote();
    return __libc_realloc(block, size);
}

HEAP_COUNTER_EXPORT void free(void* block) { __libc_free(block); }

HEAP_COUNTER_EXPORT void* memalign(size_t alignment, size_t size) {
    heapCounterNote();
    return __libc_memalign(alignment, size);
}

HEAP_COUNTER_EXPORT void* aligned_alloc(size_t alignment, size_t size) {
    heapCounterNote();
    return __libc_memalign(alignment, size);
}

HEAP_COUNTER_EXPORT int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    heapCounterNote();
    void* block = __libc_memalign(alignment, size);
    if (block == NULL) return ENOMEM;
    *out = block;
    return 0;
}

HEAP_COUNTER_EXPORT void* valloc(size_t size) {
    heapCounterNote();
    return __libc_valloc(size);
}

HEAP_COUNTER_EXPORT void* pvalloc(size_t size) {
    heapCounterNote();
    return __libc_pvalloc(size);
}
