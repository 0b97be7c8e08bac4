/* HeapCounter.h - counts the heap blocks a stretch of code takes, in the
 * whole process (every shared library included): the bench programs that
 * link HeapCounter.c replace malloc, calloc, realloc, memalign,
 * posix_memalign, aligned_alloc and every global operator new with versions
 * that count while counting is on and hand on to the C library. */
#ifndef CORVANE_BENCH_HEAP_COUNTER_H
#define CORVANE_BENCH_HEAP_COUNTER_H

#ifdef __cplusplus
extern "C" {
#endif

/* Zeroes the count and starts counting. */
void heapCounterStart(void);
/* Stops counting and returns the blocks taken since heapCounterStart(). */
long heapCounterStop(void);

#ifdef __cplusplus
}
#endif

#endif
