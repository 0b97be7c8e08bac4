// AllocationTest.cpp - the audio path allocates nothing once a voice runs.
//
// This binary replaces malloc, calloc, realloc and the global operator new
// for the whole process (the engine library included, through symbol
// interposition) and counts calls while a counting window is open.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "EngineFixture.h"

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace {
std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};
void note() noexcept {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
    note();
    return __libc_malloc(n);
}
void* calloc(std::size_t a, std::size_t b) {
    note();
    return __libc_calloc(a, b);
}
void* realloc(void* p, std::size_t n) {
    note();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
}

void* operator new(std::size_t n) {
    note();
    if (void* p = __libc_malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { __libc_free(p); }
void operator delete[](void* p) noexcept { __libc_free(p); }
void operator delete(void* p, std::size_t) noexcept { __libc_free(p); }
void operator delete[](void* p, std::size_t) noexcept { __libc_free(p); }

namespace enginetest {
namespace {

class AllocationTest : public EngineTest {
protected:
    static long countDuring(void (*body)()) {
        gAllocations = 0;
        gCounting = true;
        body();
        gCounting = false;
        return gAllocations.load();
    }
};

TEST_F(AllocationTest, CounterSeesAllocationsAtAll) {
    // The counter itself works: a control call that builds a voice allocates.
    mountShipped();
    EXPECT_GT(countDuring([] { (void)vcmdLoadVoice("Cave", 0, 0); }), 0);
}

TEST_F(AllocationTest, ProcessingEveryVoiceAllocatesNothing) {
    mountShipped();
    for (const std::string& name : voiceNames()) {
        SCOPED_TRACE(name);
        ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
        static std::vector<float> l, r, big;
        l = whiteNoise(256, 0.8, 1);
        r = whiteNoise(256, 0.8, 2);
        big = whiteNoise(20000, 0.8, 3);
        // Warm-up takes the voice from the mailbox.
        ASSERT_EQ(vcmdProcessStereoBuffer(l.data(), r.data(), 256), VCMD_OK);
        const long n = countDuring([] {
            for (int i = 0; i < 50; ++i) {
                (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
                (void)vcmdProcessBuffer(big.data(), 20000);
            }
            // Switches and parameters are atomics: no allocation either.
            (void)vcmdSetBypass(true);
            (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
            (void)vcmdSetBypass(false);
            (void)vcmdSetMute(true);
            (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
            (void)vcmdSetMute(false);
            (void)vcmdEnableBackgroundSounds(false);
            (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
            (void)vcmdEnableBackgroundSounds(true);
            // Parameter look-ups by a name too long for any small-string
            // buffer, known or not.
            float v = 0.0f;
            (void)vcmdSetParameter("a parameter name no voice has, longer than thirty-two bytes", 1.0f);
            (void)vcmdGetParameter("a parameter name no voice has, longer than thirty-two bytes", &v);
            (void)vcmdGetParameter("Pitch", &v);
            if (vcmdGetParameter("Pitch", &v) == VCMD_OK) (void)vcmdSetParameter("Pitch", v);
        });
        EXPECT_EQ(n, 0);
    }
}

TEST_F(AllocationTest, TakingANewVoiceOnTheAudioThreadAllocatesNothing) {
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_OK);
    static std::vector<float> l(256, 0.1f), r(256, 0.1f);
    ASSERT_EQ(vcmdProcessStereoBuffer(l.data(), r.data(), 256), VCMD_OK);
    ASSERT_EQ(vcmdLoadVoice("Cathedral", 0, 0), VCMD_OK);  // built here, on the control thread
    ASSERT_EQ(vcmdSetSampleRate(96000.0f), VCMD_OK);
    const long n = countDuring([] {
        for (int i = 0; i < 20; ++i) (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
    });
    EXPECT_EQ(n, 0);
}

}  // namespace
}  // namespace enginetest
