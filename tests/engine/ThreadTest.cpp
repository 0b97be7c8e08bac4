// ThreadTest.cpp - controls on one thread while another processes audio,
// and a second audio thread turned away.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <iterator>
#include <regex>
#include <string>
#include <vector>
#include <thread>

#include "EngineFixture.h"

namespace enginetest {
namespace {

class ThreadTest : public EngineTest {};

struct Parameter {
    std::string name;
    float minimum = 0.0f;
    float maximum = 0.0f;
};

// The parameters a voice's JSON description lists (its objects carry their
// keys in alphabetical order: default, maximum, minimum, name, unit).
std::vector<Parameter> parametersOf(const std::string& json) {
    static const std::regex entry(
        R"re(\{"default":[^,]+,"maximum":([^,]+),"minimum":([^,]+),"name":"((?:[^"\\]|\\.)*)")re");
    std::vector<Parameter> out;
    for (auto it = std::sregex_iterator(json.begin(), json.end(), entry); it != std::sregex_iterator(); ++it) {
        out.push_back({(*it)[3].str(), std::stof((*it)[2].str()), std::stof((*it)[1].str())});
    }
    return out;
}

// Where in its range a parameter is put, as a fraction of the range.
constexpr float kPlaces[] = {0.0f, 1.0f, 0.5f, 0.25f, 0.9f, 0.1f, 0.75f};

TEST_F(ThreadTest, VoiceAndParameterChangesDuringProcessingKeepTheOutputSound) {
    mountShipped();
    const std::vector<std::string> names = voiceNames();
    ASSERT_EQ(vcmdLoadVoice(names[0].c_str(), 0, 0), VCMD_OK);

    std::atomic<bool> stop{false};
    std::atomic<long> blocks{0};
    std::atomic<bool> bad{false};
    std::thread audio([&] {
        std::vector<float> l = whiteNoise(256, 0.9, 1), r = whiteNoise(256, 0.9, 2);
        std::vector<float> mono = whiteNoise(97, 0.9, 3);
        while (!stop.load()) {
            std::vector<float> a = l, b = r;
            if (vcmdProcessStereoBuffer(a.data(), b.data(), 256) != VCMD_OK) bad = true;
            std::vector<float> m = mono;
            if (vcmdProcessBuffer(m.data(), 97) != VCMD_OK) bad = true;
            for (std::size_t i = 0; i < a.size(); ++i)
                if (!std::isfinite(a[i]) || !std::isfinite(b[i]) || std::fabs(a[i]) > 4.0f) bad = true;
            ++blocks;
        }
    });

    const float rates[] = {48000.0f, 44100.0f, 16000.0f, 96000.0f};
    long changes = 0;
    for (int round = 0; round < 300; ++round) {
        const std::string& name = names[static_cast<std::size_t>(round) % names.size()];
        ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
        // Move every parameter of the voice to a new place in its range
        // (the ends and points between, a different one each round), so the
        // audio thread sees each change and glides to it while it runs.
        // Setting a parameter to the value it has is no change at all.
        std::vector<char> info(8192);
        uint32_t length = static_cast<uint32_t>(info.size());
        ASSERT_EQ(vcmdGetVoiceInfoJson(name.c_str(), info.data(), &length), VCMD_OK);
        const std::vector<Parameter> parameters = parametersOf(std::string(info.data()));
        for (std::size_t k = 0; k < parameters.size(); ++k) {
            const Parameter& p = parameters[k];
            float before = 0.0f;
            ASSERT_EQ(vcmdGetParameter(p.name.c_str(), &before), VCMD_OK) << name << ": " << p.name;
            const float fraction = kPlaces[(static_cast<std::size_t>(round) + k) % std::size(kPlaces)];
            float v = p.minimum + (p.maximum - p.minimum) * fraction;
            v = std::min(p.maximum, std::max(p.minimum, v));
            if (v == before) v = fraction < 0.5f ? p.maximum : p.minimum;
            ASSERT_EQ(vcmdSetParameter(p.name.c_str(), v), VCMD_OK) << name << ": " << p.name;
            float after = 0.0f;
            ASSERT_EQ(vcmdGetParameter(p.name.c_str(), &after), VCMD_OK);
            EXPECT_EQ(after, v) << name << ": " << p.name;
            ++changes;
        }
        EXPECT_EQ(vcmdSetBypass(round % 7 == 0), VCMD_OK);
        EXPECT_EQ(vcmdSetMute(round % 11 == 0), VCMD_OK);
        EXPECT_EQ(vcmdEnableBackgroundSounds(round % 3 != 0), VCMD_OK);
        if (round % 13 == 0) {
            EXPECT_EQ(vcmdEnableOfflineMode(round % 26 == 0), VCMD_OK);
        }
        if (round % 17 == 0) {
            EXPECT_EQ(vcmdSetSampleRate(rates[(round / 17) % 4]), VCMD_OK);
        }
        if (round % 5 == 0) std::this_thread::yield();
    }
    // Let the audio thread take the last voice before stopping.
    const long seen = blocks.load();
    while (blocks.load() < seen + 20) std::this_thread::yield();
    stop = true;
    audio.join();
    EXPECT_FALSE(bad.load());
    EXPECT_GT(blocks.load(), 20);
    // The parameter half ran: values really changed under the audio thread.
    EXPECT_GT(changes, 300);
}

// Two threads process at once (one mono, one stereo) while this thread
// loads voices. Each call either runs the voice or, while the other thread
// is inside a process function, returns VCMD_ERR_CONCURRENT_PROCESS with its
// samples exactly as they came. Under AddressSanitizer the two must never
// touch a voice the other has retired.
TEST_F(ThreadTest, ASecondAudioThreadIsTurnedAwayWithItsSamplesUntouched) {
    mountShipped();
    const std::vector<std::string> names = voiceNames();
    ASSERT_EQ(vcmdLoadVoice(names[0].c_str(), 0, 0), VCMD_OK);

    struct Counts {
        std::atomic<long> processed{0}, turnedAway{0};
        std::atomic<bool> bad{false};
    };
    std::atomic<bool> stop{false};
    Counts counts[2];
    auto audio = [&](int channels, Counts& c) {
        const uint32_t frames = channels == 1 ? 97 : 256;
        const std::vector<float> l = whiteNoise(frames, 0.9, 1u + channels), r = whiteNoise(frames, 0.9, 9);
        std::vector<float> a(frames), b(frames);
        while (!stop.load()) {
            a = l;
            b = r;
            const int32_t code = channels == 1 ? vcmdProcessBuffer(a.data(), frames)
                                               : vcmdProcessStereoBuffer(a.data(), b.data(), frames);
            if (code == VCMD_ERR_CONCURRENT_PROCESS) {
                if (std::memcmp(a.data(), l.data(), frames * sizeof(float)) != 0 ||
                    std::memcmp(b.data(), r.data(), frames * sizeof(float)) != 0)
                    c.bad = true;
                ++c.turnedAway;
            } else if (code == VCMD_OK) {
                for (uint32_t i = 0; i < frames; ++i)
                    if (!std::isfinite(a[i]) || !std::isfinite(b[i]) || std::fabs(a[i]) > 4.0f) c.bad = true;
                ++c.processed;
            } else {
                c.bad = true;
            }
        }
    };
    std::thread mono(audio, 1, std::ref(counts[0]));
    std::thread stereo(audio, 2, std::ref(counts[1]));

    // Voices change until both threads have processed blocks and been turned
    // away, or the time is up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    auto enough = [&] {
        for (const Counts& c : counts)
            if (c.processed.load() < 50 || c.turnedAway.load() < 1) return false;
        return true;
    };
    for (int round = 0; (round < 300 || !enough()) && std::chrono::steady_clock::now() < deadline; ++round) {
        const std::string& name = names[static_cast<std::size_t>(round) % names.size()];
        ASSERT_EQ(vcmdLoadVoice(name.c_str(), 0, 0), VCMD_OK);
        if (round % 5 == 0) std::this_thread::yield();
    }
    stop = true;
    mono.join();
    stereo.join();
    for (const Counts& c : counts) {
        EXPECT_FALSE(c.bad.load());
        EXPECT_GE(c.processed.load(), 50);
        EXPECT_GE(c.turnedAway.load(), 1);
    }
}

}  // namespace
}  // namespace enginetest
