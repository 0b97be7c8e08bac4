// LiveServerFixture.h - what the JACK and PipeWire live tests share: a
// scratch folder of the test's own, a sound server started for each case
// (jackd, or PipeWire with WirePlumber) and ended after it, and the helpers
// that start and wait for processes. Each test program includes it once.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

// The tone both tests play into the tool.
constexpr double kPi = 3.14159265358979323846;
constexpr double kRate = 48000.0;
constexpr double kToneHz = 440.0;
constexpr float kToneAmplitude = 0.25f;

inline std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        const std::size_t end = std::min(dirs.find(':', start), dirs.size());
        if (::access((dirs.substr(start, end - start) + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

// Starts `args` with standard output and error to `output`; `env` holds
// "NAME=value" to set beyond this process's environment. The signals a
// shell's foreground job gets are at their defaults, whatever this process
// inherited. With `newGroup` the process leads a process group of its own.
inline pid_t spawn(const std::vector<std::string>& args, const fs::path& output, bool newGroup = false,
            const std::vector<std::string>& env = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) sigaddset(&defaults, number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    short flags = POSIX_SPAWN_SETSIGDEF;
    if (newGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes, 0);
    }
    posix_spawnattr_setflags(&attributes, flags);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string variable = *e;
        const std::string name = variable.substr(0, variable.find('='));
        if (std::none_of(env.begin(), env.end(),
                         [&](const std::string& v) { return v.rfind(name + "=", 0) == 0; }))
            variables.push_back(variable);
    }
    variables.insert(variables.end(), env.begin(), env.end());
    std::vector<char*> envp;
    for (const std::string& v : variables) envp.push_back(const_cast<char*>(v.c_str()));
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, &attributes, argv.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// Waits up to `limit` for the child: its exit status, 128 + a signal that
// ended it, or -1 (then it is killed).
inline int waitFor(pid_t pid, std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
        if (::waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// A case with a sound server of its own: scratch_ is an empty folder for
// it, the server is started by startServer() in the fixture's SetUp and
// ended (with its process group, when it leads one) after the case.
class LiveServerFixture : public ::testing::Test {
protected:
    // scratch_ := a new empty folder <temp>/<prefix>-<pid>.
    void makeScratch(const std::string& prefix) {
        scratch_ = fs::temp_directory_path() / (prefix + "-" + std::to_string(::getpid()));
        std::error_code ec;
        fs::remove_all(scratch_, ec);
        fs::create_directories(scratch_);
    }

    // Starts the server, its output to scratch_ / `log`; false when it
    // cannot be started. With `group` it leads a process group, which is
    // what ends with it.
    bool startServer(const std::vector<std::string>& args, const std::string& log, bool group) {
        serverGroup_ = group;
        serverProcess_ = spawn(args, scratch_ / log, group);
        return serverProcess_ > 0;
    }

    // Whether the server has ended by itself (it is then reaped).
    bool serverEnded() {
        int status = 0;
        if (serverProcess_ <= 0 || ::waitpid(serverProcess_, &status, WNOHANG) != serverProcess_) return false;
        serverProcess_ = -1;
        return true;
    }

    bool serverRunning() const { return serverProcess_ > 0; }

    // Ends the server: SIGTERM, and SIGKILL after 10 s. False when it had to
    // be killed.
    bool endServer() {
        if (serverProcess_ <= 0) return true;
        const pid_t target = serverGroup_ ? -serverProcess_ : serverProcess_;
        ::kill(target, SIGTERM);
        const bool ended = waitFor(serverProcess_, std::chrono::seconds(10)) != -1;
        if (!ended && serverGroup_) ::kill(target, SIGKILL);
        serverProcess_ = -1;
        return ended;
    }

    void removeScratch() {
        std::error_code ec;
        if (!scratch_.empty()) fs::remove_all(scratch_, ec);
    }

    fs::path scratch_;

private:
    pid_t serverProcess_ = -1;
    bool serverGroup_ = false;
};

}  // namespace
