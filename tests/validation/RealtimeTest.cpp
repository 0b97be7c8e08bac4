// RealtimeTest.cpp - VoicemodNode::process must not allocate, lock or make a
// system call once the voice is in place, nor may the calls a host makes from
// its audio thread around it: parameter automation (setParameter,
// getParameter) and the latency query.
//
// Built with -fsanitize=realtime (clang 20 or later), every block runs inside
// a [[clang::nonblocking]] function, which RealtimeSanitizer watches: any
// malloc, lock or system call under it ends the program with a report.
// Without that sanitizer (and without the others, which own malloc), the test
// program replaces malloc, free, operator new and pthread_mutex_lock for the
// whole process, shared libraries included, and counts their calls made on
// the audio thread while a block is processed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <string>

#include "Cases.h"

#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define VALIDATION_RTSAN 1
#endif
#endif

#if defined(VALIDATION_EXPECT_RTSAN) && !defined(VALIDATION_RTSAN)
#error "the build asks for RealtimeSanitizer, but the compiler does not provide it"
#endif

#ifdef VALIDATION_RTSAN
#define VALIDATION_NONBLOCKING [[clang::nonblocking]]
#else
#define VALIDATION_NONBLOCKING
#endif

#if VALIDATION_COUNT_CALLS
#include "UnsafeCalls.h"
#endif

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodNode;

#if defined(_WIN32)
// Windows links every DLL's calls to the C runtime and its locks directly:
// nothing can replace malloc or the mutexes for the whole process there, so
// the audio path is watched on Linux only.
constexpr const char* kNoWatchOnWindows =
    "Windows: no process-wide replacement of malloc and the mutexes; watched on Linux only";
#endif

// The audio-thread call, as the host makes it.
bool processBlock(VoicemodNode& node, Buses& buses) VALIDATION_NONBLOCKING {
    return node.process(buses.inBus, buses.outBus);
}

// A block as a host that automates a parameter makes it on its audio thread:
// the new value, a value for a parameter the voice lacks (refused), the
// value read back for its display, the delay for its compensation, then the
// block.
struct Automation {
    const char* name;
    float value;
    float readBack;
    std::uint32_t latency;
    std::int32_t set = -1;
    std::int32_t refused = 0;
};
bool automatedBlock(VoicemodNode& node, Buses& buses, Automation& a) VALIDATION_NONBLOCKING {
    a.set = node.trySetParameter(a.name, a.value);
    a.refused = node.trySetParameter("a parameter no voice has", a.value);
    a.readBack = node.getParameter(a.name);
    a.latency = node.getLatencyFrames().value_or(0xFFFFFFFFu);
    return node.process(buses.inBus, buses.outBus);
}

// Runs one automated block under watch; returns what was seen.
std::string watchedAutomation(VoicemodNode& node, Buses& buses, Automation& a) {
#if VALIDATION_COUNT_CALLS
    testsupport::watchUnsafeCalls();
#endif
    const bool ok = automatedBlock(node, buses, a);
#if VALIDATION_COUNT_CALLS
    const unsigned long unsafeCalls = testsupport::unwatchUnsafeCalls();
    if (unsafeCalls != 0)
        return std::string("an automated block made ") + std::to_string(unsafeCalls) + " unsafe calls, first " +
               testsupport::firstUnsafeCall();
#endif
    if (!ok) return "an automated block: process returned false";
    return std::string();
}

#ifdef VALIDATION_RTSAN
// Takes heap memory where no heap memory may be taken.
void allocateInRealtime() VALIDATION_NONBLOCKING {
    void* volatile p = std::malloc(64);
    std::free(p);
}
#endif

// Runs `blocks` blocks of `frames` under watch; returns what was seen.
std::string watchedBlocks(VoicemodNode& node, Buses& buses, int blocks) {
    for (int k = 0; k < blocks; ++k) {
#if VALIDATION_COUNT_CALLS
        testsupport::watchUnsafeCalls();
#endif
        const bool ok = processBlock(node, buses);
#if VALIDATION_COUNT_CALLS
        const unsigned long unsafeCalls = testsupport::unwatchUnsafeCalls();
        if (unsafeCalls != 0)
            return "block " + std::to_string(k) + " made " + std::to_string(unsafeCalls) + " unsafe calls, first " +
                   testsupport::firstUnsafeCall();
#endif
        if (!ok) return "block " + std::to_string(k) + ": process returned false";
        ++totals().blocks;
        totals().frames += buses.frames();
    }
    return std::string();
}

TEST(RealtimeWatch, IsLive) {
#if defined(VALIDATION_RTSAN)
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(allocateInRealtime(), "RealtimeSanitizer");
#elif VALIDATION_COUNT_CALLS
    testsupport::watchUnsafeCalls();
    void* volatile p = std::malloc(64);
    std::free(p);
    int* volatile a = new int[8];
    delete[] a;
    EXPECT_EQ(testsupport::unwatchUnsafeCalls(), 4u);
#elif defined(_WIN32)
    GTEST_SKIP() << kNoWatchOnWindows;
#else
    GTEST_SKIP() << "built with a sanitizer that owns malloc but not with -fsanitize=realtime: nothing watches";
#endif
}

