// AllocationTest.cpp - the audio path neither allocates nor frees memory
// once a voice runs.
//
// This binary replaces malloc, calloc, realloc, free and the global
// operators new and delete for the whole process (the engine library
// included, through symbol interposition) and counts calls while a counting
// window is open: allocations and releases apart, since a voice the audio
// thread is done with must be freed by a later control call, never by the
// audio thread itself.
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
std::atomic<long> gReleases{0};
void note() noexcept {
    if (gCounting.load(std::memory_order_relaxed)) gAllocations.fetch_add(1, std::memory_order_relaxed);
}
// Freeing a null pointer does nothing, so it is not counted.
void noteRelease(const void* p) noexcept {
    if (p != nullptr && gCounting.load(std::memory_order_relaxed)) gReleases.fetch_add(1, std::memory_order_relaxed);
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
void free(void* p) {
    noteRelease(p);
    __libc_free(p);
}
}

void* operator new(std::size_t n) {
    note();
    if (void* p = __libc_malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    noteRelease(p);
    __libc_free(p);
}
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete(void* p, std::size_t) noexcept { operator delete(p); }
void operator delete[](void* p, std::size_t) noexcept { operator delete(p); }

namespace enginetest {
namespace {

struct HeapCalls {
    long allocations = 0;
    long releases = 0;
};

class AllocationTest : public EngineTest {
protected:
    static HeapCalls countDuring(void (*body)()) {
        gAllocations = 0;
        gReleases = 0;
        gCounting = true;
        body();
        gCounting = false;
        return {gAllocations.load(), gReleases.load()};
    }
};

TEST_F(AllocationTest, CounterSeesAllocationsAtAll) {
    // The counter itself works: a control call that builds a voice allocates.
    mountShipped();
    EXPECT_GT(countDuring([] { (void)vcmdLoadVoice("Cave", 0, 0); }).allocations, 0);
}

TEST_F(AllocationTest, CounterSeesReleasesAtAll) {
    // Replacing the voice twice: the control call deletes the chain the
    // audio thread retired in between (through operator delete and free).
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_OK);
    static std::vector<float> l(256, 0.1f), r(256, 0.1f);
    ASSERT_EQ(vcmdProcessStereoBuffer(l.data(), r.data(), 256), VCMD_OK);
    ASSERT_EQ(vcmdLoadVoice("Cave", 0, 0), VCMD_OK);
    for (int i = 0; i < 20; ++i) ASSERT_EQ(vcmdProcessStereoBuffer(l.data(), r.data(), 256), VCMD_OK);
    EXPECT_GT(countDuring([] { (void)vcmdLoadVoice("Robot", 0, 0); }).releases, 0);
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
        const HeapCalls n = countDuring([] {
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
        EXPECT_EQ(n.allocations, 0);
        EXPECT_EQ(n.releases, 0);
    }
}

TEST_F(AllocationTest, TakingANewVoiceOnTheAudioThreadAllocatesNothing) {
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Robot", 0, 0), VCMD_OK);
    static std::vector<float> l(256, 0.1f), r(256, 0.1f);
    ASSERT_EQ(vcmdProcessStereoBuffer(l.data(), r.data(), 256), VCMD_OK);
    ASSERT_EQ(vcmdLoadVoice("Cathedral", 0, 0), VCMD_OK);  // built here, on the control thread
    ASSERT_EQ(vcmdSetSampleRate(96000.0f), VCMD_OK);
    // The audio thread takes the new voice, crossfades and retires the old
    // one, which stays allocated until a later control call frees it.
    const HeapCalls n = countDuring([] {
        for (int i = 0; i < 20; ++i) (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
    });
    EXPECT_EQ(n.allocations, 0);
    EXPECT_EQ(n.releases, 0);
}

TEST_F(AllocationTest, PitchSynchronousGrainsAllocateNothing) {
    // A voice at 125 Hz (pulses through a resonance near 500 Hz), long
    // enough for the tracker to mark its periods and the grains to be laid.
    mountLab();
    ASSERT_EQ(vcmdLoadVoice("Synchronous Lab", 0, 0), VCMD_OK);
    static std::vector<float> voice(48000 * 2);
    double y1 = 0.0, y2 = 0.0;
    for (std::size_t i = 0; i < voice.size(); ++i) {
        const double y = ((i % 384 == 0) ? 1.0 : 0.0) + 1.97 * y1 - 0.975 * y2;
        y2 = y1, y1 = y;
        voice[i] = static_cast<float>(0.02 * y);
    }
    static std::size_t at = 0;
    static void (*const block)() = [] {
        static std::vector<float> l(256), r(256);
        std::copy(voice.begin() + static_cast<std::ptrdiff_t>(at),
                  voice.begin() + static_cast<std::ptrdiff_t>(at + 256), l.begin());
        std::copy(l.begin(), l.end(), r.begin());
        at = (at + 256) % (voice.size() - 256);
        (void)vcmdProcessStereoBuffer(l.data(), r.data(), 256);
    };
    for (int i = 0; i < 100; ++i) block();  // the voice taken, the marks under way
    const HeapCalls n = countDuring([] {
        for (int i = 0; i < 200; ++i) block();
    });
    EXPECT_EQ(n.allocations, 0);
    EXPECT_EQ(n.releases, 0);
}

}  // namespace
}  // namespace enginetest
