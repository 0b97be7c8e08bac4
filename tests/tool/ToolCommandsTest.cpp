// The built corvane-voicemod run as a person runs it: as a separate process,
// on files, with its exit status, standard output and standard error.
//
// Each bad command line is recorded with what it actually printed; with
// CORVANE_BAD_INPUT_ROWS=<folder> the records are written there as the
// Markdown table tool.md, from which docs/BAD_INPUT.md is made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#ifndef CORVANE_VOICEMOD_TOOL
#error "CORVANE_VOICEMOD_TOOL must be the path of the built tool"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs the tool with `args` in `cwd`. The environment is this process's
// without CORVANE_VOICEMOD_CONTENT, plus `env` ("NAME=value").
ToolRun runTool(const std::vector<std::string>& args, const fs::path& cwd, const std::vector<std::string>& env = {}) {
    const fs::path outFile = cwd / ".tool-stdout", errFile = cwd / ".tool-stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        ::unsetenv("CORVANE_VOICEMOD_CONTENT");
        for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv{const_cast<char*>(CORVANE_VOICEMOD_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(CORVANE_VOICEMOD_TOOL, argv.data());
        ::_exit(127);
    }
    ToolRun run;
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.out = slurp(outFile);
    run.err = slurp(errFile);
    fs::remove(outFile);
    fs::remove(errFile);
    return run;
}

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<std::vector<float>> samples;  // per channel
    std::vector<int> codes;                   // interleaved, as sf_read_int gives them
    std::size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

Audio readAudio(const fs::path& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (f == nullptr) return a;
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    std::vector<float> interleaved(static_cast<std::size_t>(info.frames * info.channels));
    sf_readf_float(f, interleaved.data(), info.frames);
    sf_seek(f, 0, SEEK_SET);
    a.codes.resize(interleaved.size());
    sf_readf_int(f, a.codes.data(), info.frames);
    sf_close(f);
    a.samples.assign(static_cast<std::size_t>(info.channels), std::vector<float>(static_cast<std::size_t>(info.frames)));
    for (std::size_t i = 0; i < static_cast<std::size_t>(info.frames); ++i)
        for (int c = 0; c < info.channels; ++c)
            a.samples[static_cast<std::size_t>(c)][i] = interleaved[i * static_cast<std::size_t>(info.channels) + c];
    return a;
}

// Writes one sine per channel (0 Hz: a deterministic pseudo-random signal).
void writeTones(const fs::path& path, int format, int rate, const std::vector<double>& frequencies, double seconds,
                double amplitude = 0.5) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = static_cast<int>(frequencies.size());
    info.format = format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    const auto frames = static_cast<std::size_t>(seconds * rate);
    std::vector<float> interleaved(frames * frequencies.size());
    std::uint32_t noise = 12345;
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < frequencies.size(); ++c) {
            float v;
            if (frequencies[c] > 0) {
                v = static_cast<float>(amplitude * std::sin(2.0 * kPi * frequencies[c] * static_cast<double>(i) / rate));
            } else {
                noise = noise * 1664525u + 1013904223u;
                v = static_cast<float>(amplitude * ((noise >> 8) / 8388608.0 - 1.0));
            }
            interleaved[i * frequencies.size() + c] = v;
        }
    }
    sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(frames));
    sf_close(f);
}

