// AllocationTest.cpp - the audio path neither allocates nor frees memory
// once a voice runs.
//
// This binary replaces malloc, calloc, realloc, free and the global
// operators new and delete for the whole process (the engine library
// included, through symbol interposition) and counts calls while a counting
// window is open: allocations and releases apart, since a voice the audio
// thread is done with must be freed by a later control call, never by the
// audio thread itself. The same replacements let a test step into a voice
// load at a chosen allocation or release (a probe), to make a parameter
// call or process a block at that exact point of the load.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>
#include <functional>
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

// A probe sees every operator new (after the block is taken; answering true
// makes that allocation fail) and every operator delete (before the block
// goes back). What it does itself is not probed.
struct Probe {
    virtual ~Probe() = default;
    virtual bool allocated(void*) noexcept { return false; }
    virtual void releasing(void*) noexcept {}
};
std::atomic<Probe*> gProbe{nullptr};
std::atomic<bool> gInProbe{false};

bool probeAllocation(void* p) noexcept {
    Probe* probe = gProbe.load();
    if (probe == nullptr || gInProbe.exchange(true)) return false;
    const bool fail = probe->allocated(p);
    gInProbe = false;
    return fail;
}
void probeRelease(void* p) noexcept {
    Probe* probe = gProbe.load();
    if (probe == nullptr || p == nullptr || gInProbe.exchange(true)) return;
    probe->releasing(p);
    gInProbe = false;
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
    if (void* p = __libc_malloc(n != 0 ? n : 1)) {
        if (!probeAllocation(p)) return p;
        __libc_free(p);
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept {
    probeRelease(p);
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

// A value set while a voice loads: the parameter calls made at chosen
// points inside vcmdLoadVoice, through the probe.
class LoadProbe : public Probe {
public:
    int allocations = 0;
    std::function<bool(int)> onAllocation;  // gets the allocation's number from 1; true fails it
    void* watched = nullptr;                // a block whose release calls onRelease
    std::function<void()> onRelease;
    void* first = nullptr;  // the load's first block: the new voice's chain

    explicit LoadProbe() { gProbe = this; }
    ~LoadProbe() override { gProbe = nullptr; }
    bool allocated(void* p) noexcept override {
        if (++allocations == 1) first = p;
        return onAllocation && onAllocation(allocations);
    }
    void releasing(void* p) noexcept override {
        if (p == watched && onRelease) {
            onRelease();
            onRelease = nullptr;
        }
    }
};

float parameter(const char* name) {
    float value = -1000.0f;
    EXPECT_EQ(vcmdGetParameter(name, &value), VCMD_OK) << name;
    return value;
}

TEST_F(AllocationTest, AValueSetDuringAVoiceLoadIsNeitherLostNorAppliedToTheWrongVoice) {
    mountShipped();
    ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
    ASSERT_EQ(vcmdSetParameter("Formant", 1.0f), VCMD_OK);

    // Loading the current voice again runs out of memory after a set made
    // during the build has returned: the load changes nothing, and the value
    // set is the one the voice keeps (not the one it had before the load).
    std::int32_t setDuring = -1;
    {
        LoadProbe probe;
        probe.onAllocation = [&](int n) {
            if (n == 2) setDuring = vcmdSetParameter("Formant", 2.0f);
            return n == 3;
        };
        EXPECT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_ERR_OUT_OF_MEMORY);
    }
    EXPECT_EQ(setDuring, VCMD_OK);
    EXPECT_EQ(parameter("Formant"), 2.0f) << "a set that returned OK was lost";

    // A set while another voice is being built goes to the voice current
    // then; the new voice starts at its own default (Deep Voice: -2).
    void* deepVoiceChain = nullptr;
    float readDuring = 0.0f;
    {
        LoadProbe probe;
        probe.onAllocation = [&](int n) {
            if (n == 2) {
                setDuring = vcmdSetParameter("Formant", -5.0f);
                (void)vcmdGetParameter("Formant", &readDuring);
            }
            return false;
        };
        ASSERT_EQ(vcmdLoadVoice("Deep Voice", 0, 0), VCMD_OK);
        deepVoiceChain = probe.first;
    }
    EXPECT_EQ(setDuring, VCMD_OK);
    EXPECT_EQ(readDuring, -5.0f);
    EXPECT_EQ(parameter("Formant"), -2.0f) << "a value set on the old voice reached the new one";

    // Deep Voice's chain was never taken by the audio thread, so loading
    // Chipmunk releases it once Chipmunk's chain has been posted. There the
    // audio thread takes Chipmunk and a set follows: it must reach Chipmunk,
    // the voice now running, not Deep Voice.
    bool probed = false;
    {
        LoadProbe probe;
        probe.watched = deepVoiceChain;
        probe.onRelease = [&] {
            static std::vector<float> block(256, 0.1f);
            probed = vcmdProcessBuffer(block.data(), 256) == VCMD_OK;
            setDuring = vcmdSetParameter("Formant", 5.0f);
        };
        ASSERT_EQ(vcmdLoadVoice("Chipmunk", 0, 0), VCMD_OK);
    }
    ASSERT_TRUE(probed) << "the load did not release the chain left in the mailbox";
    EXPECT_EQ(setDuring, VCMD_OK);
    EXPECT_EQ(parameter("Formant"), 5.0f) << "the voice heard and the voice written were not the same";
}

}  // namespace
}  // namespace enginetest
