#include "platform/Platform.h"

#include <cstdlib>
#include <system_error>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <io.h>
#include <process.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace corvane::tool {

bool isStandardStream(const std::filesystem::path& path) {
    return path.native().size() == 1 && path.native()[0] == '-';
}
namespace fs = std::filesystem;

#if defined(_WIN32)

std::optional<fs::path> executablePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::nullopt;
        if (n < buffer.size()) return fs::path(buffer.substr(0, n));
        buffer.resize(buffer.size() * 2);
    }
}

std::vector<std::string> utf8Arguments(int, char**) {
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(fs::path(wide[i]).u8string());
    LocalFree(wide);
    return arguments;
}

std::optional<std::string> environmentValue(const char* name) {
    const std::wstring wideName = fs::u8path(name).wstring();
    const wchar_t* value = _wgetenv(wideName.c_str());
    if (value == nullptr) return std::nullopt;
    return fs::path(value).u8string();
}

bool standardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

long processId() { return static_cast<long>(_getpid()); }

void useUtf8Console() { SetConsoleOutputCP(CP_UTF8); }

#else

std::optional<fs::path> executablePath() {
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec || self.empty()) return std::nullopt;
    return self;
}

std::vector<std::string> utf8Arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

std::optional<std::string> environmentValue(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

bool standardErrorIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

long processId() { return static_cast<long>(::getpid()); }

void useUtf8Console() {}

#endif

}  // namespace corvane::tool