class Realtime : public ::testing::TestWithParam<Case> {};

TEST_P(Realtime, ProcessTakesNoLockNoMemoryAndMakesNoSystemCall) {
#if defined(_WIN32) && !VALIDATION_COUNT_CALLS
    GTEST_SKIP() << kNoWatchOnWindows;
#elif !defined(VALIDATION_RTSAN) && !VALIDATION_COUNT_CALLS
    GTEST_SKIP() << "nothing watches the audio thread in this build";
#endif
    const Case& c = GetParam();
    const VoiceInfo& voice = voiceNamed(c.voice);
    Rng rng("realtime/" + c.voice + "/" + std::to_string(c.channels));
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    ASSERT_TRUE(negotiate(node, 48000, c.channels, 4096));
    Buses buses(c.channels, 4096);

    // Warm-up: the voice taken over from the control side, the crossfade done.
    buses.setFrames(1024);
    buses.fillNoise(rng);
    ASSERT_TRUE(node.process(buses.inBus, buses.outBus));

    for (std::uint32_t frames : {1u, 17u, 256u, 257u, 4096u}) {
        buses.setFrames(frames);
        buses.fillNoise(rng);
        ASSERT_EQ(watchedBlocks(node, buses, 20), "") << c << ", blocks of " << frames;
    }
    // Every switch ramp, background fades, parameter moves and odd samples,
    // each changed from the control side between blocks.
    buses.setFrames(512);
    for (int k = 0; k < 200; ++k) {
        node.setBypassEnabled(rng.below(2) == 1);
        node.setMuteEnabled(rng.below(3) == 0);
        node.setBackgroundSoundsEnabled(rng.below(2) == 1);
        for (const ParameterInfo& p : voice.parameters) node.setParameter(p.name.c_str(), rng.uniform(p.minimum, p.maximum));
        buses.fillNoise(rng);
        if (k % 7 == 0) buses.input(0)[rng.below(512)] = std::numeric_limits<float>::quiet_NaN();
        if (k % 11 == 0) buses.input(0)[rng.below(512)] = std::numeric_limits<float>::infinity();
        ASSERT_EQ(watchedBlocks(node, buses, 1), "") << c << ", changing block " << k;
    }
    // A new voice and a new mode handed over while blocks run: the handover
    // itself must be free of unsafe calls too.
    const auto& all = voices();
    for (std::size_t v = 0; v < all.size(); ++v) {
        node.loadVoice(all[v].name);
        node.setOfflineModeEnabled(v % 2 == 1);
        buses.fillNoise(rng);
        ASSERT_EQ(watchedBlocks(node, buses, 3), "") << c << ", after loading " << all[v].name;
    }
    node.setOfflineModeEnabled(false);
}

// Automation from the audio thread: the parameter calls and the latency
// query must not take the engine's control lock (a voice load holds it while
// it builds the voice, so the audio thread would wait for that) nor allocate.
TEST_P(Realtime, ParameterAutomationOnTheAudioThreadTakesNoLockNoMemory) {
#if defined(_WIN32) && !VALIDATION_COUNT_CALLS
    GTEST_SKIP() << kNoWatchOnWindows;
#elif !defined(VALIDATION_RTSAN) && !VALIDATION_COUNT_CALLS
    GTEST_SKIP() << "nothing watches the audio thread in this build";
#endif
    const Case& c = GetParam();
    const VoiceInfo& voice = voiceNamed(c.voice);
    if (voice.parameters.empty()) GTEST_SKIP() << c.voice << " has no parameters";
    Rng rng("realtime-automation/" + c.voice + "/" + std::to_string(c.channels));
    VoicemodNode node;
    startFrom(node, c.voice, c.channels);
    ASSERT_TRUE(negotiate(node, 48000, c.channels, 256));
    Buses buses(c.channels, 256);
    buses.setFrames(256);
    buses.fillNoise(rng);
    ASSERT_TRUE(node.process(buses.inBus, buses.outBus));
    const std::uint32_t latency = node.getLatencyFrames().value();

    for (int k = 0; k < 100; ++k) {
        const ParameterInfo& p = voice.parameters[static_cast<std::size_t>(k) % voice.parameters.size()];
        Automation a{p.name.c_str(), rng.uniform(p.minimum, p.maximum), 0.0f, 0};
        buses.fillNoise(rng);
        ASSERT_EQ(watchedAutomation(node, buses, a), "") << c << ", block " << k;
        EXPECT_EQ(a.set, 0) << c << ", " << p.name;
        EXPECT_NE(a.refused, 0) << c;
        EXPECT_EQ(a.readBack, a.value) << c << ", " << p.name;
        EXPECT_EQ(a.latency, latency) << c;
    }
}

INSTANTIATE_TEST_SUITE_P(Voices, Realtime, ::testing::ValuesIn(allCases()), caseName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Realtime);

}  // namespace
}  // namespace validation
