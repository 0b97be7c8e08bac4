// package_fuzzer.cpp - any bytes as a .zvmd file, mounted through
// vcmdMountPackage from a temporary file. A refused package must leave the
// catalogue as it was; a mounted one must describe, load and play each of
// its voices without a non-finite sample, and mount again to the same id.
#include <VoicemodUSDK.h>
#include <VoicemodUSDKExtras.h>
#include <VoicemodUSDKResults.h>

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"

using fuzzsupport::require;
using fuzzsupport::requireKnownCode;

namespace {

std::string gPath;

void writeFile(const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(gPath.c_str(), "wb");
    require(f != nullptr, "cannot write the temporary package");
    if (size > 0) require(std::fwrite(data, 1, size, f) == size, "short write of the temporary package");
    std::fclose(f);
}

// Loads the voice, moves each of its parameters to both ends and plays a
// block of full-scale noise at 8 kHz through it.
void play(const std::string& name) {
    std::vector<char> info(1 << 16);
    auto length = static_cast<std::uint32_t>(info.size());
    const std::int32_t code = vcmdGetVoiceInfoJson(name.c_str(), info.data(), &length);
    requireKnownCode(code, "vcmdGetVoiceInfoJson");
    require(code == VCMD_OK, "a mounted voice has no description", code);
    const nlohmann::json j = nlohmann::json::parse(std::string(info.data(), length), nullptr, false);
    require(!j.is_discarded(), "the voice description is not JSON");
    require(vcmdLoadVoice(name.c_str(), 0, 0) == VCMD_OK, "a mounted voice does not load");

    float block[256];
    std::uint32_t noise = 12345;
    for (const auto& p : j.at("parameters")) {
        const std::string pname = p.at("name").get<std::string>();
        for (const char* end : {"minimum", "maximum"}) {
            require(vcmdSetParameter(pname.c_str(), p.at(end).get<float>()) == VCMD_OK, "a range end is refused");
            for (float& x : block) {
                noise = noise * 1664525u + 1013904223u;
                x = static_cast<float>(static_cast<std::int32_t>(noise)) / 2147483648.0f;
            }
            require(vcmdProcessBuffer(block, 256) == VCMD_OK, "processing failed");
            fuzzsupport::requireFinite(block, 256, "non-finite output of a fuzzed voice");
            for (float x : block) require(std::fabs(x) <= 3.98f, "output above +12 dBFS");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && *tmp ? tmp : "/tmp") + "/corvane-fuzz-package-XXXXXX";
    require(mkdtemp(dir.data()) != nullptr, "cannot make a temporary directory");
    gPath = dir + "/fuzzed.zvmd";
    std::atexit([] {
        std::remove(gPath.c_str());
        std::remove(gPath.substr(0, gPath.rfind('/')).c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    vcmdResetForTesting();
    require(vcmdInitSDK("fuzz-key", "fuzz-secret", "1.0") == VCMD_OK, "start-up failed");
    require(vcmdSetSampleRate(8000.0f) == VCMD_OK, "8 kHz refused");
    writeFile(data, size);

    std::int32_t id = -1;
    const std::int32_t code = vcmdMountPackage(gPath.c_str(), 0, 0, 0, &id);
    requireKnownCode(code, "vcmdMountPackage");
    std::uint32_t count = 12345;
    require(vcmdGetNumberOfVoices(1, &count) == VCMD_OK, "cannot count voices");
    if (code != VCMD_OK) {
        require(code == VCMD_ERR_INVALID_PACKAGE, "a readable file refused with an unexpected code", code);
        require(id == -1, "a refused package wrote an id");
        require(count == 0, "a refused package left voices behind", count);
        return 0;
    }
    require(id > 0, "a mounted package has no id", id);
    require(count > 0, "a mounted package has no voice");

    std::vector<std::vector<char>> storage(count, std::vector<char>(256));
    std::vector<char*> names(count);
    for (std::uint32_t i = 0; i < count; ++i) names[i] = storage[i].data();
    require(vcmdGetVoiceNames(names.data(), count, 256, 1) == VCMD_OK, "cannot read voice names");
    for (std::uint32_t i = 0; i < count && i < 4; ++i) play(names[i]);

    std::int32_t again = -1;
    require(vcmdMountPackage(gPath.c_str(), 0, 0, 0, &again) == VCMD_OK && again == id,
            "mounting the same file again gave another answer");
    std::uint32_t after = 0;
    require(vcmdGetNumberOfVoices(1, &after) == VCMD_OK && after == count, "mounting again changed the catalogue");
    return 0;
}