// Frequency of a tone from its rising zero crossings (interpolated), over
// samples [from, to).
double measureFrequency(const std::vector<float>& x, int rate, std::size_t from, std::size_t to) {
    double first = -1, last = -1;
    int crossings = 0;
    for (std::size_t i = from + 1; i < to && i < x.size(); ++i) {
        if (x[i - 1] < 0.0f && x[i] >= 0.0f) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    if (crossings < 2) return 0.0;
    return (crossings - 1) * rate / (last - first);
}

double rms(const std::vector<float>& x) {
    double sum = 0;
    for (float v : x) sum += static_cast<double>(v) * v;
    return x.empty() ? 0.0 : std::sqrt(sum / static_cast<double>(x.size()));
}

std::set<std::string> entries(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// --- the bad-input table ----------------------------------------------------------

struct Row {
    std::string command, status, printed;
};
std::vector<Row>& rows() {
    static std::vector<Row> r;
    return r;
}

// A Markdown table cell: '|' escaped.
std::string cell(std::string text) {
    for (std::size_t at = 0; (at = text.find('|', at)) != std::string::npos; at += 2)
        text.replace(at, 1, "\\|");
    return text;
}

class TableWriter : public ::testing::Environment {
public:
    void TearDown() override {
        const char* folder = std::getenv("CORVANE_BAD_INPUT_ROWS");
        if (folder == nullptr || *folder == '\0' || rows().empty()) return;
        std::ofstream out(fs::path(folder) / "tool.md", std::ios::binary);
        out << "| Command | Exit | What it prints |\n|---|---|---|\n";
        for (const Row& r : rows())
            out << "| " << cell(r.command) << " | " << r.status << " | " << cell(r.printed) << " |\n";
    }
};
const auto* const kTable = ::testing::AddGlobalTestEnvironment(new TableWriter);

class ToolCommands : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("corvane-tool-" + std::string(info->name()) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path path(const std::string& name) const { return dir_ / name; }
    ToolRun tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        return runTool(args, dir_, env);
    }

    // Records the command line (with the variables it adds to the
    // environment) and what it printed: standard error, or standard output
    // when standard error is empty; the test's folder shown as <dir>.
    void record(const std::vector<std::string>& args, const ToolRun& r,
                const std::vector<std::string>& env = {}) const {
        const auto shortened = [this](std::string text) {
            for (std::size_t at; (at = text.find(dir_.string())) != std::string::npos;)
                text.replace(at, dir_.string().size(), "<dir>");
            return text;
        };
        std::string command;
        for (const std::string& e : env) command += shortened(e) + ' ';
        command += "corvane-voicemod";
        for (const std::string& a : args)
            command +=
                ' ' + (!a.empty() && a.find_first_of(" \"'\\$`*?") == std::string::npos ? a : '"' + a + '"');
        std::string printed;
        for (const std::string& line : lines(r.err.empty() ? r.out : r.err))
            printed += (printed.empty() ? "`" : "<br>`") + shortened(line) + "`";
        rows().push_back(
            {"`" + command + "`", std::to_string(r.status), printed.empty() ? "nothing" : printed});
    }

    // A failed command: the status, the message, nothing on standard output
    // and nothing new in the folder.
    void expectFailure(const std::vector<std::string>& args, int status, const std::string& message,
                       const std::vector<std::string>& env = {}) {
        const std::set<std::string> before = entries(dir_);
        const ToolRun r = tool(args, env);
        record(args, r, env);
        EXPECT_EQ(r.status, status) << r.err;
        EXPECT_NE(r.err.find("corvane-voicemod: " + message), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(entries(dir_), before) << "a failed render leaves no file behind";
    }

    fs::path dir_;
};

}  // namespace

// --- rendering -------------------------------------------------------------------

TEST_F(ToolCommands, PitchVoiceMovesAToneByTheRequestedIntervalAndKeepsLengthAndFormat) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 2.0);
    const Audio input = readAudio(path("tone.wav"));
    struct Case {
        const char* voice;
        const char* param;
        double expected;
    };
    for (const Case& c : {Case{"Chipmunk", "Pitch=12", 880.0}, Case{"Deep Voice", "Pitch=-12", 220.0},
                          Case{"Chipmunk", "Pitch=7", 440.0 * std::pow(2.0, 7.0 / 12.0)}}) {
        SCOPED_TRACE(std::string(c.voice) + " " + c.param);
        const ToolRun r = tool({"render", "tone.wav", "out.wav", "--voice", c.voice, "--param", c.param});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(r.err.empty()) << "no progress bar or log when standard error is not a terminal: " << r.err;
        EXPECT_NE(r.out.find("wrote out.wav"), std::string::npos) << r.out;
        const Audio out = readAudio(path("out.wav"));
        EXPECT_EQ(out.frames(), input.frames());
        EXPECT_EQ(out.rate, 48000);
        EXPECT_EQ(out.channels, 1);
        EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        // The middle second, away from the start and the end.
        const double f = measureFrequency(out.samples[0], out.rate, 24000, 72000);
        EXPECT_NEAR(f, c.expected, c.expected * 0.01);
        EXPECT_GT(rms(out.samples[0]), 0.1);
    }
}

