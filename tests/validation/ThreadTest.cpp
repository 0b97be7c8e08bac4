// ThreadTest.cpp - the audio thread runs blocks while a control thread loads
// every voice in turn, flips the four switches and moves the parameters; and
// two host graphs, each on its own audio thread, share the one voice changer.
// Meant to run under ThreadSanitizer as well: any data race is a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "Cases.h"
#include "LogCapture.h"

namespace validation {
namespace {

using corvane::extensions::voicemod::VoicemodNode;

constexpr int kAudioBlocks = 5000;
constexpr std::uint32_t kFrames = 32;
constexpr int kControlRounds = 2000;

float pick(Rng& rng, const ParameterInfo& p) {
    switch (rng.below(4)) {
        case 0: return p.minimum;
        case 1: return p.maximum;
        default: return rng.uniform(p.minimum, p.maximum);
    }
}

class Threads : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(Threads, AudioBlocksWhileVoicesSwitchesAndParametersChange) {
    const std::uint32_t channels = GetParam();
    const auto& all = voices();
    VoicemodNode node;
    startFrom(node, all.front().name, channels);
    ASSERT_TRUE(negotiate(node, 48000, channels, kFrames));

    std::atomic<int> ready{0};
    std::atomic<bool> controlDone{false};
    std::atomic<int> audioBlocks{0};
    std::atomic<bool> audioFailed{false};
    std::string audioFault;  // written by the audio thread, read after join
    std::string controlFault;
    int controlRounds = 0;

    std::thread audio([&] {
        Rng rng("threads/audio/" + std::to_string(channels));
        Buses buses(channels, kFrames);
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        for (int k = 0; k < kAudioBlocks || !controlDone.load(std::memory_order_acquire); ++k) {
            buses.fillNoise(rng);
            const std::string fault = processAndCheck(node, buses);
            if (!fault.empty()) {
                audioFault = "block " + std::to_string(k) + ": " + fault;
                audioFailed.store(true, std::memory_order_release);
                break;
            }
            audioBlocks.store(k + 1, std::memory_order_release);
        }
    });

    // Control rounds until both sides have done their share; any early end
    // (a fault, an exception) still lets the audio thread stop.
    auto controlRoundsUntilDone = [&](Rng& rng) {
        for (int r = 0; r < kControlRounds || audioBlocks.load(std::memory_order_acquire) < kAudioBlocks; ++r) {
            if (audioFailed.load(std::memory_order_acquire)) return;
            const VoiceInfo& v = all[static_cast<std::size_t>(r) % all.size()];
            node.loadVoice(v.name);
            const bool bypass = rng.below(2) == 1, mute = rng.below(4) == 0, offline = rng.below(8) == 0,
                       background = rng.below(2) == 1;
            node.setBypassEnabled(bypass);
            node.setMuteEnabled(mute);
            node.setOfflineModeEnabled(offline);
            node.setBackgroundSoundsEnabled(background);
            for (const ParameterInfo& p : v.parameters) {
                const float value = pick(rng, p);
                node.setParameter(p.name.c_str(), value);
                if (node.getParameter(p.name.c_str()) != value) {
                    controlFault = "round " + std::to_string(r) + ": " + v.name + "." + p.name + " reads back wrong";
                    return;
                }
            }
            if (node.getCurrentVoice() != v.name || node.getBypassEnabled() != bypass ||
                node.getMuteEnabled() != mute || node.getOfflineModeEnabled() != offline ||
                node.getBackgroundSoundsEnabled() != background) {
                controlFault = "round " + std::to_string(r) + ": the state does not read back as set";
                return;
            }
            controlRounds = r + 1;
        }
    };

    std::thread control([&] {
        Rng rng("threads/control/" + std::to_string(channels));
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        try {
            controlRoundsUntilDone(rng);
        } catch (const std::exception& e) {
            controlFault = std::string("control call threw: ") + e.what();
        }
        controlDone.store(true, std::memory_order_release);
    });

