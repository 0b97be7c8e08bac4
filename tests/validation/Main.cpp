// Main.cpp - the validation programs' entry point: the seed first, then the
// tests, then what was processed.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "Harness.h"

int main(int argc, char** argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i) listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    if (listing) {
        // Discovery must see only the test list.
        ::testing::InitGoogleTest(&argc, argv);
        return RUN_ALL_TESTS();
    }
    validation::initSeed(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    const validation::Totals& t = validation::totals();
    std::printf("validation: %llu formats negotiated, %llu blocks and %llu frames processed and checked (seed %llu)\n",
                static_cast<unsigned long long>(t.formats), static_cast<unsigned long long>(t.blocks),
                static_cast<unsigned long long>(t.frames), static_cast<unsigned long long>(validation::seed()));
    return result;
}
