#include "ScratchDirectory.h"

#include <atomic>
#include <stdexcept>
#include <system_error>

#include "ChildProcess.h"

namespace fs = std::filesystem;

namespace testsupport {

ScratchDirectory::ScratchDirectory(const std::string& prefix) {
    static std::atomic<unsigned> counter{0};
    const fs::path base = fs::temp_directory_path();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const fs::path candidate =
            base / (prefix + "-" + std::to_string(processId()) + "-" + std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
        if (ec) throw fs::filesystem_error("cannot make a scratch folder", candidate, ec);
    }
    throw std::runtime_error("no free scratch folder name for " + prefix);
}

ScratchDirectory::~ScratchDirectory() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

}  // namespace testsupport
