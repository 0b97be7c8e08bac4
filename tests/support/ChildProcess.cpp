#include "ChildProcess.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testsupport {
namespace {

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Two fresh files in the temporary folder that take the child's output.
struct OutputFiles {
    fs::path out, err;
    OutputFiles() {
        static std::atomic<unsigned> counter{0};
        const std::string stem = "corvane-child-" + std::to_string(processId()) + "-" + std::to_string(counter++);
        out = fs::temp_directory_path() / (stem + ".out");
        err = fs::temp_directory_path() / (stem + ".err");
    }
    ~OutputFiles() {
        std::error_code ec;
        fs::remove(out, ec);
        fs::remove(err, ec);
    }
};

#if defined(_WIN32)

std::string nameOf(const std::string& assignment) { return assignment.substr(0, assignment.find('=')); }

std::wstring wide(const std::string& utf8) { return fs::u8path(utf8).wstring(); }

// One argument quoted the way the C runtime splits a command line.
std::wstring quoted(const std::wstring& arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring q = L"\"";
    for (auto it = arg.begin();; ++it) {
        std::size_t slashes = 0;
        while (it != arg.end() && *it == L'\\') ++it, ++slashes;
        if (it == arg.end()) {
            q.append(slashes * 2, L'\\');
            break;
        }
        if (*it == L'"') {
            q.append(slashes * 2 + 1, L'\\');
        } else {
            q.append(slashes, L'\\');
        }
        q.push_back(*it);
    }
    q.push_back(L'"');
    return q;
}

HANDLE inheritable(const fs::path& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES sa{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    return CreateFileW(path.wstring().c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// This process's environment with the changes asked for, as the block
// CreateProcessW takes.
std::wstring environmentBlock(const ChildOptions& options) {
    std::vector<std::wstring> entries;
    if (wchar_t* block = GetEnvironmentStringsW()) {
        for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    auto drop = [&entries](const std::wstring& name) {
        for (auto it = entries.begin(); it != entries.end();) {
            const std::wstring key = it->substr(0, it->find(L'=', 1));
            if (_wcsicmp(key.c_str(), name.c_str()) == 0) it = entries.erase(it);
            else ++it;
        }
    };
    for (const std::string& name : options.unsetEnv) drop(wide(name));
    for (const std::string& assignment : options.setEnv) {
        drop(wide(nameOf(assignment)));
        entries.push_back(wide(assignment));
    }
    std::wstring block;
    for (const std::wstring& e : entries) block += e + L'\0';
    block += L'\0';
    return block;
}

#endif

}  // namespace

#if defined(_WIN32)

ChildResult runChild(const fs::path& program, const std::vector<std::string>& args, const ChildOptions& options) {
    ChildResult result;
    const OutputFiles files;
    std::wstring commandLine = quoted(program.wstring());
    for (const std::string& a : args) commandLine += L" " + quoted(wide(a));
    std::wstring environment = environmentBlock(options);

    HANDLE in = inheritable(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE out = inheritable(files.out, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE err = inheritable(files.err, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = err;
    PROCESS_INFORMATION process{};
    const std::wstring cwd = options.cwd.empty() ? std::wstring() : options.cwd.wstring();
    const bool started = in != INVALID_HANDLE_VALUE && out != INVALID_HANDLE_VALUE && err != INVALID_HANDLE_VALUE &&
                         CreateProcessW(program.wstring().c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_UNICODE_ENVIRONMENT, environment.data(),
                                        cwd.empty() ? nullptr : cwd.c_str(), &startup, &process);
    for (HANDLE h : {in, out, err})
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    if (started) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) result.status = static_cast<int>(code);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    result.out = slurp(files.out);
    result.err = slurp(files.err);
    return result;
}

fs::path currentExecutable() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return {};
        if (n < buffer.size()) return fs::path(buffer.substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
}

#else

ChildResult runChild(const fs::path& program, const std::vector<std::string>& args, const ChildOptions& options) {
    ChildResult result;
    const OutputFiles files;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(files.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(files.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) ::_exit(126);
        if (!options.cwd.empty() && ::chdir(options.cwd.c_str()) != 0) ::_exit(126);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        for (const std::string& name : options.unsetEnv) ::unsetenv(name.c_str());
        for (const std::string& e : options.setEnv) {
            const std::size_t eq = e.find('=');
            ::setenv(e.substr(0, eq).c_str(), eq == std::string::npos ? "" : e.c_str() + eq + 1, 1);
        }
        const std::string path = program.string();
        std::vector<char*> argv{const_cast<char*>(path.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(path.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    result.out = slurp(files.out);
    result.err = slurp(files.err);
    return result;
}

fs::path currentExecutable() {
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec);
}

#endif

}  // namespace testsupport
