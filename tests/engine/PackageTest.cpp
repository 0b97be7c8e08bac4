// PackageTest.cpp - the package reader: every malformed package is refused
// whole with a description naming the file and the fault; good packages
// mount once per file.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "ChildProcess.h"

#include "EngineFixture.h"

namespace enginetest {
namespace {

namespace fs = std::filesystem;

struct BadCase {
    const char* file;
    const char* fault;  // must appear in the description
};

// One file per fault in data/bad, and the words the refusal must contain.
const BadCase kBadCases[] = {
    {"not_json.zvmd", "not JSON"},
    {"empty_file.zvmd", "not JSON"},
    {"invalid_utf8.zvmd", "not JSON"},
    {"root_not_object.zvmd", "must be an object"},
    {"unknown_version.zvmd", "unknown format version 2"},
    {"wrong_format.zvmd", "format is \"some-other-format\""},
    {"voices_not_array.zvmd", "voices must be an array"},
    {"name_not_string.zvmd", "voices[0].name must be a string"},
    {"missing_parameters.zvmd", "voices[0].parameters is missing"},
    {"unknown_field.zvmd", "voices[0].colour is not a known field"},
    {"setting_out_of_range.zvmd", "voices[0].effects[0].settings.frequency is 50000, outside 20..20000"},
    {"setting_not_number.zvmd", "settings.gain_db must be a number"},
    {"empty_name.zvmd", "voices[1].name is empty"},
    {"long_name.zvmd", "voices[0].name is 100 bytes long"},
    {"control_character_name.zvmd", "voices[0].name contains a control character"},
    {"unknown_effect_type.zvmd", "\"flux-capacitor\" is not a known effect type"},
    {"background_in_effects.zvmd", "belongs in background"},
    {"target_unknown_effect.zvmd", "\"nowhere\" names no effect"},
    {"default_out_of_range.zvmd", "voices[0].parameters[0].default is 3"},
    {"parameter_exceeds_setting.zvmd", "voices[0].parameters[0].minimum is -100, outside -60..24"},
    {"duplicate_voice.zvmd", "voices[1].name \"Fine\" is used twice"},
    {"no_voices.zvmd", "voices is empty"},
    // Numbers are checked as the floats the engine keeps.
    {"parameter_beyond_float.zvmd", "voices[0].parameters[0].minimum is -1e+39, beyond the range of a float"},
    {"parameter_range_overflows.zvmd", "parameters[0].minimum..maximum is wider than the largest float"},
    {"parameter_range_underflows.zvmd", "parameters[0].minimum is 0, not less than maximum 0"},
    {"parameter_range_subnormal.zvmd", "parameters[0].minimum..maximum is narrower than the smallest normal float"},
    {"version_beyond_int64.zvmd", "unknown format version 18446744073709551615 (this engine reads 1)"},
};

class PackageTest : public EngineTest {};

TEST_F(PackageTest, EveryMalformedPackageIsRefusedWithItsFileAndFault) {
    // Every file in the folder has a case, so a new fault file cannot be
    // forgotten here.
    std::set<std::string> listed;
    for (const BadCase& c : kBadCases) listed.insert(c.file);
    for (const auto& entry : fs::directory_iterator(dataDir() + "/bad"))
        EXPECT_EQ(listed.count(entry.path().filename().string()), 1u) << entry.path() << " has no case";

    for (const BadCase& c : kBadCases) {
        SCOPED_TRACE(c.file);
        int32_t id = 12345;
        const std::string path = dataDir() + "/bad/" + c.file;
        EXPECT_EQ(vcmdMountPackage(path.c_str(), 0, 0, 0, &id), VCMD_ERR_INVALID_PACKAGE);
        EXPECT_EQ(id, 12345) << "the id is written on success only";
        const std::string text = vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
        EXPECT_EQ(text.rfind("invalid package: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.file), std::string::npos) << text;
        EXPECT_NE(text.find(c.fault), std::string::npos) << text;
        uint32_t count = 99;
        ASSERT_EQ(vcmdGetNumberOfVoices(1, &count), VCMD_OK);
        EXPECT_EQ(count, 0u) << "nothing of a refused package is mounted";
    }
}

TEST_F(PackageTest, FileLargerThanOneMebibyteIsRefusedBeforeParsing) {
    const fs::path dir = fs::temp_directory_path() / ("vcmd_big_" + std::to_string(testsupport::processId()));
    fs::create_directories(dir);
    const fs::path big = dir / "big.zvmd";
    {
        // Valid JSON, padded with white space past the limit.
        std::ofstream out(big);
        out << "{ \"format\": \"corvane-voice-package\", \"version\": 1, \"voices\": [] }";
        out << std::string(1024 * 1024, ' ');
    }
    EXPECT_EQ(mount(big.u8string()), VCMD_ERR_INVALID_PACKAGE);
    const std::string text = vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
    EXPECT_NE(text.find("big.zvmd"), std::string::npos) << text;
    EXPECT_NE(text.find("larger than 1 MiB"), std::string::npos) << text;
    fs::remove_all(dir);
}

TEST_F(PackageTest, MissingFileGivesNoSuchFileNamingThePath) {
    EXPECT_EQ(mount(dataDir() + "/good/absent.zvmd"), VCMD_ERR_NO_SUCH_FILE);
    const std::string text = vcmdGetResultDescription(VCMD_ERR_NO_SUCH_FILE);
    EXPECT_NE(text.find("absent.zvmd"), std::string::npos) << text;
    // A directory is not a package either.
    EXPECT_EQ(mount(dataDir() + "/good"), VCMD_ERR_INVALID_PACKAGE);
}

TEST_F(PackageTest, SamePackageMountedTwiceGivesSameIdAndListsItsVoicesOnce) {
    int32_t first = -1, second = -1, other = -1;
    const std::string path = dataDir() + "/good/lab.zvmd";
    ASSERT_EQ(vcmdMountPackage(path.c_str(), 0, 0, 0, &first), VCMD_OK);
    // The same file by another spelling of its path.
    const std::string indirect = dataDir() + "/good/../good/./lab.zvmd";
    ASSERT_EQ(vcmdMountPackage(indirect.c_str(), 0, 0, 0, &second), VCMD_OK);
    EXPECT_EQ(first, second);
    const std::string otherPath = dataDir() + "/good/second.zvmd";
    ASSERT_EQ(vcmdMountPackage(otherPath.c_str(), 0, 0, 0, &other), VCMD_OK);
    EXPECT_NE(other, first);
    const std::vector<std::string> expected = {"Ring Lab",  "Echo Lab",        "Noise Lab",    "Gain Lab", "Pitch Lab",
                                               "Formant Lab", "Synchronous Lab", "Second Voice", "Ring Lab"};
    EXPECT_EQ(voiceNames(), expected);
}

TEST_F(PackageTest, DuplicateNameAcrossPackagesLoadsTheEarlierMount) {
    mountLab();
    ASSERT_EQ(mount(dataDir() + "/good/second.zvmd"), VCMD_OK);
    ASSERT_EQ(vcmdLoadVoice("Ring Lab", 0, 0), VCMD_OK);
    float value = 0.0f;
    // Only lab.zvmd's "Ring Lab" has a parameter named Frequency.
    EXPECT_EQ(vcmdGetParameter("Frequency", &value), VCMD_OK);
    EXPECT_FLOAT_EQ(value, 300.0f);
    EXPECT_EQ(vcmdGetParameter("Other", &value), VCMD_ERR_UNKNOWN_PARAMETER);
}

TEST_F(PackageTest, MountArgumentsAreChecked) {
    int32_t id = 7;
    const std::string path = dataDir() + "/good/lab.zvmd";
    EXPECT_EQ(vcmdMountPackage(nullptr, 0, 0, 0, &id), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdMountPackage(path.c_str(), 0, 0, 0, nullptr), VCMD_ERR_NULL_POINTER);
    EXPECT_EQ(vcmdMountPackage(path.c_str(), 1, 0, 0, &id), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdMountPackage(path.c_str(), 0, 1, 0, &id), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdMountPackage(path.c_str(), 0, 0, -1, &id), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(vcmdMountPackage("", 0, 0, 0, &id), VCMD_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(id, 7);
}

TEST_F(PackageTest, RelativePathFallsBackToTheContentPath) {
    ASSERT_EQ(vcmdSetContentPath(voicesDir().c_str()), VCMD_OK);
    EXPECT_EQ(mount("spaces.zvmd"), VCMD_OK);
    EXPECT_EQ(voiceNames(), (std::vector<std::string>{"Cave", "Cathedral", "Underwater"}));
}

TEST_F(PackageTest, RefusalDetailIsPerThreadAndOtherCodesKeepTheirFixedText) {
    ASSERT_EQ(mount(dataDir() + "/bad/empty_name.zvmd"), VCMD_ERR_INVALID_PACKAGE);
    const std::string mine = vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
    std::string seenElsewhere;
    std::thread([&] { seenElsewhere = vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE); }).join();
    EXPECT_NE(mine, seenElsewhere);
    EXPECT_EQ(seenElsewhere, "invalid voice package");
    EXPECT_STREQ(vcmdGetResultDescription(VCMD_ERR_UNKNOWN_VOICE), "no mounted voice has that name");
}

TEST_F(PackageTest, FormatDocumentationExampleMounts) {
    // The full example in docs/VOICE_PACKAGES.md is the first json block.
    std::ifstream doc(std::string(CORVANE_DOCS_DIR) + "/VOICE_PACKAGES.md");
    ASSERT_TRUE(doc) << "docs/VOICE_PACKAGES.md";
    const std::string text((std::istreambuf_iterator<char>(doc)), std::istreambuf_iterator<char>());
    const std::size_t begin = text.find("```json\n");
    ASSERT_NE(begin, std::string::npos);
    const std::size_t end = text.find("```", begin + 8);
    const fs::path dir = fs::temp_directory_path() / ("vcmd_doc_" + std::to_string(testsupport::processId()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "example.zvmd");
        out << text.substr(begin + 8, end - begin - 8);
    }
    EXPECT_EQ(mount((dir / "example.zvmd").u8string()), VCMD_OK) << vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
    ASSERT_EQ(vcmdLoadVoice("Old Radio", 0, 0), VCMD_OK);
    EXPECT_EQ(vcmdSetParameter("Tone", 1.0f), VCMD_OK);
    fs::remove_all(dir);
}

// The `quoted` words of `text`.
std::vector<std::string> quotedWords(const std::string& text) {
    std::vector<std::string> words;
    for (std::size_t at = text.find('`'); at != std::string::npos; at = text.find('`', at + 1)) {
        const std::size_t end = text.find('`', at + 1);
        if (end == std::string::npos) break;
        words.push_back(text.substr(at + 1, end - at - 1));
        at = end;
    }
    return words;
}

// Every bound in the settings tables of docs/VOICE_PACKAGES.md, written as the
// document writes it (0.1, -0.95), is inside: as a setting, as the ends of a
// parameter written straight to the setting, and as the ends of a mapped
// range.
TEST_F(PackageTest, EverySettingAcceptsItsDocumentedBoundsExactly) {
    std::ifstream doc(std::string(CORVANE_DOCS_DIR) + "/VOICE_PACKAGES.md");
    ASSERT_TRUE(doc) << "docs/VOICE_PACKAGES.md";
    // Rows read "| `type`, `type` | `setting` unit (minimum..maximum, default), ... |".
    std::string line, voices;
    bool inSection = false, layers = false;
    std::vector<std::pair<std::string, std::pair<float, float>>> parameters;  // voice, documented ends
    while (std::getline(doc, line)) {
        if (line.rfind("## ", 0) == 0) inSection = line == "## Effect types and their settings";
        if (!inSection) continue;
        layers = layers || line.rfind("Background layer types", 0) == 0;
        if (line.rfind("| `", 0) != 0) continue;
        const std::size_t split = line.find(" | ");
        const std::string settings = line.substr(split + 3);
        for (const std::string& type : quotedWords(line.substr(0, split))) {
            for (std::size_t at = settings.find('`'); at != std::string::npos;) {
                const std::size_t nameEnd = settings.find('`', at + 1);
                const std::string setting = settings.substr(at + 1, nameEnd - at - 1);
                const std::size_t open = settings.find('(', nameEnd), dots = settings.find("..", open),
                                  comma = settings.find(',', dots);
                const std::string lo = settings.substr(open + 1, dots - open - 1),
                                  hi = settings.substr(dots + 2, comma - dots - 2);
                at = settings.find('`', comma);
                const std::string name = type + " " + setting;
                const std::string effect =
                    R"({ "id": "x", "type": ")" + type + R"(", "settings": { ")" + setting + R"(": )" + hi + " } }";
                voices += std::string(voices.empty() ? "" : ", ") + R"({ "name": ")" + name + R"(", "effects": [)" +
                          (layers ? "], \"background\": [" : "") + effect + R"(], "parameters": [ { "name": "P", )" +
                          R"("minimum": )" + lo + R"(, "maximum": )" + hi + R"(, "default": )" + lo +
                          R"(, "unit": "", "targets": [ { "effect": "x", "setting": ")" + setting +
                          R"(" }, { "effect": "x", "setting": ")" + setting + R"(", "range": [)" + hi + ", " + lo +
                          "] } ] } ] }";
                parameters.push_back({name, {std::stof(lo), std::stof(hi)}});
            }
        }
    }
    ASSERT_GE(parameters.size(), 40u) << "the settings tables were not found";
    const fs::path dir = fs::temp_directory_path() / ("vcmd_bounds_" + std::to_string(testsupport::processId()));
    fs::create_directories(dir);
    {
        std::ofstream out(dir / "bounds.zvmd");
        out << R"({ "format": "corvane-voice-package", "version": 1, "voices": [)" << voices << "] }";
    }
    EXPECT_EQ(mount((dir / "bounds.zvmd").string()), VCMD_OK) << vcmdGetResultDescription(VCMD_ERR_INVALID_PACKAGE);
    fs::remove_all(dir);
    for (const auto& [voice, ends] : parameters) {
        SCOPED_TRACE(voice);
        ASSERT_EQ(vcmdLoadVoice(voice.c_str(), 0, 0), VCMD_OK);
        EXPECT_EQ(vcmdSetParameter("P", ends.first), VCMD_OK);
        EXPECT_EQ(vcmdSetParameter("P", ends.second), VCMD_OK);
    }
}

TEST_F(PackageTest, ShippedPackagesOfferAtLeastTenVoicesEachWithAParameter) {
    mountShipped();
    const std::vector<std::string> names = voiceNames();
    EXPECT_GE(names.size(), 10u);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size()) << "names are unique";
    std::vector<char> json(4096);
    for (const std::string& name : names) {
        uint32_t length = static_cast<uint32_t>(json.size());
        ASSERT_EQ(vcmdGetVoiceInfoJson(name.c_str(), json.data(), &length), VCMD_OK) << name;
        const std::string info(json.data(), length);
        EXPECT_NE(info.find("\"minimum\""), std::string::npos) << name << " exposes no parameter: " << info;
        EXPECT_NE(info.find(".zvmd\""), std::string::npos) << info;
    }
}

}  // namespace
}  // namespace enginetest
