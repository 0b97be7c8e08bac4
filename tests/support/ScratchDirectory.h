// ScratchDirectory.h - a fresh, empty folder in the temporary directory that
// belongs to one test and is removed with everything in it afterwards.
//
// ctest runs test processes side by side, so a name must be unique among
// processes that run at once and may start in the same millisecond: the
// folder is named after the process id and a counter, and created with
// create_directory, which fails on a name another test already holds; the
// next name is then tried.  An existing folder is never reused or emptied.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& prefix);
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

}  // namespace testsupport
