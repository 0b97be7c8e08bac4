// glue_callgrind.cpp - instructions per block of the node and of the floor
// (see GlueRig.h), for callgrind. Run it twice under
//   valgrind --tool=callgrind --collect-atstart=no
//            --toggle-collect=corvane_bench_node_blocks   (or ..._floor_blocks)
//   glue_callgrind FRAMES CHANNELS BLOCKS
// so that each run counts only the BLOCKS blocks of one of the two. Both
// are warmed up first, outside the counted functions.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "BenchSupport.h"
#include "GlueRig.h"

// The counted functions must stay functions of their own.
#if defined(_MSC_VER)
#define BENCH_NOINLINE __declspec(noinline)
#else
#define BENCH_NOINLINE __attribute__((noinline))
#endif

extern "C" {
BENCH_NOINLINE int corvane_bench_node_blocks(benchsupport::GlueRig* rig, long blocks) {
    int ok = 1;
    for (long b = 0; b < blocks; ++b) ok &= rig->node() ? 1 : 0;
    return ok;
}
BENCH_NOINLINE int corvane_bench_floor_blocks(benchsupport::GlueRig* rig, long blocks) {
    int ok = 1;
    for (long b = 0; b < blocks; ++b) ok &= rig->floor() ? 1 : 0;
    return ok;
}
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FRAMES CHANNELS BLOCKS\n", argv[0]);
        return 2;
    }
    const long frames = std::strtol(argv[1], nullptr, 10);
    const long channels = std::strtol(argv[2], nullptr, 10);
    const long blocks = std::strtol(argv[3], nullptr, 10);
    if (frames < 1 || frames > 65536 || channels < 1 || channels > 2 || blocks < 1) {
        std::fprintf(stderr, "%s: FRAMES 1..65536, CHANNELS 1..2, BLOCKS >= 1\n", argv[0]);
        return 2;
    }
    try {
        benchsupport::bringUp(benchsupport::voicesDir());
        benchsupport::GlueRig rig(static_cast<std::uint32_t>(channels), static_cast<std::uint32_t>(frames));
        for (int i = 0; i < 16; ++i) {
            if (!rig.node() || !rig.floor()) {
                std::fprintf(stderr, "%s: the voice changer refused a block\n", argv[0]);
                return 1;
            }
        }
        const int nodeOk = corvane_bench_node_blocks(&rig, blocks);
        const int floorOk = corvane_bench_floor_blocks(&rig, blocks);
        if (!nodeOk || !floorOk) {
            std::fprintf(stderr, "%s: the voice changer refused a block\n", argv[0]);
            return 1;
        }
        std::printf("ran %ld node blocks and %ld floor blocks of %ld frames x %ld channels\n", blocks, blocks,
                    frames, channels);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
