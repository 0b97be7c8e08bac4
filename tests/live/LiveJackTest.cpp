// 'corvane-voicemod live' and 'devices' against a real JACK server: its
// dummy driver (no sound card), started here under a name of its own and
// stopped at the end. A JACK client of this test plays a 440 Hz tone into
// the tool's input and records what the tool sends back; the tool reaches
// the server through PortAudio's JACK host API, where this client is a
// device of one input and one output channel.
#include <gtest/gtest.h>
#include <jack/jack.h>

#include "LiveServerFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#ifndef CORVANE_VOICEMOD_TOOL
#error "CORVANE_VOICEMOD_TOOL must be the path of the built tool"
#endif

namespace {

constexpr const char* kToneClient = "corvane-live-tone";

struct ToolRun {
    int status = -1;
    std::string output;  // standard output and standard error together
};

ToolRun runTool(std::vector<std::string> args, const fs::path& scratch,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    args.insert(args.begin(), CORVANE_VOICEMOD_TOOL);
    const fs::path output = scratch / "tool-output.txt";
    const pid_t pid = spawn(args, output);
    ToolRun run;
    if (pid < 0) return run;
    run.status = waitFor(pid, limit);
    run.output = slurp(output);
    return run;
}

// Plays the tone on its output port "tone" and records its input port
// "heard" into a buffer made before the client starts.
class ToneClient {
public:
    explicit ToneClient(const std::string& server) : recorded_(static_cast<std::size_t>(kRate) * 60, 0.0f) {
        jack_status_t status{};
        client_ = jack_client_open(kToneClient, static_cast<jack_options_t>(JackNoStartServer | JackServerName),
                                   &status, server.c_str());
        if (client_ == nullptr) return;
        tone_ = jack_port_register(client_, "tone", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
        heard_ = jack_port_register(client_, "heard", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
        jack_set_process_callback(client_, &ToneClient::process, this);
        if (tone_ == nullptr || heard_ == nullptr || jack_activate(client_) != 0) {
            jack_client_close(client_);
            client_ = nullptr;
        }
    }
    ~ToneClient() {
        if (client_ != nullptr) jack_client_close(client_);
    }
    bool ok() const { return client_ != nullptr; }

    // Starts recording afresh.
    void restart() { restart_.store(true); }
    std::vector<float> recording() const {
        return std::vector<float>(recorded_.begin(), recorded_.begin() + static_cast<long>(count_.load()));
    }

private:
    static int process(jack_nframes_t frames, void* self) { return static_cast<ToneClient*>(self)->run(frames); }
    int run(jack_nframes_t frames) {
        auto* out = static_cast<float*>(jack_port_get_buffer(tone_, frames));
        const auto* in = static_cast<const float*>(jack_port_get_buffer(heard_, frames));
        for (jack_nframes_t i = 0; i < frames; ++i) {
            out[i] = kToneAmplitude * static_cast<float>(std::sin(phase_));
            phase_ = std::fmod(phase_ + 2.0 * kPi * kToneHz / kRate, 2.0 * kPi);
        }
        if (restart_.exchange(false)) count_.store(0);
        std::size_t at = count_.load();
        for (jack_nframes_t i = 0; i < frames && at < recorded_.size(); ++i) recorded_[at++] = in[i];
        count_.store(at);
        return 0;
    }

    jack_client_t* client_ = nullptr;
    jack_port_t* tone_ = nullptr;
    jack_port_t* heard_ = nullptr;
    std::vector<float> recorded_;
    std::atomic<std::size_t> count_{0};
    std::atomic<bool> restart_{false};
    double phase_ = 0.0;
};

// What came back from half a second after the first sound (past the
// voice's ramps) to the end, in quarter-second windows (110 periods of the
// tone each): the median window's RMS level and share of its power at the
// tone's frequency. The median keeps a window or two that a busy machine's
// server broke up (a skipped cycle leaves a gap) from deciding.
struct Heard {
    bool found = false;
    double rms = 0.0;
    double toneShare = 0.0;
};

Heard analyse(const std::vector<float>& samples) {
    Heard heard;
    std::size_t first = 0;
    while (first < samples.size() && std::fabs(samples[first]) < 1e-3f) ++first;
    std::size_t last = samples.size();
    while (last > first && std::fabs(samples[last - 1]) < 1e-3f) --last;
    const auto length = static_cast<std::size_t>(kRate / 4);
    std::vector<double> levels, shares;
    for (std::size_t start = first + static_cast<std::size_t>(kRate / 2); start + length <= last; start += length) {
        double power = 0.0, s = 0.0, c = 0.0;
        for (std::size_t i = 0; i < length; ++i) {
            const double x = samples[start + i];
            const double phase = 2.0 * kPi * kToneHz * static_cast<double>(i) / kRate;
            power += x * x;
            s += x * std::sin(phase);
            c += x * std::cos(phase);
        }
        power /= static_cast<double>(length);
        const double amplitude = 2.0 * std::sqrt(s * s + c * c) / static_cast<double>(length);
        levels.push_back(std::sqrt(power));
        shares.push_back(power > 0.0 ? (amplitude * amplitude / 2.0) / power : 0.0);
    }
    if (levels.size() < 3) return heard;
    const auto median = [](std::vector<double> v) {
        std::nth_element(v.begin(), v.begin() + static_cast<long>(v.size() / 2), v.end());
        return v[v.size() / 2];
    };
    heard.found = true;
    heard.rms = median(levels);
    heard.toneShare = median(shares);
    return heard;
}

struct Summary {
    bool found = false;
    long callbacks = 0, xruns = 0, late = 0;
};

Summary summaryOf(const std::string& output) {
    static const std::regex line(
        R"(live: [0-9.]+ s, ([0-9]+) callbacks of 256 frames, ([0-9]+) xruns, ([0-9]+) late, worst callback [0-9.]+ % of its 5\.33 ms deadline)");
    Summary summary;
    std::smatch m;
    if (!std::regex_search(output, m, line)) return summary;
    summary.found = true;
    summary.callbacks = std::stol(m[1]);
    summary.xruns = std::stol(m[2]);
    summary.late = std::stol(m[3]);
    return summary;
}

class LiveJackTest : public LiveServerFixture {
protected:
    void SetUp() override {
        // Quiet while the server is not up yet ("Cannot connect to server socket").
        jack_set_error_function([](const char*) {});
        jack_set_info_function([](const char*) {});
        makeScratch("corvane-live-test");
        server_ = "corvane-live-" + std::to_string(::getpid());
        // The tool, its PortAudio and this test's client all find the
        // server by this name; none may start a server of its own.
        ::setenv("JACK_DEFAULT_SERVER", server_.c_str(), 1);
        ::setenv("JACK_NO_START_SERVER", "1", 1);
        // An installed jackd also keeps its server files under this name.
        if (!startServer({"jackd", "--no-realtime", "-n", server_, "-d", "dummy", "-r", "48000", "-p", "256"},
                         "jackd.log", false))
            GTEST_SKIP() << "jackd cannot be started (is the jackd2 package installed?)";
        for (int i = 0; i < 100 && !tone_; ++i) {
            if (serverEnded())
                GTEST_SKIP() << "the JACK dummy server did not start: " << slurp(scratch_ / "jackd.log");
            auto client = std::make_unique<ToneClient>(server_);
            if (client->ok())
                tone_ = std::move(client);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!tone_) GTEST_SKIP() << "no client could join the JACK dummy server: " << slurp(scratch_ / "jackd.log");
    }

    void TearDown() override {
        tone_.reset();
        stopServer();
        removeScratch();
    }

    void stopServer() {
        if (!endServer()) ADD_FAILURE() << "jackd did not stop on SIGTERM";
    }

    // Runs the tool live between the tone client's ports.
    ToolRun live(std::vector<std::string> extra) {
        std::vector<std::string> args{"live",     "--input",    kToneClient, "--output", kToneClient,
                                      "--content", CORVANE_VOICES_DIR, "--duration", "3"};
        args.insert(args.end(), extra.begin(), extra.end());
        tone_->restart();
        return runTool(args, scratch_);
    }

    std::string server_;
    std::unique_ptr<ToneClient> tone_;
};

TEST_F(LiveJackTest, DevicesListTheServersClientsWithTheirPorts) {
    const ToolRun text = runTool({"devices"}, scratch_);
    ASSERT_EQ(text.status, 0) << text.output;
    // The dummy driver's two capture and two playback ports, and this
    // test's client with its one output ("tone") and one input ("heard").
    EXPECT_TRUE(std::regex_search(text.output, std::regex(R"(system +JACK Audio Connection Kit +2 +2 +48000)")))
        << text.output;
    EXPECT_TRUE(std::regex_search(text.output,
                                  std::regex(std::string(kToneClient) + R"( +JACK Audio Connection Kit +1 +1 +48000)")))
        << text.output;
    const ToolRun json = runTool({"devices", "--json"}, scratch_);
    ASSERT_EQ(json.status, 0) << json.output;
    EXPECT_NE(json.output.find("\"name\": \"system\""), std::string::npos) << json.output;
}

TEST_F(LiveJackTest, BypassReturnsTheToneAndAVoiceChangesItWithNoLateCallback) {
    const ToolRun bypass = live({"--voice", "Chipmunk", "--bypass"});
    ASSERT_EQ(bypass.status, 0) << bypass.output;
    const Heard straight = analyse(tone_->recording());
    ASSERT_TRUE(straight.found) << "nothing came back from the tool\n" << bypass.output;
    EXPECT_NEAR(20.0 * std::log10(straight.rms / (kToneAmplitude / std::sqrt(2.0))), 0.0, 0.5) << bypass.output;
    EXPECT_GT(straight.toneShare, 0.99) << bypass.output;

    const ToolRun voiced = live({"--voice", "Chipmunk"});
    ASSERT_EQ(voiced.status, 0) << voiced.output;
    const Heard changed = analyse(tone_->recording());
    ASSERT_TRUE(changed.found) << "nothing came back from the tool\n" << voiced.output;
    EXPECT_GT(changed.rms, 0.02) << voiced.output;       // a voice, not silence
    EXPECT_LT(changed.toneShare, 0.2) << voiced.output;  // moved off 440 Hz

    for (const ToolRun* run : {&bypass, &voiced}) {
        const Summary summary = summaryOf(run->output);
        ASSERT_TRUE(summary.found) << run->output;
        // Three seconds of 256-frame callbacks at 48 kHz are about 560; a
        // dummy driver without real-time priority skips cycles when the
        // machine is busy, but the stream must have run.
        EXPECT_GT(summary.callbacks, 100) << run->output;
        // No callback's work outlasted its block.
        if (LIVE_TIMING_JUDGED) {
            EXPECT_EQ(summary.late, 0) << run->output;
        }
        // The server's own xruns (a dummy driver without real-time
        // priority on a busy machine wakes late) are reported, not judged.
        std::printf("%s", run->output.c_str());
    }
}

TEST_F(LiveJackTest, DeviceTroubleEndsWithAMessageNamingTheDevice) {
    const ToolRun missing = runTool({"live", "--input", "no-such-device", "--content", CORVANE_VOICES_DIR}, scratch_);
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.output.find("no input device \"no-such-device\""), std::string::npos) << missing.output;

    // JACK runs every client at the server's rate.
    const ToolRun rate = live({"--rate", "44100"});
    EXPECT_EQ(rate.status, 1);
    EXPECT_NE(rate.output.find(std::string("device \"") + kToneClient + "\""), std::string::npos) << rate.output;
    EXPECT_NE(rate.output.find("44100 Hz"), std::string::npos) << rate.output;

    // The server goes away under a running stream: the tool says so and
    // ends within seconds rather than waiting for ever.
    const pid_t tool = spawn({CORVANE_VOICEMOD_TOOL, "live", "--input", kToneClient, "--output", kToneClient,
                              "--content", CORVANE_VOICES_DIR},
                             scratch_ / "gone.txt");
    ASSERT_GT(tool, 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    tone_.reset();
    stopServer();
    EXPECT_EQ(waitFor(tool, std::chrono::seconds(15)), 1) << slurp(scratch_ / "gone.txt");
    EXPECT_NE(slurp(scratch_ / "gone.txt").find("\"" + std::string(kToneClient) + "\""), std::string::npos)
        << slurp(scratch_ / "gone.txt");
}

}  // namespace
