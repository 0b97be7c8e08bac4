// CatalogueTest.cpp - listing the mounted voices, at scale too.
#include <filesystem>
#include <fstream>
#include <set>

#include "ChildProcess.h"

#include "EngineFixture.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;

class CatalogueTest : public EngineTest {};

TEST_F(CatalogueTest, ListsVoicesInMountOrder) {
    ASSERT_EQ(mount(voicesDir() + "/spaces.zvmd"), VCMD_OK);
    ASSERT_EQ(mount(voicesDir() + "/characters.zvmd"), VCMD_OK);
    const std::vector<std::string> names = voiceNames();
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names[0], "Cave");
    EXPECT_EQ(names[2], "Underwater");
    EXPECT_EQ(names[3], "Chipmunk");
    EXPECT_EQ(names[7], "Whisper");
}

TEST_F(CatalogueTest, NameArgumentsAreCheckedBeforeAnythingIsWritten) {
    mountShipped();
    uint32_t n = 0;
    ASSERT_EQ(vcmdGetNumberOfVoices(1, &n), VCMD_OK);
    EXPECT_EQ(vcmdGetNumberOfVoices(0, &n), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdGetNumberOfVoices(2, &n), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdGetNumberOfVoices(1, nullptr), VCMD_ERR_NULL_POINTER);

    std::vector<std::vector<char>> storage(n + 1, std::vector<char>(64, 'x'));
    std::vector<char*> ptrs;
    for (auto& s : storage) ptrs.push_back(s.data());
    EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n + 1, 64, 1), VCMD_ERR_INVALID_ARGUMENT) << "more than there are";
    EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 64, 3), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdGetVoiceNames(nullptr, n, 64, 1), VCMD_ERR_NULL_POINTER);
    ptrs[2] = nullptr;
    EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 64, 1), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(storage[0][0], 'x') << "nothing written before the null entry was found";
    ptrs[2] = storage[2].data();

    // "Walkie-Talkie" is the longest shipped name (13 bytes): 13 is one short.
    EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 13, 1), VCMD_ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(storage[0][0], 'x') << "no truncated or partial names";
    EXPECT_EQ(vcmdGetVoiceNames(ptrs.data(), n, 14, 1), VCMD_OK);
    EXPECT_STREQ(storage[0].data(), "Chipmunk");
    // Fewer than all: the first ones.
    std::vector<char> one(64, 'y');
    char* first[1] = {one.data()};
    EXPECT_EQ(vcmdGetVoiceNames(first, 1, 64, 1), VCMD_OK);
    EXPECT_STREQ(one.data(), "Chipmunk");
    EXPECT_EQ(vcmdGetVoiceNames(first, 0, 0, 1), VCMD_OK);
}

// A thousand packages of ten voices each mount and list completely and in
// order; the engine keys packages and names by hash, so this stays cheap
// (its speed is for the benchmarks, not for this test).
TEST_F(CatalogueTest, ThousandPackagesOfTenVoicesListInOrder) {
    const fs::path dir = fs::temp_directory_path() / ("vcmd_catalogue_" + std::to_string(testsupport::processId()));
    fs::create_directories(dir);
    constexpr int kPackages = 1000, kVoices = 10;
    for (int p = 0; p < kPackages; ++p) {
        std::ofstream out(dir / ("p" + std::to_string(p) + ".zvmd"));
        out << R"({"format": "corvane-voice-package", "version": 1, "voices": [)";
        for (int v = 0; v < kVoices; ++v) {
            out << (v ? "," : "") << R"({"name": "Voice )" << p << "-" << v
                << R"(", "effects": [{"id": "g", "type": "gain"}], "parameters": []})";
        }
        out << "]}";
    }
    std::set<int32_t> ids;
    for (int p = 0; p < kPackages; ++p) {
        int32_t id = 0;
        ASSERT_EQ(vcmdMountPackage((dir / ("p" + std::to_string(p) + ".zvmd")).u8string().c_str(), 0, 0, 0, &id), VCMD_OK);
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kPackages));
    const std::vector<std::string> names = voiceNames();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(kPackages * kVoices));
    EXPECT_EQ(names.front(), "Voice 0-0");
    EXPECT_EQ(names[12], "Voice 1-2");
    EXPECT_EQ(names.back(), "Voice 999-9");
    EXPECT_EQ(vcmdLoadVoice("Voice 500-5", 0, 0), VCMD_OK);
    fs::remove_all(dir);
}

}  // namespace
}  // namespace enginetest
