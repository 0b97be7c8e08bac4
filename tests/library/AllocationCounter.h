// AllocationCounter.h - counts heap use of the code under test.
//
// The library_tests binary is linked with malloc and free wrapped
// (-Wl,--wrap=...), so every direct malloc/free of the library's sources is
// seen here, and it replaces the global operator new and delete. Counting is
// off until a Counting scope is open; a scope can also make the n-th malloc
// fail.
#pragma once

#include <cstddef>

namespace allocation {

struct Counts {
    std::size_t mallocs = 0;
    std::size_t frees = 0;       // free() of a non-null pointer
    std::size_t news = 0;        // operator new of any form
    std::size_t mallocBytes = 0;
};

class Counting {
public:
    // failMallocAt: the index (0-based, within this scope) of the first
    // malloc to fail; -1 for none. Every malloc from that one on fails.
    explicit Counting(long failMallocAt = -1);
    ~Counting();
    Counting(const Counting&) = delete;
    Counting& operator=(const Counting&) = delete;

    Counts counts() const;
};

}  // namespace allocation