TEST_F(ToolCommands, StereoIsProcessedAndFurtherChannelsPassThroughInStep) {
    // Float WAV at 44.1 kHz, three channels: two tones and a noise channel.
    writeTones(path("three.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 44100, {440.0, 550.0, 0.0}, 1.5, 0.4);
    const Audio input = readAudio(path("three.wav"));
    const ToolRun r = tool({"render", "three.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=12"});
    ASSERT_EQ(r.status, 0) << r.err;
    const Audio out = readAudio(path("out.wav"));
    ASSERT_EQ(out.channels, 3);
    EXPECT_EQ(out.rate, 44100);
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    ASSERT_EQ(out.frames(), input.frames());
    EXPECT_NEAR(measureFrequency(out.samples[0], 44100, 22050, 55000), 880.0, 8.8);
    EXPECT_NEAR(measureFrequency(out.samples[1], 44100, 22050, 55000), 1100.0, 11.0);
    // The third channel is not processed; it stays aligned with the voiced
    // ones, so it is the input exactly (float WAV carries it unchanged).
    EXPECT_EQ(out.samples[2], input.samples[2]);
}

TEST_F(ToolCommands, BypassGivesBackTheInputSampleForSample) {
    writeTones(path("mono.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 1.0, 0.99);
    writeTones(path("stereo.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, {300.0, 0.0}, 1.0, 0.9);
    for (const std::string file : {"mono.wav", "stereo.flac"}) {
        SCOPED_TRACE(file);
        const std::string output = "bypassed" + fs::path(file).extension().string();
        for (const char* voice : {"Chipmunk", "Cathedral"}) {
            const ToolRun r = tool({"render", file, output, "--voice", voice, "--bypass", "--background"});
            ASSERT_EQ(r.status, 0) << r.err;
            const Audio in = readAudio(path(file)), out = readAudio(path(output));
            EXPECT_EQ(out.format, in.format);
            EXPECT_EQ(out.codes, in.codes) << voice;
        }
    }
}

TEST_F(ToolCommands, MuteGivesSilenceFromTheFirstSample) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0, 660.0}, 1.0);
    // Cathedral has a background layer; mute silences that too.
    for (const char* voice : {"Robot", "Cathedral"}) {
        const ToolRun r = tool({"render", "tone.wav", "muted.wav", "--voice", voice, "--mute", "--background"});
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio out = readAudio(path("muted.wav"));
        EXPECT_EQ(out.frames(), 48000u);
        EXPECT_EQ(out.codes, std::vector<int>(out.codes.size(), 0)) << voice;
    }
}

TEST_F(ToolCommands, OfflineOutputDoesNotDependOnTheBlockSize) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, {440.0, 0.0}, 0.6, 0.5);
    const ToolRun list = tool({"voices"});
    ASSERT_EQ(list.status, 0);
    for (const std::string& voice : lines(list.out)) {
        SCOPED_TRACE(voice);
        std::vector<Audio> outputs;
        for (const char* block : {"256", "1", "8192"}) {
            const std::string name = std::string("b") + block + ".wav";
            const ToolRun r = tool({"render", "tone.wav", name, "--voice", voice, "--offline", "--background", "--block", block});
            ASSERT_EQ(r.status, 0) << r.err;
            outputs.push_back(readAudio(path(name)));
        }
        EXPECT_EQ(outputs[1].samples, outputs[0].samples) << "block 1";
        EXPECT_EQ(outputs[2].samples, outputs[0].samples) << "block 8192";
        EXPECT_GT(rms(outputs[0].samples[0]), 0.0);
    }
}

TEST_F(ToolCommands, OutputFormatFollowsTheInputTheExtensionOrFormat) {
    writeTones(path("in24.flac"), SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 32000, {440.0}, 0.5);
    writeTones(path("in.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0, 330.0}, 0.5);
    struct Case {
        std::vector<std::string> args;
        std::string output;
        int format;
        int rate;
        int channels;
    };
    const std::vector<Case> cases = {
        {{"in24.flac", "same.flac"}, "same.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 32000, 1},
        {{"in24.flac", "as.wav"}, "as.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 32000, 1},
        {{"in.wav", "as.flac"}, "as.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, 2},
        {{"in.wav", "noext", "--format", "ogg"}, "noext", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, 2},
        {{"in.wav", "unknown.raw"}, "unknown.raw", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        std::vector<std::string> args{"render"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--voice", "Telephone"});
        const ToolRun r = tool(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio out = readAudio(path(c.output));
        EXPECT_EQ(out.format, c.format);
        EXPECT_EQ(out.rate, c.rate);
        EXPECT_EQ(out.channels, c.channels);
        EXPECT_EQ(out.frames(), static_cast<std::size_t>(c.rate / 2));
    }
}

TEST_F(ToolCommands, QuietRenderPrintsNothing) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    const ToolRun r = tool({"render", "tone.wav", "out.wav", "--voice", "Robot", "--quiet"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_TRUE(fs::exists(path("out.wav")));
    const ToolRun verbose = tool({"render", "tone.wav", "out.wav", "--voice", "Robot", "--verbose"});
    EXPECT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.err.find("debug"), std::string::npos) << "--verbose shows the debug log";
}

// --- failures ---------------------------------------------------------------------

TEST_F(ToolCommands, BadInputsFailWithTheirReasonStatusAndNoOutputFile) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    std::ofstream(path("text.wav")) << "plain text, not audio\n";
    fs::create_directories(path("folder.wav"));

    expectFailure({"render", "missing.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot read \"missing.wav\": System error : No such file or directory.");
    expectFailure({"render", "text.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot read \"text.wav\": Format not recognised.");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robott"}, 1,
                  "unknown voice \"Robott\" (run 'corvane-voicemod voices' to list them)");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch"}, 2,
                  "malformed --param \"Pitch\": expected NAME=VALUE");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=high"}, 2,
                  "malformed --param \"Pitch=high\": \"high\" is not a number");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pich=3"}, 1,
                  "voice \"Chipmunk\" has no parameter \"Pich\" (it has \"Pitch\")");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=99"}, 1,
                  "parameter \"Pitch\": 99 is outside 0..12");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=1e39"}, 1,
                  "parameter \"Pitch\": 1e39 is outside 0..12");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot make a temporary folder in \"" + path("none").string() + "\" (TMPDIR): ",
                  {"TMPDIR=" + path("none").string()});
    expectFailure({"render", "tone.wav", "no/such/folder/out.wav", "--voice", "Robot"}, 1,
                  "cannot write \"no/such/folder/out.wav\": System error : No such file or directory.");
    expectFailure({"render", "tone.wav", "folder.wav", "--voice", "Robot"}, 1,
                  "cannot write \"folder.wav\": it is a folder");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robot", "--content", "nowhere"}, 1,
                  "voice folder \"nowhere\" does not exist");
    expectFailure({"render", "tone.wav", "out.wav"}, 2, "--voice is required");
    const ToolRun tiny = tool({"render", "tone.wav", "tiny.wav", "--voice", "Chipmunk", "--param", "Pitch=1e-40"});
    record({"render", "tone.wav", "tiny.wav", "--voice", "Chipmunk", "--param", "Pitch=1e-40"}, tiny);
    EXPECT_EQ(tiny.status, 0) << "a value inside the range, if not a normal float: " << tiny.err;
    fs::remove(path("tiny.wav"));
    writeTones(path("low.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 4000, {440.0}, 0.3);
    expectFailure({"render", "low.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot render \"low.wav\": the voice changer does not take its format (4000 Hz, 1 channel(s))");
    EXPECT_FALSE(fs::exists(path("out.wav")));
}

TEST_F(ToolCommands, AFailedRenderLeavesAnExistingOutputAlone) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    std::ofstream(path("out.wav")) << "the previous take";
    const ToolRun r = tool({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(path("out.wav")), "the previous take");
    EXPECT_EQ(entries(dir_), (std::set<std::string>{"out.wav", "tone.wav"}));
}

TEST_F(ToolCommands, UsageErrorsAndHelpHaveTheirStatuses) {
    expectFailure({}, 2, "A subcommand is required");
    expectFailure({"sing", "along"}, 2, "unknown command \"sing\" (commands: voices, render, demo, live, devices)");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--block", "0"}, 2,
                  "--block: Value 0 not in range 1 to 65536");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--block", "99999999"}, 2,
                  "--block: Value 99999999 not in range 1 to 65536");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--format", "mp3"}, 2,
                  "--format: mp3 not in {wav,flac,ogg}");
    expectFailure({"render", "--voice", "Robot"}, 2, "INPUT is required");
    expectFailure({"render", "a.wav", "--voice", "Robot"}, 2, "OUTPUT is required");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Chipmunk", "--param", "Pitch=nan"}, 2,
                  "malformed --param \"Pitch=nan\": \"nan\" is not a number");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Chipmunk", "--param", "=1"}, 2,
                  "malformed --param \"=1\": the parameter name is empty");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Chipmunk", "--param", "Pitch="}, 2,
                  "malformed --param \"Pitch=\": the value is empty");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--content", ""}, 2,
                  "--content: the folder name is empty");
    ToolRun r;
    for (const char* command : {"voices", "render", "demo"}) {
        r = tool({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_NE(r.out.find(std::string("corvane-voicemod ") + command), std::string::npos) << r.out;
    }
    r = tool({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string("corvane-voicemod ") + CORVANE_VOICEMOD_VERSION + "\n");
}

TEST_F(ToolCommands, UnusableFilesAndFoldersFailWithTheirReason) {
    std::ofstream(path("empty.wav"));
    expectFailure({"render", "empty.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot read \"empty.wav\": Format not recognised.");
    fs::create_directories(path("bad-content"));
    std::ofstream(path("bad-content/broken.zvmd")) << "{\"format\": 1}";
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robot", "--content", "bad-content"}, 1,
                  "cannot bring the voice changer up on \"bad-content\": invalid package: " +
                      path("bad-content/broken.zvmd").string() + ": format must be a string, not a number");
    expectFailure({"voices", "--content", "/nonexistent"}, 1, "voice folder \"/nonexistent\" does not exist");
    expectFailure({"demo", "/proc/forbidden"}, 1,
                  "cannot make folder \"/proc/forbidden\": No such file or directory");

    // OUTPUT the same file as INPUT: the rendered file replaces the input,
    // at its full length.
    const Audio input = readAudio(path("tone.wav"));
    const ToolRun r = tool({"render", "tone.wav", "tone.wav", "--voice", "Robot"});
    record({"render", "tone.wav", "tone.wav", "--voice", "Robot"}, r);
    ASSERT_EQ(r.status, 0) << r.err;
    const Audio output = readAudio(path("tone.wav"));
    EXPECT_EQ(output.frames(), input.frames());
    EXPECT_NE(output.samples, input.samples);
}

// --- voices and demo -----------------------------------------------------------------

TEST_F(ToolCommands, VoicesListsTheBundledVoicesAndDescribesThemAsJson) {
    const ToolRun plain = tool({"voices"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    EXPECT_TRUE(plain.err.empty()) << plain.err;
    const std::vector<std::string> names = lines(plain.out);
    ASSERT_FALSE(names.empty());
    EXPECT_NE(std::find(names.begin(), names.end(), "Chipmunk"), names.end());

    const ToolRun json = tool({"voices", "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const nlohmann::json list = nlohmann::json::parse(json.out);
    ASSERT_TRUE(list.is_array());
    ASSERT_EQ(list.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(list[i].at("name"), names[i]);
        EXPECT_TRUE(list[i].at("parameters").is_array());
        EXPECT_TRUE(fs::exists(list[i].at("package").get<std::string>()));
    }
    const auto chipmunk = std::find_if(list.begin(), list.end(), [](const auto& v) { return v["name"] == "Chipmunk"; });
    ASSERT_NE(chipmunk, list.end());
    const auto& pitch = (*chipmunk)["parameters"][0];
    EXPECT_EQ(pitch["name"], "Pitch");
    EXPECT_EQ(pitch["minimum"], 0.0);
    EXPECT_EQ(pitch["maximum"], 12.0);
}

TEST_F(ToolCommands, ContentFolderComesFromTheOptionOrTheEnvironment) {
    fs::create_directories(path("empty"));
    fs::create_directories(path("one"));
    const ToolRun json = tool({"voices", "--json"});
    const std::string package = nlohmann::json::parse(json.out).at(0).at("package").get<std::string>();
    fs::copy_file(package, path("one") / fs::path(package).filename());

    ToolRun r = tool({"voices"}, {"CORVANE_VOICEMOD_CONTENT=" + path("empty").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.out.empty()) << r.out;
    EXPECT_NE(r.err.find("no voices in"), std::string::npos) << r.err;

    r = tool({"voices", "--content", "one"}, {"CORVANE_VOICEMOD_CONTENT=" + path("empty").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(r.out.empty()) << "--content wins over the environment";
    EXPECT_LT(lines(r.out).size(), lines(tool({"voices"}).out).size()) << "one package has fewer voices than all";

    r = tool({"demo", "out"}, {"CORVANE_VOICEMOD_CONTENT=" + path("empty").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no voices in"), std::string::npos) << r.err;
}

TEST_F(ToolCommands, DemoRendersTheSpeechSampleThroughEveryVoice) {
    const ToolRun r = tool({"demo", "rendered", "--block", "512"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.err.empty()) << r.err;
    const std::vector<std::string> names = lines(tool({"voices"}).out);
    const Audio speech = readAudio(CORVANE_VOICEMOD_SAMPLE);
    ASSERT_GT(speech.frames(), 0u);
    std::size_t rows = 0;
    for (const std::string& line : lines(r.out))
        if (line.find("rendered/") != std::string::npos && line.size() > 2 && line.back() == 'x' &&
            std::isdigit(static_cast<unsigned char>(line[line.size() - 2])))
            ++rows;  // ends in a speed such as "412x"
    EXPECT_EQ(rows, names.size()) << r.out;
    EXPECT_EQ(entries(path("rendered")).size(), names.size());
    for (const auto& entry : fs::directory_iterator(path("rendered"))) {
        SCOPED_TRACE(entry.path().string());
        const Audio out = readAudio(entry.path());
        EXPECT_EQ(out.frames(), speech.frames());
        EXPECT_EQ(out.rate, speech.rate);
        EXPECT_EQ(out.format, speech.format);
        EXPECT_GT(rms(out.samples[0]), 0.001);
    }
}

TEST_F(ToolCommands, DemoFileNamesStayDistinctWhenVoiceNamesDifferOnlyInCaseOrPunctuation) {
    fs::create_directories(path("voices"));
    std::ofstream(path("voices/names.zvmd"))
        << R"({"format": "corvane-voice-package", "version": 1, "voices": [
              {"name": "x", "effects": [], "parameters": []},
              {"name": "X", "effects": [], "parameters": []},
              {"name": "x 2", "effects": [], "parameters": []}]})";
    const ToolRun r = tool({"demo", "out", "--content", "voices"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::set<std::string> folded;  // as a file system that ignores case sees them
    for (const std::string& name : entries(path("out"))) {
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        folded.insert(lower);
        EXPECT_NE(r.out.find("out/" + name), std::string::npos) << name << " is in the table: " << r.out;
    }
    EXPECT_EQ(folded.size(), 3u) << r.out;
}
