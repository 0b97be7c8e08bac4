// Platform.h - the few things the tool asks of the operating system that
// differ between Linux and Windows. Text is UTF-8 everywhere in the tool; on
// Windows these convert to and from the wide forms, never through the ANSI
// code page, so file and folder names beyond ASCII work.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvane::tool {

// The running executable's own path (/proc/self/exe on Linux,
// GetModuleFileNameW on Windows), or nothing when it cannot be told.
std::optional<std::filesystem::path> executablePath();

// The program's arguments after its name, as UTF-8. On Windows they are
// read from the wide command line; `argv` is used elsewhere.
std::vector<std::string> utf8Arguments(int argc, char** argv);

// The value of environment variable `name` as UTF-8; nothing when unset.
std::optional<std::string> environmentValue(const char* name);

// "-": standard input as INPUT, standard output as OUTPUT.
bool isStandardStream(const std::filesystem::path& path);

// This process's id.
long processId();

// Sets the console, where there is one to set, to show UTF-8 output.
void useUtf8Console();

// True when standard error is a terminal (a progress line may be drawn there).
bool standardErrorIsTerminal();

}  // namespace corvane::tool
