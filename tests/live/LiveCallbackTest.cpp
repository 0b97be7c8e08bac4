// The work of one 'live' audio callback (LiveBlock), without a device:
// device channels through the host graph and the VoicemodNode, in pieces
// when a callback brings more frames than a block, and nothing an audio
// thread must not do. A build without sanitizers counts malloc, free, new,
// delete and mutex locks made inside the callback; a build with
// -fsanitize=realtime has RealtimeSanitizer watch it (the callback is
// declared non-blocking there) and stop at any of those or a system call.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include <corvane/SingleBusAudioProcessorNode.h>

#include "cleanmic/CleanMic.h"
#include "commands/CommandLine.h"
#include "live/LiveBlock.h"
#include "render/VoiceChanger.h"

#if LIVE_COUNT_CALLS
#include "UnsafeCalls.h"
#endif

namespace {

using corvane::extensions::voicemod::VoicemodNode;
using corvane::tool::LiveBlock;
using corvane::tool::LiveFigures;
using corvane::tool::VoiceChanger;

// Non-interleaved device buffers, as PortAudio hands them to a callback.
struct DeviceBuffers {
    DeviceBuffers(std::uint32_t channels, std::uint32_t frames)
        : samples(channels, std::vector<float>(frames)), pointers(channels) {
        for (std::uint32_t c = 0; c < channels; ++c) pointers[c] = samples[c].data();
    }
    std::vector<std::vector<float>> samples;
    std::vector<float*> pointers;
};

constexpr std::uint32_t kLargest = 1024;

// One callback of `frames`, watched; "" when it made no unsafe call.
std::string watchedCallback(LiveBlock& block, const DeviceBuffers& in, DeviceBuffers& out, unsigned long frames) {
#if LIVE_COUNT_CALLS
    testsupport::watchUnsafeCalls();
#endif
    block.process(in.pointers.data(), out.pointers.data(), frames, false);
#if LIVE_COUNT_CALLS
    if (const unsigned long calls = testsupport::unwatchUnsafeCalls())
        return std::to_string(calls) + " unsafe calls, first " + testsupport::firstUnsafeCall();
#endif
    return "";
}

#ifdef CORVANE_LIVE_RTSAN
// Takes heap memory where none may be taken.
void allocateInCallback() CORVANE_LIVE_NONBLOCKING {
    void* volatile p = std::malloc(64);
    std::free(p);
}
#endif

// The watch itself sees an allocation, so a pass means something.
void expectWatchIsOn() {
#ifdef CORVANE_LIVE_RTSAN
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(allocateInCallback(), "RealtimeSanitizer");
#elif LIVE_COUNT_CALLS
    testsupport::watchUnsafeCalls();
    void* volatile p = std::malloc(64);
    std::free(p);
    EXPECT_EQ(testsupport::unwatchUnsafeCalls(), 2u);
#endif
}

class LiveCallback : public ::testing::Test {
protected:
    static void SetUpTestSuite() { changer_ = new VoiceChanger(CORVANE_VOICES_DIR); }
    static void TearDownTestSuite() {
        delete changer_;
        changer_ = nullptr;
    }
    static VoiceChanger* changer_;
};
VoiceChanger* LiveCallback::changer_ = nullptr;

TEST_F(LiveCallback, EveryVoiceRunsWithoutLockMemoryOrSystemCall) {
#if !LIVE_COUNT_CALLS && !defined(CORVANE_LIVE_RTSAN)
    GTEST_SKIP() << "nothing watches the callback in this build (a sanitizer owns malloc)";
#endif
    expectWatchIsOn();
    ASSERT_FALSE(changer_->voices().empty());
    for (const std::string& voice : changer_->voices()) {
        for (const auto& [inChannels, outChannels] : {std::pair{1u, 2u}, std::pair{2u, 2u}, std::pair{2u, 1u}}) {
            VoicemodNode node;
            changer_->prepare(node, voice, {}, {});
            LiveBlock block(node, inChannels, outChannels, 48000, 256);
            DeviceBuffers in(inChannels, kLargest), out(outChannels, kLargest);
            for (std::uint32_t c = 0; c < inChannels; ++c)
                for (std::uint32_t i = 0; i < kLargest; ++i)
                    in.samples[c][i] = 0.3f * std::sin(0.05f * static_cast<float>(i * (c + 1)));
            block.process(in.pointers.data(), out.pointers.data(), 256, false);  // the voice handed over

            const std::string where = voice + ", " + std::to_string(inChannels) + " -> " +
                                      std::to_string(outChannels) + " channel(s)";
            for (unsigned long frames : {256ul, 100ul, 1000ul})
                for (int k = 0; k < 10; ++k)
                    ASSERT_EQ(watchedCallback(block, in, out, frames), "") << where << ", " << frames << " frames";
            // Switches moved by the terminal thread between callbacks.
            for (int k = 0; k < 8; ++k) {
                node.setBypassEnabled(k % 2 == 0);
                node.setMuteEnabled(k % 4 == 1);
                ASSERT_EQ(watchedCallback(block, in, out, 256), "") << where << ", switch " << k;
            }
            (void)block.takeFigures();
        }
    }
}

// --denoise and --gate put their nodes before the voice; their work in the
// callback is watched the same way.
TEST_F(LiveCallback, NoiseSuppressorAndGateBeforeTheVoiceMakeNoUnsafeCall) {
#if !LIVE_COUNT_CALLS && !defined(CORVANE_LIVE_RTSAN)
    GTEST_SKIP() << "nothing watches the callback in this build (a sanitizer owns malloc)";
#endif
    expectWatchIsOn();
    corvane::tool::LiveOptions options;
#if CORVANE_VOICEMOD_HAVE_SPEEXDSP
    options.denoise = true;
    const std::uint32_t delay = 256;  // blocks of one frame: cleaned in place
#else
    const std::uint32_t delay = 0;    // a build without speexdsp: the gate alone
#endif
    options.gate = true;
    options.gateThreshold = -40.0;
    for (const std::uint32_t channels : {1u, 2u}) {
        corvane::tool::CleanMic clean(options);
        VoicemodNode node;
        changer_->prepare(node, "Chipmunk", {}, {});
        LiveBlock block(clean.nodes(), node, channels, 2, 48000, 256);
        EXPECT_EQ(clean.latencyFrames(), delay);
        DeviceBuffers in(channels, kLargest), out(2, kLargest);
        for (std::uint32_t c = 0; c < channels; ++c)
            for (std::uint32_t i = 0; i < kLargest; ++i)
                in.samples[c][i] = 0.3f * std::sin(0.05f * static_cast<float>(i)) +
                                   0.01f * static_cast<float>((i * 7919u) % 101u) / 101.0f;
        block.process(in.pointers.data(), out.pointers.data(), 256, false);
        // Callbacks that end inside a suppressor frame and ones of several frames.
        for (unsigned long frames : {256ul, 100ul, 1000ul, 37ul})
            for (int k = 0; k < 10; ++k)
                ASSERT_EQ(watchedCallback(block, in, out, frames), "")
                    << channels << " channel(s), " << frames << " frames";
        EXPECT_EQ(block.takeFigures().failedBlocks, 0u);
    }
}

TEST_F(LiveCallback, DeviceChannelsAndLongCallbacksGoThroughTheGraphIntact) {
    VoicemodNode node;
    changer_->prepare(node, changer_->voices().front(), {}, {});
    node.setBypassEnabled(true);
    LiveBlock block(node, 1, 2, 48000, 256);
    DeviceBuffers in(1, kLargest), out(2, kLargest);
    // Past the bypass ramp: the voice is then the input itself.
    for (int k = 0; k < 40; ++k) block.process(in.pointers.data(), out.pointers.data(), 256, false);

    // 1000 frames in blocks of 256: 256 + 256 + 256 + 232, end to end.
    for (std::uint32_t i = 0; i < kLargest; ++i) in.samples[0][i] = static_cast<float>(i % 97) / 97.0f - 0.5f;
    block.process(in.pointers.data(), out.pointers.data(), 1000, true);
    for (std::uint32_t c = 0; c < 2; ++c)
        for (std::uint32_t i = 0; i < 1000; ++i)
            ASSERT_EQ(out.samples[c][i], in.samples[0][i]) << "channel " << c << ", frame " << i;

    // No input (a device that gave none): silence, not stale samples.
    block.process(nullptr, out.pointers.data(), 256, false);
    for (std::uint32_t i = 0; i < 256; ++i) ASSERT_EQ(out.samples[1][i], 0.0f) << "frame " << i;

    const LiveFigures figures = block.takeFigures();
    EXPECT_EQ(figures.callbacks, 42u);
    EXPECT_EQ(figures.frames, 40u * 256 + 1000 + 256);
    EXPECT_EQ(figures.xruns, 1u);
    EXPECT_EQ(figures.failedBlocks, 0u);
    // The deadline shown is the worst callback's own: 1000 frames for
    // callback 41, 256 for any other.
    EXPECT_NEAR(figures.deadlineSeconds, (figures.worstCallback == 41 ? 1000.0 : 256.0) / 48000.0, 1e-9);
    EXPECT_GT(figures.worstSeconds, 0.0);
    EXPECT_NEAR(figures.inputPeak, 0.5f, 0.02f);
    EXPECT_EQ(block.takeFigures().inputPeak, 0.0f);  // the meters start again
}

// A node that takes a fixed time per block, whatever its length.
class SlowNode : public corvane::SingleBusAudioProcessorNode {
public:
    explicit SlowNode(std::chrono::microseconds cost) : cost_(cost) {}
    bool setBusFormat(corvane::AudioBusFormat& input, corvane::AudioBusFormat& output) override {
        return corvane::AudioBusFormat::matchBusFormats(input, output);
    }
    bool process(corvane::AudioBus& input, corvane::AudioBus& output) override {
        output.copyFrom(input);
        const auto until = std::chrono::steady_clock::now() + cost_;
        while (std::chrono::steady_clock::now() < until) {
        }
        return true;
    }

private:
    std::chrono::microseconds cost_;
};

// "late" and "worst callback" judge a callback by the same deadline, its
// own length: a short callback that overran is the worst and is late, even
// when a long one took more time within its own deadline.
TEST_F(LiveCallback, LateAndWorstCallbackUseTheCallbacksOwnDeadline) {
    // The long callback keeps inside its deadline even when a busy machine
    // stretches its time threefold.
    SlowNode slow(std::chrono::microseconds(1500));
    LiveBlock block(slow, 1, 1, 48000, 256);
    DeviceBuffers in(1, kLargest), out(1, kLargest);
    block.process(in.pointers.data(), out.pointers.data(), 1024, false);  // 4 blocks: 6 ms of 21.3 ms
    block.process(in.pointers.data(), out.pointers.data(), 48, false);    // 1 block: 1.5 ms of 1 ms
    const LiveFigures figures = block.takeFigures();
    EXPECT_EQ(figures.late, 1u);
    EXPECT_EQ(figures.worstCallback, 2u);
    EXPECT_NEAR(figures.deadlineSeconds, 48.0 / 48000.0, 1e-9);
    EXPECT_GT(figures.worstPercent(), 100.0);
    EXPECT_GE(figures.worstSeconds, 0.0015);
}

// Asked to, each callback also reads what it cost its thread: a callback
// reading pages nobody has touched yet shows page faults, a pause between
// two callbacks shows as the wait before the second, and the slowest
// callback's CPU time is within its wall time.
TEST_F(LiveCallback, ThreadCostsShowPageFaultsWaitsAndCpuTime) {
#ifdef CORVANE_LIVE_RTSAN
    GTEST_SKIP() << "measuring makes system calls in the callback, which RealtimeSanitizer stops";
#endif
    VoicemodNode node;
    changer_->prepare(node, changer_->voices().front(), {}, {});
    LiveBlock block(node, 1, 1, 48000, 256);
    DeviceBuffers in(1, kLargest), out(1, kLargest);
#if !defined(__linux__)
    EXPECT_FALSE(block.measureThreadCosts(true)) << "only Linux has per-thread figures";
#else
    ASSERT_TRUE(block.measureThreadCosts(true));
    for (int k = 0; k < 5; ++k) block.process(in.pointers.data(), out.pointers.data(), 256, false);
    const std::size_t bytes = kLargest * sizeof(float);
    void* fresh = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(fresh, MAP_FAILED);
    const float* freshInput[1] = {static_cast<const float*>(fresh)};
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    block.process(freshInput, out.pointers.data(), kLargest, false);  // callback 6
    for (int k = 0; k < 5; ++k) block.process(in.pointers.data(), out.pointers.data(), 256, false);
    munmap(fresh, bytes);

    const LiveFigures figures = block.takeFigures();
    EXPECT_TRUE(figures.threadCosts);
    EXPECT_GE(figures.faultedCallbacks, 1u);
    EXPECT_GE(figures.longestGapSeconds, 0.03);
    EXPECT_EQ(figures.longestGapCallback, 6u);
    EXPECT_GE(figures.worstCallback, 1u);
    EXPECT_LE(figures.worstCallback, 11u);
    EXPECT_GT(figures.worstCpuSeconds, 0.0);
    EXPECT_LT(figures.worstCpuSeconds, figures.worstSeconds + 0.001);
    EXPECT_GE(figures.mostCpuSeconds, figures.worstCpuSeconds);
#endif
}

}  // namespace