    audio.join();
    controlDone.store(true);
    control.join();
    EXPECT_EQ(audioFault, "");
    EXPECT_EQ(controlFault, "");
    EXPECT_GE(audioBlocks.load(), kAudioBlocks);
    EXPECT_GE(controlRounds, kControlRounds);
    std::printf("threads: %d audio blocks of %u frames against %d control rounds (%zu voices)\n", audioBlocks.load(),
                kFrames, controlRounds, all.size());
}

INSTANTIATE_TEST_SUITE_P(Channels, Threads, ::testing::Values(1u, 2u),
                         [](const ::testing::TestParamInfo<std::uint32_t>& i) {
                             return std::string(i.param == 1 ? "mono" : "stereo");
                         });

// A host automating parameters from its audio thread while the application
// loads voices: the parameter calls meet the voice changes without a lock
// (ThreadSanitizer watches them in CI). A call may find the voice changed
// under it, and then be refused as an unknown name or a value out of the new
// voice's range; it must never be anything else, and every block must still
// be processed.
TEST(AutomationThread, ParametersSetAndReadOnTheAudioThreadWhileVoicesLoad) {
    const auto& all = voices();
    VoicemodNode node;
    startFrom(node, all.front().name, 2);
    ASSERT_TRUE(negotiate(node, 48000, 2, kFrames));
    std::vector<ParameterInfo> parameters;  // every voice's, names repeated
    for (const VoiceInfo& v : all) parameters.insert(parameters.end(), v.parameters.begin(), v.parameters.end());
    ASSERT_FALSE(parameters.empty());

    testsupport::LogCapture log;  // the refusals are logged; keep them out of the output
    std::atomic<bool> loading{true};
    std::string audioFault;
    int accepted = 0, refused = 0;
    std::thread audio([&] {
        Rng rng("threads/automation");
        Buses buses(2, kFrames);
        for (int k = 0; k < kAudioBlocks || loading.load(std::memory_order_acquire); ++k) {
            const ParameterInfo& p = parameters[rng.below(static_cast<std::uint32_t>(parameters.size()))];
            // The audio thread's setter: a refusal (the voice just loaded
            // lacks the name, or holds it to another range) comes back as a
            // code, without a log line or an exception.
            const std::int32_t code = node.trySetParameter(p.name.c_str(), pick(rng, p));
            if (code != 0 && code != -7 && code != -8) {
                audioFault = "block " + std::to_string(k) + ": trySetParameter gave " + std::to_string(code);
                break;
            }
            ++(code == 0 ? accepted : refused);
            try {
                node.getParameter(p.name.c_str());
            } catch (const corvane::extensions::voicemod::VoicemodError& e) {
                if (e.code() != -7) {
                    audioFault = std::string("block ") + std::to_string(k) + ": " + e.what();
                    break;
                }
            }
            buses.fillNoise(rng);
            const std::string fault = processAndCheck(node, buses);
            if (!fault.empty()) {
                audioFault = "block " + std::to_string(k) + ": " + fault;
                break;
            }
        }
    });
    for (int r = 0; r < kControlRounds / 4; ++r) node.loadVoice(all[static_cast<std::size_t>(r) % all.size()].name);
    loading.store(false, std::memory_order_release);
    audio.join();
    EXPECT_EQ(audioFault, "");
    EXPECT_GT(accepted, 0);
    std::printf("automation: %d parameter changes taken, %d refused by a voice change\n", accepted, refused);
}

// Two nodes, one mono and one stereo, processed on two audio threads while a
// third thread loads voices. The voice changer runs one audio thread at a
// time: a block that comes while the other thread is inside it is refused,
// so process() logs and returns false with the output a copy of the input.
// Every block must be one or the other, and nothing may touch freed memory.
TEST(TwoGraphs, EachOnItsOwnAudioThreadWhileVoicesLoad) {
    const auto& all = voices();
    VoicemodNode control;
    startFrom(control, all.front().name, 2);
    testsupport::LogCapture log;

    struct Side {
        std::uint32_t channels;
        VoicemodNode node;
        std::atomic<int> processed{0}, refused{0};
        std::string fault;  // written by its audio thread, read after join
    };
    Side sides[2];
    sides[0].channels = 1;
    sides[1].channels = 2;
    for (Side& side : sides) ASSERT_TRUE(negotiate(side.node, 48000, side.channels, kFrames));
    std::atomic<bool> stop{false};
    auto audio = [&](Side& side) {
        Rng rng("two-graphs/" + std::to_string(side.channels));
        Buses buses(side.channels, kFrames);
        while (side.fault.empty() && !stop.load()) {
            buses.fillNoise(rng);
            if (side.node.process(buses.inBus, buses.outBus)) {
                side.fault = checkOutput(buses);
                ++side.processed;
                continue;
            }
            for (std::uint32_t c = 0; c < side.channels; ++c)
                if (std::memcmp(buses.output(c), buses.input(c), kFrames * sizeof(float)) != 0)
                    side.fault = "a refused block is not the input";
            ++side.refused;
        }
    };
    std::thread first(audio, std::ref(sides[0]));
    std::thread second(audio, std::ref(sides[1]));

    // Voices change until both sides have had blocks processed and refused,
    // or the time is up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto enough = [&] {
        for (const Side& s : sides)
            if (s.processed.load() < 100 || s.refused.load() < 1) return false;
        return true;
    };
    int rounds = 0;
    std::string controlFault;
    try {
        for (; (rounds < 500 || !enough()) && std::chrono::steady_clock::now() < deadline; ++rounds) {
            control.loadVoice(all[static_cast<std::size_t>(rounds) % all.size()].name);
            if (rounds % 5 == 0) std::this_thread::yield();
        }
    } catch (const std::exception& e) {
        controlFault = e.what();
    }
    stop = true;
    first.join();
    second.join();

    EXPECT_EQ(controlFault, "");
    int refused = 0;
    for (const Side& s : sides) {
        SCOPED_TRACE(s.channels == 1 ? "mono" : "stereo");
        EXPECT_EQ(s.fault, "");
        EXPECT_GE(s.processed.load(), 100);
        EXPECT_GE(s.refused.load(), 1);
        refused += s.refused.load();
    }
    const auto errors = log.messages(corvane::LogLevel::Error);
    EXPECT_EQ(errors, std::vector<std::string>(static_cast<std::size_t>(refused), "Voicemod could not process buffer."));
    std::printf("two graphs: mono %d processed, %d refused; stereo %d processed, %d refused; %d voice loads\n",
                sides[0].processed.load(), sides[0].refused.load(), sides[1].processed.load(),
                sides[1].refused.load(), rounds);
}

}  // namespace
}  // namespace validation
