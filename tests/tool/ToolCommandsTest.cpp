// The built corvane-voicemod run as a person runs it: as a separate process,
// on files, with its exit status, standard output and standard error.
//
// Each bad command line is recorded with what it actually printed; with
// CORVANE_BAD_INPUT_ROWS=<folder> the records are written there as the
// Markdown table tool.md, from which docs/BAD_INPUT.md is made.
#include <gtest/gtest.h>

#include <sndfile.h>
#if !defined(_WIN32)
#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "ChildProcess.h"
#include "platform/Platform.h"
#include "soundfile/SoundFile.h"
#include "platform/ToolError.h"

#ifndef CORVANE_VOICEMOD_TOOL
#error "CORVANE_VOICEMOD_TOOL must be the path of the built tool"
#endif

namespace fs = std::filesystem;

namespace {

constexpr double kPi = 3.14159265358979323846;
// The Windows build's libsndfile is made without its external codecs.
constexpr const char* kNoFlac = "this libsndfile has no FLAC or Ogg (built without its external codecs)";

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

#if defined(_WIN32)
// Runs the tool with `args` in `cwd`; the environment is this process's
// without CORVANE_VOICEMOD_CONTENT, plus `env` ("NAME=value"). Its text
// output's line ends (CRLF on Windows) are read as "\n".
ToolRun runTool(const std::vector<std::string>& args, const fs::path& cwd, const std::vector<std::string>& env = {}) {
    testsupport::ChildOptions options;
    options.cwd = cwd;
    options.setEnv = env;
    options.unsetEnv = {"CORVANE_VOICEMOD_CONTENT"};
    const testsupport::ChildResult r = testsupport::runChild(fs::u8path(CORVANE_VOICEMOD_TOOL), args, options);
    const auto unix = [](std::string text) {
        for (std::size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
        return text;
    };
    return ToolRun{r.status, unix(r.out), unix(r.err)};
}
#else
// How the tool is started, beyond its arguments and folder.
struct Launch {
    std::vector<std::string> env;  // "NAME=value", added to this process's environment
    bool asNobody = false;         // drop root's privileges to the user "nobody" first
    int standardOutput = -1;       // a descriptor for the tool's standard output instead of a file
    int standardInput = -1;        // a descriptor for the tool's standard input instead of /dev/null
    pid_t namespacesOf = 0;        // run in this process's mount namespace (and user namespace, not as root)
};

constexpr uid_t kNobody = 65534;
// The child's exit statuses when it could not become the tool.
constexpr int kCannotStart = 125, kCannotExec = 127;

// Starts the tool with `args` in `cwd`, standard output and error to files
// there. The environment is this process's without CORVANE_VOICEMOD_CONTENT.
// The signals a shell's foreground job gets are at their defaults, whatever
// this process inherited.
pid_t startTool(const std::vector<std::string>& args, const fs::path& cwd, const Launch& launch = {}) {
    const fs::path outFile = cwd / ".tool-stdout", errFile = cwd / ".tool-stderr";
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = launch.standardOutput >= 0 ? launch.standardOutput
                                                   : ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = launch.standardInput >= 0 ? launch.standardInput : ::open("/dev/null", O_RDONLY);
        if (launch.namespacesOf > 0) {
            const std::string ns = "/proc/" + std::to_string(launch.namespacesOf) + "/ns/";
            for (const std::string kind : {"user", "mnt"}) {
                std::error_code same;
                if (fs::read_symlink(ns + kind, same) == fs::read_symlink("/proc/self/ns/" + kind, same))
                    continue;  // root's holder may keep root's user namespace
                const int fd = ::open((ns + kind).c_str(), O_RDONLY | O_CLOEXEC);
                if (fd < 0 || ::setns(fd, 0) != 0) ::_exit(kCannotStart);
                ::close(fd);
            }
        }
        if (out < 0 || err < 0 || in < 0 || ::chdir(cwd.c_str()) != 0) ::_exit(kCannotStart);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) ::signal(number, SIG_DFL);
        ::unsetenv("CORVANE_VOICEMOD_CONTENT");
        for (const std::string& e : launch.env) ::putenv(const_cast<char*>(e.c_str()));
        if (launch.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
            ::_exit(kCannotStart);
        std::vector<char*> argv{const_cast<char*>(CORVANE_VOICEMOD_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(CORVANE_VOICEMOD_TOOL, argv.data());
        ::_exit(kCannotExec);
    }
    return pid;
}

// Waits for a started tool, at most `limit` (then kills it: status -1). The
// status is the exit status, or minus the signal that ended it.
ToolRun finishTool(pid_t pid, const fs::path& cwd,
                   std::chrono::milliseconds limit = std::chrono::milliseconds(120000)) {
    ToolRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t done = 0;
    while (pid > 0 && (done = ::waitpid(pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            done = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (done == pid) run.status = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? -WTERMSIG(status) : -1;
    const fs::path outFile = cwd / ".tool-stdout", errFile = cwd / ".tool-stderr";
    run.out = slurp(outFile);
    run.err = slurp(errFile);
    fs::remove(outFile);
    fs::remove(errFile);
    return run;
}

ToolRun runTool(const std::vector<std::string>& args, const fs::path& cwd, const std::vector<std::string>& env = {}) {
    return finishTool(startTool(args, cwd, Launch{env}), cwd);
}
#endif

struct Audio {
    int rate = 0;
    int channels = 0;
    int format = 0;
    std::vector<std::vector<float>> samples;  // per channel
    std::vector<int> codes;                   // interleaved, as sf_read_int gives them
    std::vector<double> exact;                // interleaved, as sf_read_double gives them
    std::size_t frames() const { return samples.empty() ? 0 : samples[0].size(); }
};

// Reads every frame, also of a file that does not say how many it has
// (FLAC written to a pipe).
Audio readAudio(const fs::path& path) {
    Audio a;
    SF_INFO info{};
    SNDFILE* f = corvane::tool::openSoundFile(path, SFM_READ, &info);
    EXPECT_NE(f, nullptr) << path << ": " << sf_strerror(nullptr);
    if (f == nullptr) return a;
    a.rate = info.samplerate;
    a.channels = info.channels;
    a.format = info.format;
    const auto readAll = [&](auto* sample, auto read) {
        using T = std::remove_pointer_t<decltype(sample)>;
        std::vector<T> all, chunk(4096 * static_cast<std::size_t>(info.channels));
        sf_seek(f, 0, SEEK_SET);
        for (sf_count_t n; (n = read(f, chunk.data(), 4096)) > 0;)
            all.insert(all.end(), chunk.begin(), chunk.begin() + n * info.channels);
        return all;
    };
    const std::vector<float> interleaved = readAll(static_cast<float*>(nullptr), sf_readf_float);
    a.codes = readAll(static_cast<int*>(nullptr), sf_readf_int);
    a.exact = readAll(static_cast<double*>(nullptr), sf_readf_double);
    sf_close(f);
    const std::size_t frames = interleaved.size() / static_cast<std::size_t>(info.channels);
    a.samples.assign(static_cast<std::size_t>(info.channels), std::vector<float>(frames));
    for (std::size_t i = 0; i < frames; ++i)
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
    SNDFILE* f = corvane::tool::openSoundFile(path, SFM_WRITE, &info);
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

#if !defined(_WIN32)
// Waits until `pid` sits in system call `number` (seen three times running),
// for at most 20 s.
bool waitInSystemCall(pid_t pid, long number) {
    const std::string file = "/proc/" + std::to_string(pid) + "/syscall";
    int seen = 0;
    for (int i = 0; i < 2000 && seen < 3; ++i) {
        std::ifstream in(file);
        std::string first;
        in >> first;
        seen = first == std::to_string(number) ? seen + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return seen >= 3;
}

mode_t modeOf(const fs::path& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// Reads a FIFO, opened before the tool opens it, until its writer is gone
// (or, when none ever came, until finish() is called after the tool ended).
class FifoReader {
public:
    explicit FifoReader(const fs::path& fifo) : fd_(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK)) {
        thread_ = std::thread([this] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::read(fd_, buffer, sizeof buffer);
                if (n > 0) {
                    data_.append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 && (!data_.empty() || toolEnded_)) {
                    break;  // no writer: done, or none came
                } else {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    ~FifoReader() {
        if (thread_.joinable()) finish();
    }
    std::string finish() {
        toolEnded_ = true;
        thread_.join();
        ::close(fd_);
        return data_;
    }

private:
    int fd_;
    std::string data_;
    std::atomic<bool> toolEnded_{false};
    std::thread thread_;
};

// A small file system of its own for the tool to fill: a tmpfs of `bytes`
// on `folder`, in a mount namespace that a holder process keeps (root makes
// one; anyone else makes a user namespace with it). The tool is started in
// it (Launch::namespacesOf); this process sees its files under seen().
// Where neither can be had, ready() is false and why() says what refused.
class SmallFileSystem {
public:
    SmallFileSystem(const fs::path& folder, std::size_t bytes) {
        int ready[2], hold[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(hold, O_CLOEXEC) != 0) {
            why_ = std::strerror(errno);
            return;
        }
        const std::string uidMap = std::to_string(::geteuid()) + " " + std::to_string(::geteuid()) + " 1";
        const std::string gidMap = std::to_string(::getegid()) + " " + std::to_string(::getegid()) + " 1";
        const std::string size = "size=" + std::to_string(bytes);
        holder_ = ::fork();
        if (holder_ == 0) {
            ::close(ready[0]);
            ::close(hold[1]);
            const auto put = [](const char* file, const std::string& text) {
                const int fd = ::open(file, O_WRONLY);
                const bool done = fd >= 0 && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
                if (fd >= 0) ::close(fd);
                return done;
            };
            int failed[2] = {0, 0};  // the step, its errno
            // Root makes a mount namespace; anyone else (or root where that
            // is refused, in some containers) a user namespace with it.
            if ((::geteuid() != 0 || ::unshare(CLONE_NEWNS) != 0) &&
                (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !put("/proc/self/setgroups", "deny") ||
                 !put("/proc/self/uid_map", uidMap) || !put("/proc/self/gid_map", gidMap)))
                failed[0] = 1;
            else if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                failed[0] = 2;
            else if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, size.c_str()) != 0)
                failed[0] = 3;
            failed[1] = errno;
            (void)!::write(ready[1], failed, sizeof failed);
            char c;
            while (failed[0] == 0 && (::read(hold[0], &c, 1) > 0 || errno == EINTR)) {
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        int failed[2] = {1, EAGAIN};
        if (holder_ < 0 || ::read(ready[0], failed, sizeof failed) != static_cast<ssize_t>(sizeof failed))
            failed[1] = errno;
        ::close(ready[0]);
        static const char* const steps[] = {"", "a mount namespace", "a private mount namespace", "a tmpfs"};
        if (failed[0] != 0) why_ = std::string(steps[failed[0]]) + ": " + std::strerror(failed[1]);
    }
    ~SmallFileSystem() {
        ::close(hold_);  // the holder ends, and its namespace and tmpfs with it
        if (holder_ > 0) ::waitpid(holder_, nullptr, 0);
    }
    bool ready() const { return why_.empty(); }
    const std::string& why() const { return why_; }
    pid_t holder() const { return holder_; }
    // A path of the holder's namespace as this process reaches it.
    fs::path seen(const fs::path& path) const {
        return fs::path("/proc/" + std::to_string(holder_) + "/root") / path.relative_path();
    }

private:
    pid_t holder_ = -1;
    int hold_ = -1;
    std::string why_;
};
#endif

class ToolCommands : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               ("corvane-tool-" + std::string(info->name()) + "-" + std::to_string(testsupport::processId()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path path(const std::string& name) const { return dir_ / name; }
    ToolRun tool(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) const {
        return runTool(args, dir_, env);
    }
#if !defined(_WIN32)
    pid_t start(const std::vector<std::string>& args, const Launch& launch = {}) const {
        return startTool(args, dir_, launch);
    }
    ToolRun finish(pid_t pid) const { return finishTool(pid, dir_, std::chrono::seconds(10)); }
#endif

    // Records the command line (with the variables it adds to the
    // environment, after what `setting` says of its files) and what it
    // printed: standard error, or standard output when standard error is
    // empty; the test's folder shown as <dir>.
    void record(const std::vector<std::string>& args, const ToolRun& r,
                const std::vector<std::string>& env = {}, const std::string& setting = "") const {
        const auto shortened = [this](std::string text) {
            for (std::size_t at; (at = text.find(dir_.string())) != std::string::npos;)
                text.replace(at, dir_.string().size(), "<dir>");
            return text;
        };
        std::string command;
        for (const std::string& e : env) command += shortened(e) + ' ';
        command += "corvane-voicemod";
        for (const std::string& a : args)
            command += ' ' + (!a.empty() && a.find_first_of(" \"'\\$`*?") == std::string::npos
                                  ? corvane::tool::printable(a)
                                  : '"' + corvane::tool::printable(a) + '"');
        std::string printed;
        for (const std::string& line : lines(r.err.empty() ? r.out : r.err))
            printed += (printed.empty() ? "`" : "<br>`") + shortened(line) + "`";
        rows().push_back({(setting.empty() ? "" : setting + ": ") + "`" + command + "`",
                          std::to_string(r.status), printed.empty() ? "nothing" : printed});
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
    // The formants follow the pitch: the channels' two tones share one
    // envelope model, and a tone whitened away from its own formant, with
    // the other's resonance added, is no longer a tone to count periods of.
    const ToolRun r = tool({"render", "three.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=12",
                            "--param", "Formant=12"});
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
    if (!corvane::tool::containerAvailable(SF_FORMAT_FLAC)) GTEST_SKIP() << kNoFlac;
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
    // Every sample encoding the output keeps, with samples that use all of
    // its bits (a float cannot carry 32-bit PCM or 64-bit float).
    std::mt19937_64 random(11);
    std::uniform_real_distribution<double> any(-1.0, 1.0);
    std::vector<double> samples(2 * 4000);
    for (double& x : samples) x = any(random);
    samples[0] = -1.0;
    samples[1] = 1e-300;
    for (const int format : {SF_FORMAT_WAV | SF_FORMAT_PCM_U8, SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                             SF_FORMAT_WAV | SF_FORMAT_PCM_32, SF_FORMAT_WAV | SF_FORMAT_FLOAT,
                             SF_FORMAT_WAV | SF_FORMAT_DOUBLE, SF_FORMAT_WAV | SF_FORMAT_ULAW,
                             SF_FORMAT_WAV | SF_FORMAT_ALAW, SF_FORMAT_FLAC | SF_FORMAT_PCM_S8,
                             SF_FORMAT_AIFF | SF_FORMAT_PCM_32, SF_FORMAT_AIFF | SF_FORMAT_DOUBLE}) {
        SCOPED_TRACE(format);
        const std::string file = std::string("in") + (((format & SF_FORMAT_TYPEMASK) == SF_FORMAT_FLAC) ? ".flac" : ".wav");
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = format;
        SNDFILE* f = corvane::tool::openSoundFile(path(file), SFM_WRITE, &info);
        ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
        sf_write_double(f, samples.data(), static_cast<sf_count_t>(samples.size()));
        sf_close(f);
        const ToolRun r = tool({"render", file, "bypassed", "--voice", "Cathedral", "--bypass", "--background"});
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio in = readAudio(path(file)), out = readAudio(path("bypassed"));
        EXPECT_EQ(out.format, in.format);
        ASSERT_EQ(out.exact.size(), in.exact.size());
        EXPECT_TRUE(out.exact == in.exact && out.codes == in.codes) << "bit-identical";
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
    if (!corvane::tool::containerAvailable(SF_FORMAT_OGG)) GTEST_SKIP() << kNoFlac;
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

// --- MP3, unreadable formats, standard input and output, in place ---------------

TEST_F(ToolCommands, Mp3IsReadAndWrittenAndAFormatLibsndfileCannotReadIsNamed) {
    if (!corvane::tool::containerAvailable(SF_FORMAT_MPEG)) GTEST_SKIP() << "this libsndfile has no MP3";
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.5);
    ToolRun r = tool({"render", "tone.wav", "tone.mp3", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("MP3"), std::string::npos) << r.out;
    const Audio mp3 = readAudio(path("tone.mp3"));
    EXPECT_EQ(mp3.format, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
    // Back to WAV: plain samples, not the MP3 encoding in a WAV container.
    r = tool({"render", "tone.mp3", "back.wav", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("WAV 16-bit PCM"), std::string::npos) << r.out;
    const Audio back = readAudio(path("back.wav"));
    EXPECT_EQ(back.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_FALSE(back.samples.empty());
    EXPECT_NEAR(measureFrequency(back.samples[0], 48000, 4800, 19200), 440.0, 1.0);
    // --format mp3 over the extension.
    r = tool({"render", "tone.wav", "tone.out", "--voice", "Robot", "--format", "mp3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readAudio(path("tone.out")).format, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);

    // AAC in an MP4 container: libsndfile reads none of it.
    std::ofstream(path("talk.m4a"), std::ios::binary) << std::string("\0\0\0\x20" "ftypM4A \0\0\0\0", 16)
                                                      << std::string(512, '\0');
    expectFailure({"render", "talk.m4a", "talk.wav", "--voice", "Robot"}, 1,
                  "cannot read \"talk.m4a\": libsndfile cannot read AAC audio (.m4a); convert it to WAV, FLAC, Ogg or "
                  "MP3 first, for example with 'ffmpeg -i talk.m4a talk.wav'");
}

#if !defined(_WIN32)
TEST_F(ToolCommands, DashReadsStandardInputAndWritesStandardOutputFrontToBack) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.5);
    const std::string wav = slurp(path("tone.wav"));
    // The WAV through a pipe in, Ogg through a pipe out.
    // Close-on-exec: the tool holds only the ends it is given.
    int in[2], out[2];
    ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    Launch launch;
    launch.standardInput = in[0];
    launch.standardOutput = out[1];
    const pid_t pid = start({"render", "-", "-", "--voice", "Robot", "--bypass", "--format", "ogg"}, launch);
    ::close(in[0]);
    ::close(out[1]);
    std::thread feeder([&] {
        for (std::size_t at = 0; at < wav.size();) {
            const ssize_t n = ::write(in[1], wav.data() + at, wav.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
        ::close(in[1]);
    });
    std::string ogg;
    char buffer[65536];
    for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) ogg.append(buffer, static_cast<std::size_t>(n));
    ::close(out[0]);
    feeder.join();
    const ToolRun r = finish(pid);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("wrote standard output"), std::string::npos) << r.err;  // the report beside the audio
    std::ofstream(path("got.ogg"), std::ios::binary) << ogg;
    const Audio got = readAudio(path("got.ogg"));
    EXPECT_EQ(got.format, SF_FORMAT_OGG | SF_FORMAT_VORBIS);
    EXPECT_EQ(got.frames(), 24000u);

    // WAV writes its length into its header last: not into a pipe.
    int refused[2];
    ASSERT_EQ(::pipe2(refused, O_CLOEXEC), 0);
    Launch toPipe;
    toPipe.standardOutput = refused[1];
    const pid_t wavPid = start({"render", "tone.wav", "-", "--voice", "Robot"}, toPipe);
    ::close(refused[1]);
    while (::read(refused[0], buffer, sizeof buffer) > 0) {
    }
    ::close(refused[0]);
    const ToolRun w = finish(wavPid);
    EXPECT_EQ(w.status, 1);
    EXPECT_NE(w.err.find("cannot write standard output: WAV 16-bit PCM cannot be streamed"), std::string::npos)
        << w.err;
}

TEST_F(ToolCommands, AWritableFileInAFolderThatIsNotIsWrittenInPlaceAndKeptOnFailure) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the tool as the user nobody, which needs root";
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    fs::permissions(dir_, fs::perms(0755));
    fs::create_directories(path("shut"));
    fs::create_directories(path("tmp"));
    fs::permissions(path("shut"), fs::perms(0755));  // root's: nobody may not add a file
    fs::permissions(path("tmp"), fs::perms(0777));
    std::ofstream(path("shut/take.wav")) << "the previous take";
    ASSERT_EQ(::chown(path("shut/take.wav").c_str(), kNobody, kNobody), 0);
    const auto inode = [&] {
        struct stat status {};
        ::stat(path("shut/take.wav").c_str(), &status);
        return status.st_ino;
    };
    const ino_t before = inode();
    const Launch nobody{{"TMPDIR=" + path("tmp").string()}, true};

    // A render that fails leaves it as it was.
    ToolRun r = finishTool(startTool({"render", "missing.wav", "take.wav", "--voice", "Robot"}, path("shut"), nobody),
                           path("shut"));
    if (r.status == kCannotStart || r.status == kCannotExec)
        GTEST_SKIP() << "the user nobody cannot run the built tool from here (status " << r.status << ")";
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(path("shut/take.wav")), "the previous take");

    r = finishTool(startTool({"render", "../tone.wav", "take.wav", "--voice", "Robot", "--bypass"}, path("shut"), nobody),
                   path("shut"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(inode(), before) << "written in place, not replaced";
    EXPECT_EQ(readAudio(path("shut/take.wav")).frames(), 14400u);
    EXPECT_EQ(entries(path("shut")), std::set<std::string>{"take.wav"});
    EXPECT_TRUE(fs::is_empty(path("tmp"))) << "the temporary file is gone";
}
#endif

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
                  "cannot read \"missing.wav\": No such file or directory");
    expectFailure({"render", "text.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot read \"text.wav\": Format not recognised.");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robott"}, 1,
                  "unknown voice \"Robott\" (run 'corvane-voicemod voices' to list them)");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch"}, 2,
                  "malformed --param \"Pitch\": expected NAME=VALUE");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=high"}, 2,
                  "malformed --param \"Pitch=high\": \"high\" is not a number");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pich=3"}, 1,
                  "voice \"Chipmunk\" has no parameter \"Pich\" (it has \"Pitch\", \"Formant\")");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=99"}, 1,
                  "parameter \"Pitch\": 99 is outside 0..12");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Chipmunk", "--param", "Pitch=1e39"}, 1,
                  "parameter \"Pitch\": 1e39 is outside 0..12");
#if !defined(_WIN32)  // Windows takes its temporary folder from TMP and TEMP
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot make a temporary folder in \"" + path("none").string() + "\" (TMPDIR): ",
                  {"TMPDIR=" + path("none").string()});
#endif
    expectFailure({"render", "tone.wav", "no/such/folder/out.wav", "--voice", "Robot"}, 1,
                  "cannot write \"no/such/folder/out.wav\": No such file or directory");
    expectFailure({"render", "tone.wav", "folder.wav", "--voice", "Robot"}, 1,
                  "cannot write \"folder.wav\": it is a folder");
    expectFailure({"render", "tone.wav", "out.wav", "--voice", "Robot", "--content", "nowhere"}, 1,
                  "voice folder \"nowhere\" does not exist");
    expectFailure({"render", "tone.wav", "out.wav"}, 2, "--voice is required");
#if !defined(_WIN32)  // names with a newline or escape codes: printed escaped, never raw
    expectFailure({"render", "no\nsuch\x1b[31m.wav", "out.wav", "--voice", "Robot"}, 1,
                  "cannot read \"no\\x0asuch\\x1b[31m.wav\": No such file or directory");
#endif
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

// An input that breaks off, or ends before the length its header gives, is
// not taken for a whole one: the render fails and says where.
TEST_F(ToolCommands, AnInputCutShortOrDamagedFailsTheRender) {
    if (!corvane::tool::containerAvailable(SF_FORMAT_MPEG)) GTEST_SKIP() << "this libsndfile has no MP3";
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 1.0);
    ToolRun r = tool({"render", "tone.wav", "tone.mp3", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool({"render", "tone.wav", "tone.flac", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string mp3 = slurp(path("tone.mp3")), flac = slurp(path("tone.flac"));
    std::ofstream(path("cut.mp3"), std::ios::binary) << mp3.substr(0, mp3.size() / 2);
    std::ofstream(path("cut.flac"), std::ios::binary) << flac.substr(0, flac.size() / 2);
    std::string damaged = mp3;  // a run of bytes in the middle overwritten
    std::fill_n(damaged.begin() + static_cast<std::ptrdiff_t>(mp3.size() / 2), 400, '\x55');
    std::ofstream(path("damaged.mp3"), std::ios::binary) << damaged;
    fs::remove(path("tone.flac"));
    for (const char* name : {"cut.mp3", "damaged.mp3", "cut.flac"}) {
        expectFailure({"render", name, "out.wav", "--voice", "Robot"}, 1,
                      "cannot read \"" + std::string(name) + "\": ");
    }
    // Whole, the same file is read to its end.
    r = tool({"render", "tone.mp3", "out.wav", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readAudio(path("out.wav")).frames(), 48000u);
    EXPECT_TRUE(r.err.empty()) << "nothing from the decoder: " << r.err;
}

// A WAV or AIFF whose header promises more audio than the file holds was cut
// short (libsndfile reads what is there as if it were all); one whose writer
// streamed it and left the length open is read to its end. The name of what
// was written is reported as every name is, escaped.
TEST_F(ToolCommands, AHeaderPromisingMoreAudioThanTheFileHoldsFailsTheRender) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 1.0);
    writeTones(path("tone.aiff"), SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 48000, {440.0}, 1.0);
    const std::string wav = slurp(path("tone.wav")), aiff = slurp(path("tone.aiff"));
    // Half the audio: 24,000 frames of 16-bit samples after "data", of
    // 24-bit ones after "SSND" and its offset and block size.
    std::ofstream(path("cut.wav"), std::ios::binary) << wav.substr(0, wav.find("data") + 8 + 48000);
    std::ofstream(path("cut.aiff"), std::ios::binary) << aiff.substr(0, aiff.find("SSND") + 16 + 72000);
    for (const char* name : {"cut.wav", "cut.aiff"}) {
        expectFailure({"render", name, "out.wav", "--voice", "Robot"}, 1,
                      "cannot read \"" + std::string(name) + "\": it is cut short: it ends at 0.50 s, before the 1.00 s "
                      "its header gives");
    }
    std::string open = wav;  // the data chunk's length as a streaming writer leaves it
    const std::size_t data = open.find("data");
    ASSERT_NE(data, std::string::npos);
    open.replace(data + 4, 4, "\xff\xff\xff\xff");
    std::ofstream(path("open.wav"), std::ios::binary) << open;
    ToolRun r = tool({"render", "open.wav", "out.wav", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readAudio(path("out.wav")).frames(), 48000u);
#if !defined(_WIN32)  // Windows takes no control characters in a name
    r = tool({"render", "tone.wav", "two\nlines\x1b[2J.wav", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, r.out.find(':')), "wrote two\\x0alines\\x1b[2J.wav") << r.out;
#endif
}

TEST_F(ToolCommands, UsageErrorsAndHelpHaveTheirStatuses) {
    expectFailure({}, 2, "A subcommand is required");
    expectFailure({"sing", "along"}, 2, "unknown command \"sing\" (commands: voices, render, demo, live, devices)");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--block", "0"}, 2,
                  "--block: Value 0 not in range 1 to 65536");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--block", "99999999"}, 2,
                  "--block: Value 99999999 not in range 1 to 65536");
    expectFailure({"render", "a.wav", "b.wav", "--voice", "Robot", "--format", "aac"}, 2,
                  "--format: aac not in {wav,flac,ogg,mp3}");
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
    // live's numbers: no NaN or infinity, and plain ranges.
    expectFailure({"live", "--gate", "nan"}, 2, "--gate: Value nan not in range -100 to 0");
    expectFailure({"live", "--gate", "-inf"}, 2, "--gate: Value -inf not in range -100 to 0");
    expectFailure({"live", "--gate", "5"}, 2, "--gate: Value 5 not in range -100 to 0");
    expectFailure({"live", "--duration", "0"}, 2, "--duration: Value 0 not in range: more than 0 seconds");
    expectFailure({"live", "--duration", "nan"}, 2,
                  "--duration: Value nan not in range: more than 0 seconds");
    expectFailure({"live", "--duration", "inf"}, 2,
                  "--duration: Value inf not in range: more than 0 seconds");
    // A virtual microphone needs a name one can see.
    expectFailure(
        {"live", "--virtual-mic", ""}, 2,
        "--virtual-mic: the name is empty (give a name, or --virtual-mic alone for \"Corvane Voice\")");
    expectFailure({"live", "--virtual-mic", "   "}, 2,
                  "--virtual-mic: the name \"   \" is only spaces (give a name, or --virtual-mic alone for "
                  "\"Corvane Voice\")");
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
                      (path("bad-content") / "broken.zvmd").u8string() + ": format must be a string, not a number");
    expectFailure({"voices", "--content", "/nonexistent"}, 1, "voice folder \"/nonexistent\" does not exist");
#if !defined(_WIN32)  // a Linux path; on Windows "/x" reads as an option
    expectFailure({"demo", "/proc/forbidden"}, 1,
                  "cannot make folder \"/proc/forbidden\": No such file or directory");
#endif

    // OUTPUT the same file as INPUT: the rendered file replaces the input,
    // at its full length.
    const Audio input = readAudio(path("tone.wav"));
    const ToolRun r = tool({"render", "tone.wav", "tone.wav", "--voice", "Robot"});
    record({"render", "tone.wav", "tone.wav", "--voice", "Robot"}, r, {}, "OUTPUT the same file as INPUT");
    ASSERT_EQ(r.status, 0) << r.err;
    const Audio output = readAudio(path("tone.wav"));
    EXPECT_EQ(output.frames(), input.frames());
    EXPECT_NE(output.samples, input.samples);
}

// --- output files and signals ----------------------------------------------------

#if defined(_WIN32)
TEST_F(ToolCommands, DevicesFifosModesUsersAndSignalsAreCheckedOnLinux) {
    GTEST_SKIP() << "Windows has no device nodes, FIFOs, POSIX file modes, set-uid users or POSIX signals "
                    "to send a process; these output and signal cases run on Linux";
}
#else

TEST_F(ToolCommands, DevicesFifosAndLinksAreWrittenThroughNeverReplaced) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    // Device nodes of its own, as /dev/null and /dev/full are (root may make
    // them, where the file system lets devices be opened).
    const auto usableDevice = [&](const char* name, unsigned minor) {
        if (::mknod(path(name).c_str(), S_IFCHR | 0666, makedev(1, minor)) != 0) return false;
        const int fd = ::open(path(name).c_str(), O_WRONLY);
        if (fd >= 0) ::close(fd);
        return fd >= 0;
    };
    if (usableDevice("null", 3) && usableDevice("full", 7)) {
        ToolRun r = tool({"render", "tone.wav", "null", "--voice", "Robot"});
        EXPECT_EQ(r.status, 0) << r.err;
        r = tool({"render", "tone.wav", "full", "--voice", "Robot"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("cannot write \"full\": No space left on device\n"), std::string::npos)
            << r.err;
        EXPECT_TRUE(S_ISCHR(modeOf(path("null"))) && S_ISCHR(modeOf(path("full")))) << "still devices";
    } else {
        std::cout << "device nodes not tried: they cannot be made or opened here (" << std::strerror(errno) << ")\n";
    }

    // A FIFO takes a format written front to back; WAV's header, written
    // last, needs a file, so that is refused without waiting for a reader.
    ASSERT_EQ(::mkfifo(path("pipe.flac").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(path("pipe.wav").c_str(), 0644), 0);
    FifoReader reader(path("pipe.flac"));
    ToolRun r = tool({"render", "tone.wav", "pipe.flac", "--voice", "Robot"});
    const std::string flac = reader.finish();
    record({"render", "tone.wav", "pipe.flac", "--voice", "Robot"}, r, {}, "pipe.flac a FIFO that is read");
    EXPECT_EQ(r.status, 0) << r.err;
    std::ofstream(path("got.flac"), std::ios::binary) << flac;
    if (!flac.empty()) {
        const Audio got = readAudio(path("got.flac"));
        EXPECT_EQ(got.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        EXPECT_EQ(got.frames(), 14400u);
    }
    r = tool({"render", "tone.wav", "pipe.wav", "--voice", "Robot"});
    record({"render", "tone.wav", "pipe.wav", "--voice", "Robot"}, r, {}, "pipe.wav a FIFO");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write \"pipe.wav\": WAV 16-bit PCM cannot be streamed"), std::string::npos) << r.err;
    EXPECT_TRUE(S_ISFIFO(modeOf(path("pipe.flac"))) && S_ISFIFO(modeOf(path("pipe.wav")))) << "still FIFOs";

    // A link is followed: the file it names is replaced, in its own folder.
    fs::create_directories(path("takes"));
    std::ofstream(path("takes/real.wav")) << "the previous take";
    fs::create_symlink("takes/real.wav", path("link.wav"));
    r = tool({"render", "tone.wav", "link.wav", "--voice", "Robot"});
    record({"render", "tone.wav", "link.wav", "--voice", "Robot"}, r, {},
           "link.wav a link to takes/real.wav");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(path("link.wav")));
    EXPECT_EQ(readAudio(path("takes/real.wav")).frames(), 14400u);
    EXPECT_EQ(entries(path("takes")), std::set<std::string>{"real.wav"});
}

// A file system that fills up: every format's last bytes, which its encoder
// writes as it is closed, find no room. The render fails with the system's
// reason, and an existing output is left exactly as it was.
TEST_F(ToolCommands, AFullFileSystemFailsEveryFormatAndLeavesTheOldFileAsItWas) {
    writeTones(path("noise.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {0.0}, 1.0);  // no encoder shrinks noise much
    fs::create_directories(path("small"));
    const SmallFileSystem small(path("small"), 1 << 20);
    if (!small.ready()) GTEST_SKIP() << "no small file system of its own can be made here: " << small.why();
    Launch inside;
    inside.namespacesOf = small.holder();
    const fs::path folder = small.seen(path("small"));
    // Leaves `room` bytes free on the small file system (a filler takes the rest).
    const auto leaveRoom = [&](std::uintmax_t room) {
        fs::remove(folder / "filler");
        struct statvfs free {};
        ASSERT_EQ(::statvfs(folder.c_str(), &free), 0);
        const std::uintmax_t available = static_cast<std::uintmax_t>(free.f_bavail) * free.f_frsize;
        ASSERT_GE(available, room);
        std::ofstream(folder / "filler", std::ios::binary) << std::string(available - room, 'x');
    };
    const std::string previous = "the previous take";
    for (const std::string ext : {"wav", "flac", "ogg", "mp3"}) {
        if (!corvane::tool::containerAvailable(corvane::tool::containerForName(ext))) continue;
        SCOPED_TRACE(ext);
        ToolRun r = tool({"render", "noise.wav", "whole." + ext, "--voice", "Robot"});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::uintmax_t size = fs::file_size(path("whole." + ext)), page = 4096;
        const std::uintmax_t allButTheLastPage = (size - 1) / page * page;
        for (const std::string& name : {"new." + ext, "victim." + ext}) {
            for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
            if (name != "new." + ext) std::ofstream(folder / name) << previous;
            leaveRoom(allButTheLastPage);
            const std::set<std::string> before = entries(folder);
            r = finish(start({"render", "noise.wav", "small/" + name, "--voice", "Robot"}, inside));
            EXPECT_EQ(r.status, 1) << name << ": " << r.err;
            EXPECT_EQ(r.err, "corvane-voicemod: cannot write \"small/" + name + "\": No space left on device\n");
            EXPECT_TRUE(r.out.empty()) << r.out;
            EXPECT_EQ(entries(folder), before) << "no temporary file left behind";
            if (name != "new." + ext) {
                EXPECT_TRUE(slurp(folder / name) == previous) << "the old file, byte for byte";
            }
        }
        // A page more, and the same render fits: the limit was the file's own size.
        for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry.path());
        leaveRoom(allButTheLastPage + 2 * page);
        r = finish(start({"render", "noise.wav", "small/new." + ext, "--voice", "Robot"}, inside));
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(fs::file_size(folder / ("new." + ext)), size);
    }
}

// A device that takes nothing (/dev/full), as OUTPUT and as standard output:
// every format fails with the system's reason.
TEST_F(ToolCommands, AFullDeviceOrStandardOutputFailsEveryFormatWithTheSystemsReason) {
    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0) GTEST_SKIP() << "/dev/full cannot be opened here: " << std::strerror(errno);
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.3);
    for (const std::string ext : {"wav", "flac", "ogg", "mp3"}) {
        if (!corvane::tool::containerAvailable(corvane::tool::containerForName(ext))) continue;
        SCOPED_TRACE(ext);
        const std::vector<std::string> device{"render", "tone.wav", "/dev/full", "--voice", "Robot", "--format", ext};
        ToolRun r = tool(device);
        record(device, r);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "corvane-voicemod: cannot write \"/dev/full\": No space left on device\n");
        Launch toFull;
        toFull.standardOutput = full;
        const std::vector<std::string> standard{"render", "tone.wav", "-", "--voice", "Robot", "--format", ext};
        r = finish(start(standard, toFull));
        if (ext == "mp3") record(standard, r, {}, "standard output on /dev/full");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "corvane-voicemod: cannot write standard output: No space left on device\n");
    }
    // Text too: the voice list, and the line a render reports.
    Launch toFull;
    toFull.standardOutput = full;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"voices"}, {"render", "tone.wav", "out.wav", "--voice", "Robot"}}) {
        const ToolRun r = finish(start(args, toFull));
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "corvane-voicemod: cannot write standard output: No space left on device\n");
    }
    ::close(full);
    EXPECT_EQ(entries(dir_), (std::set<std::string>{"tone.wav", "out.wav"}));
}

// What the tool writes to a pipe is the file it writes to a file, and what
// comes back through a pipe is read whole; so is an MP3 an encoder wrote to a
// pipe, which has no frame giving its length.
TEST_F(ToolCommands, WhatGoesThroughAPipeComesBackWhole) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 2.0);
    const Audio input = readAudio(path("tone.wav"));
    // Runs the tool with `in` on its standard input (nothing when empty) and
    // returns what it wrote to its standard output, a pipe.
    const auto throughPipes = [&](const std::vector<std::string>& args, const std::string& in, ToolRun& run) {
        int toTool[2], fromTool[2];
        EXPECT_EQ(::pipe2(toTool, O_CLOEXEC), 0);
        EXPECT_EQ(::pipe2(fromTool, O_CLOEXEC), 0);
        Launch launch;
        launch.standardInput = toTool[0];
        launch.standardOutput = fromTool[1];
        const pid_t pid = start(args, launch);
        ::close(toTool[0]);
        ::close(fromTool[1]);
        std::thread feeder([&] {
            for (std::size_t at = 0; at < in.size();) {
                const ssize_t n = ::write(toTool[1], in.data() + at, in.size() - at);
                if (n <= 0) break;
                at += static_cast<std::size_t>(n);
            }
            ::close(toTool[1]);
        });
        std::string out;
        char buffer[65536];
        for (ssize_t n; (n = ::read(fromTool[0], buffer, sizeof buffer)) > 0;) out.append(buffer, static_cast<std::size_t>(n));
        ::close(fromTool[0]);
        feeder.join();
        run = finish(pid);
        return out;
    };
    for (const std::string ext : {"flac", "mp3", "ogg"}) {
        if (!corvane::tool::containerAvailable(corvane::tool::containerForName(ext))) continue;
        SCOPED_TRACE(ext);
        ToolRun r;
        const std::string piped = throughPipes({"render", "tone.wav", "-", "--voice", "Robot", "--bypass", "--format", ext}, "", r);
        ASSERT_EQ(r.status, 0) << r.err;
        r = tool({"render", "tone.wav", "file." + ext, "--voice", "Robot", "--bypass"});
        ASSERT_EQ(r.status, 0) << r.err;
        if (ext != "ogg") {  // Ogg's serial number is random
            EXPECT_TRUE(piped == slurp(path("file." + ext))) << "the same bytes as to a file";
        }
        std::ofstream(path("piped." + ext), std::ios::binary) << piped;
        // Back, from a file and from a pipe.
        r = tool({"render", "piped." + ext, "back.wav", "--voice", "Robot", "--bypass"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(readAudio(path("back.wav")).frames(), input.frames());
        throughPipes({"render", "-", "back.wav", "--voice", "Robot", "--bypass"}, piped, r);
        ASSERT_EQ(r.status, 0) << r.err;
        const Audio back = readAudio(path("back.wav"));
        EXPECT_EQ(back.frames(), input.frames());
        if (ext == "flac") {
            EXPECT_EQ(back.codes, input.codes) << "lossless, sample for sample";
        }
    }

    if (corvane::tool::containerAvailable(SF_FORMAT_FLAC)) {
        // Standard output appended to (">>") takes every write at its end:
        // it cannot go back to a header either.
        const int appended = ::open(path("appended.flac").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        ASSERT_EQ(::write(appended, "take 1;", 7), 7);
        Launch toFile;
        toFile.standardOutput = appended;
        const ToolRun r = finish(start({"render", "tone.wav", "-", "--voice", "Robot", "--bypass", "--format", "flac"}, toFile));
        ::close(appended);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(slurp(path("appended.flac")) == "take 1;" + slurp(path("file.flac")));
    }

    if (!corvane::tool::containerAvailable(SF_FORMAT_MPEG)) return;
    // An encoder writing to a pipe cannot go back for the frame that gives
    // the length (libsndfile's, LAME's): read to its last frame, it holds the
    // whole input and the encoder's delay and padding (under two frames).
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    std::string headerless;
    std::thread drain([&] {
        char buffer[65536];
        for (ssize_t n; (n = ::read(ends[0], buffer, sizeof buffer)) > 0;) headerless.append(buffer, static_cast<std::size_t>(n));
    });
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III;
    SNDFILE* encoder = sf_open_fd(ends[1], SFM_WRITE, &info, SF_TRUE);
    ASSERT_NE(encoder, nullptr) << sf_strerror(nullptr);
    sf_writef_float(encoder, input.samples[0].data(), static_cast<sf_count_t>(input.frames()));
    sf_close(encoder);  // and the pipe's end
    drain.join();
    ::close(ends[0]);
    std::ofstream(path("headerless.mp3"), std::ios::binary) << headerless;
    const ToolRun r = tool({"render", "headerless.mp3", "back.wav", "--voice", "Robot", "--bypass"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t frames = readAudio(path("back.wav")).frames();
    EXPECT_GE(frames, input.frames());
    EXPECT_LE(frames, input.frames() + 2 * 1152);
}

TEST_F(ToolCommands, AReplacedFileKeepsItsModeAndAnyNameTheFolderTakesWorks) {
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.2);
    std::ofstream(path("private.wav")) << "x";
    std::ofstream(path("readonly.wav")) << "x";
    fs::permissions(path("private.wav"), fs::perms(0600));
    fs::permissions(path("readonly.wav"), fs::perms(0444));
    const std::string longest(255 - 4, 'a');  // the longest name a folder takes
    const mode_t saved = ::umask(027);
    const ToolRun replaced = tool({"render", "tone.wav", "private.wav", "--voice", "Robot"});
    const ToolRun made = tool({"render", "tone.wav", "new.wav", "--voice", "Robot"});
    const ToolRun readonly = tool({"render", "tone.wav", "readonly.wav", "--voice", "Robot"});
    const ToolRun named = tool({"render", "tone.wav", longest + ".wav", "--voice", "Robot"});
    ::umask(saved);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_EQ(modeOf(path("private.wav")) & 07777, 0600u);
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(modeOf(path("new.wav")) & 07777, 0640u) << "0666 less the umask";
    if (::geteuid() == 0) {  // root writes a read-only file, as cp does
        EXPECT_EQ(readonly.status, 0) << readonly.err;
        EXPECT_EQ(readAudio(path("readonly.wav")).frames(), 9600u);
    } else {
        EXPECT_EQ(readonly.status, 1);
        EXPECT_NE(readonly.err.find("cannot write \"readonly.wav\": Permission denied"), std::string::npos);
    }
    EXPECT_EQ(modeOf(path("readonly.wav")) & 07777, 0444u);
    EXPECT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(entries(dir_),
              (std::set<std::string>{"tone.wav", "private.wav", "new.wav", "readonly.wav", longest + ".wav"}))
        << "nothing left beside them";
}

TEST_F(ToolCommands, AnotherUserIsRefusedWhatItMayNotWriteAndToldWhatItCannotEnter) {
    if (::geteuid() != 0) GTEST_SKIP() << "runs the tool as the user nobody, which needs root";
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 0.2);
    fs::permissions(dir_, fs::perms(0755));
    for (const char* folder : {"shared", "tmp"}) {
        fs::create_directories(path(folder));
        fs::permissions(path(folder), fs::perms(0777));
    }
    // root's read-only file in a folder anyone may write: cp would refuse it.
    std::ofstream(path("shared/ro.wav")) << "the previous take";
    fs::permissions(path("shared/ro.wav"), fs::perms(0444));
    // A content folder that can be listed but not entered.
    fs::create_directories(path("shut"));
    std::ofstream(path("shut/one.zvmd"))
        << R"({"format": "corvane-voice-package", "version": 1, "voices": [{"name": "x", "effects": [], "parameters": []}]})";
    fs::permissions(path("shut"), fs::perms(0644));

    const Launch nobody{{"TMPDIR=" + path("tmp").string()}, true};
    ToolRun r = finishTool(startTool({"render", "../tone.wav", "ro.wav", "--voice", "Robot"}, path("shared"), nobody),
                           path("shared"));
    if (r.status == kCannotStart || r.status == kCannotExec)
        GTEST_SKIP() << "the user nobody cannot run the built tool from here (status " << r.status << ")";
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write \"ro.wav\": Permission denied"), std::string::npos) << r.err;
    EXPECT_TRUE(slurp(path("shared/ro.wav")) == "the previous take");
    EXPECT_EQ(entries(path("shared")), std::set<std::string>{"ro.wav"});

    r = finish(start({"voices", "--content", "shut"}, nobody));
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("shut/one.zvmd: Permission denied"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("shut/shut"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::is_empty(path("tmp")));
}

TEST_F(ToolCommands, EverySignalThatEndsTheToolCleansUpAlsoWhileItWaits) {
    const auto ignoredPipe = std::signal(SIGPIPE, SIG_IGN);  // this process writes to the tool's FIFO
    fs::create_directories(path("tmp"));
    fs::create_directories(path("out"));
    const Launch launch{{"TMPDIR=" + path("tmp").string()}};
    ASSERT_EQ(::mkfifo(path("in.wav").c_str(), 0644), 0);

    // An input FIFO that nobody writes: the open waits, until a signal.
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(number));
        const pid_t pid = start({"render", "in.wav", "out/out.wav", "--voice", "Robot"}, launch);
        EXPECT_TRUE(waitInSystemCall(pid, SYS_openat));
        ::kill(pid, number);
        const ToolRun r = finish(pid);
        EXPECT_EQ(r.status, 128 + number) << r.err;
        EXPECT_NE(r.err.find("corvane-voicemod: interrupted"), std::string::npos) << r.err;
        EXPECT_TRUE(fs::is_empty(path("tmp"))) << "the host's temporary folder is removed";
    }

    // A closed terminal half way through a render: the input's first half
    // is in, its temporary output file made.
    writeTones(path("tone.wav"), SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, {440.0}, 1.0);
    const std::string bytes = slurp(path("tone.wav"));
    const pid_t pid = start({"render", "in.wav", "out/out.wav", "--voice", "Robot"}, launch);
    int fifo = -1;
    for (int i = 0; i < 10000 && fifo < 0; ++i) {  // until the tool opens its end
        fifo = ::open(path("in.wav").c_str(), O_WRONLY | O_NONBLOCK);
        if (fifo < 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_GE(fifo, 0);
    ::fcntl(fifo, F_SETFL, 0);
    EXPECT_EQ(::write(fifo, bytes.data(), bytes.size() / 2), static_cast<ssize_t>(bytes.size() / 2));
    for (int i = 0; i < 5000 && fs::is_empty(path("out")); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_FALSE(fs::is_empty(path("out"))) << "the render has begun";
    ::kill(pid, SIGHUP);
    ::close(fifo);
    ToolRun r = finish(pid);
    EXPECT_EQ(r.status, 128 + SIGHUP) << r.err;
    EXPECT_TRUE(fs::is_empty(path("out"))) << "the temporary output file is removed";
    EXPECT_TRUE(fs::is_empty(path("tmp")));

    // voices, its list stuck in a full pipe when Ctrl-C comes.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::fcntl(ends[1], F_SETFL, O_NONBLOCK);
    while (::write(ends[1], "x", 1) == 1) {
    }
    ::fcntl(ends[1], F_SETFL, 0);
    Launch toPipe = launch;
    toPipe.standardOutput = ends[1];
    const pid_t voices = start({"voices"}, toPipe);
    ::close(ends[1]);
    EXPECT_TRUE(waitInSystemCall(voices, SYS_write));
    ::kill(voices, SIGINT);
    char drain[4096];
    while (::read(ends[0], drain, sizeof drain) > 0) {
    }
    ::close(ends[0]);
    r = finish(voices);
    EXPECT_EQ(r.status, 128 + SIGINT) << r.err;
    EXPECT_TRUE(fs::is_empty(path("tmp")));

    // SIGKILL, which no program can see: its host folder stays behind, and
    // the next start removes it.
    const pid_t killed = start({"render", "in.wav", "out/out.wav", "--voice", "Robot"}, launch);
    EXPECT_TRUE(waitInSystemCall(killed, SYS_openat));
    ::kill(killed, SIGKILL);
    r = finish(killed);
    EXPECT_EQ(r.status, -SIGKILL);
    EXPECT_FALSE(fs::is_empty(path("tmp"))) << "the killed tool's folder";
    r = finish(start({"voices"}, launch));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_empty(path("tmp"))) << "the next start removes what a killed tool left";
    std::signal(SIGPIPE, ignoredPipe);
}

#endif

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
        if (line.find(fs::path("rendered/").make_preferred().u8string()) != std::string::npos && line.size() > 2 && line.back() == 'x' &&
            std::isdigit(static_cast<unsigned char>(line[line.size() - 2])))
            ++rows;  // ends in a speed such as "412x"
    EXPECT_EQ(rows, names.size()) << r.out;
    // Beside the voices: the input (input.wav), a spectrogram of each and the
    // page that plays and shows them all.
    const std::string page = slurp(path("rendered/index.html"));
    std::size_t sounds = 0;
    for (const std::string& name : entries(path("rendered"))) {
        if (fs::path(name).extension() != ".wav") continue;
        ++sounds;
        const std::string picture = fs::path(name).replace_extension(".png").string();
        EXPECT_TRUE(fs::is_regular_file(path("rendered") / picture)) << picture;
        EXPECT_NE(page.find("<audio controls preload=\"metadata\" src=\"" + name + "\">"), std::string::npos) << name;
        EXPECT_NE(page.find("<img src=\"" + picture + "\""), std::string::npos) << picture;
    }
    EXPECT_EQ(sounds, names.size() + 1);
    for (const std::string& name : names) EXPECT_NE(page.find("<h2>" + name + "</h2>"), std::string::npos) << name;
    EXPECT_NE(r.out.find("index.html in a browser:\n  file://"), std::string::npos) << r.out;
    for (const auto& entry : fs::directory_iterator(path("rendered"))) {
        if (entry.path().extension() != ".wav") continue;
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
        if (fs::path(name).extension() != ".wav" || name == "input.wav") continue;  // not the page's files
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        folded.insert(lower);
        EXPECT_NE(r.out.find((fs::path("out") / name).u8string()), std::string::npos) << name << " is in the table: " << r.out;
    }
    EXPECT_EQ(folded.size(), 3u) << r.out;
}
