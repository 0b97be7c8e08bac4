#include <corvane/voicemod/VoicemodExtension.h>

#include <corvane/CVAny.h>
#include <corvane/Corvane.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Fixture.h"
#include "ScratchDirectory.h"

namespace fs = std::filesystem;
using corvane::Corvane;
using corvane::CVAny;
using corvane::LogLevel;
using corvane::extensions::voicemod::VoicemodError;
using corvane::extensions::voicemod::VoicemodExtension;
using testsupport::LogLine;

namespace {

// A content directory in a fresh temporary folder; removed afterwards.
class ContentDirectory {
public:
    const fs::path& path() const { return scratch_.path(); }
    void file(const std::string& relative) const {
        fs::create_directories((path() / relative).parent_path());
        std::ofstream(path() / relative) << "{}";
    }

private:
    testsupport::ScratchDirectory scratch_{"corvane-bringup"};
};

// The package paths handed to the voice changer (UTF-8), as paths: the
// separator the library joins with is the platform's.
std::vector<fs::path> mountedPaths() {
    std::vector<fs::path> paths;
    for (const auto& call : recording::calls())
        if (call.function == "vcmdMountPackage") paths.push_back(fs::u8path(call.strings.at(0)));
    std::sort(paths.begin(), paths.end());
    return paths;
}

// The calls made, without the description lookups that only serve messages.
std::vector<std::string> sdkCalls() {
    std::vector<std::string> names;
    for (const auto& call : recording::calls())
        if (call.function != "vcmdGetResultDescription") names.push_back(call.function);
    return names;
}

}  // namespace

using BringUp = LibraryTest;

TEST_F(BringUp, RunsEveryStepInOrderWithTheExactArgumentsAndMessages) {
    ContentDirectory content;
    content.file("b.zvmd");
    recording::script().voiceNames = {"Robot", "Cave"};
    recording::script().version = "9.8.7";
    const std::string tempPath = CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value());

    VoicemodExtension::initialize("first-arg", "second-arg", content.path().u8string().c_str());

    EXPECT_EQ(sdkCalls(), (std::vector<std::string>{"vcmdInitSDK", "vcmdGetVersionString", "vcmdSetTempPath",
                                                    "vcmdSetContentPath", "vcmdMountPackage",
                                                    "vcmdGetNumberOfVoices", "vcmdGetVoiceNames"}));
    const auto& calls = recording::calls();
    EXPECT_EQ(calls[0].strings, (std::vector<std::string>{"second-arg", "first-arg", "1.0"}));
    EXPECT_EQ(calls[2].strings.at(0), tempPath);
    EXPECT_TRUE(fs::is_directory(fs::u8path(tempPath)));
    EXPECT_EQ(calls[3].strings.at(0), content.path().u8string());
    // Path, three zero arguments, an id preset to -1.
    EXPECT_EQ(calls[4].numbers, (std::vector<double>{0, 0, 0, -1}));
    EXPECT_NE(calls[4].pointers.at(0), nullptr);

    EXPECT_EQ(log->lines(), (std::vector<LogLine>{
                                {LogLevel::Debug, "Initialized Corvane Extension -- Voicemod --"},
                                {LogLevel::Info, "Voicemod SDK Version: 9.8.7"},
                                {LogLevel::Info, "Available voicemod voice: Robot"},
                                {LogLevel::Info, "Available voicemod voice: Cave"},
                            }));
}

TEST_F(BringUp, TheBannerComesBeforeAnySdkCall) {
    ContentDirectory content;
    std::size_t callsWhenBannerLogged = 99;
    corvane::Logger::setSink([&](LogLevel, const std::string& message) {
        if (message == "Initialized Corvane Extension -- Voicemod --")
            callsWhenBannerLogged = recording::calls().size();
    });
    VoicemodExtension::initialize("a", "b", content.path().u8string().c_str());
    EXPECT_EQ(callsWhenBannerLogged, 0u);
}

TEST_F(BringUp, AlreadyStartedCountsAsStarted) {
    ContentDirectory content;
    content.file("one.zvmd");
    recording::script().results["vcmdInitSDK"] = -94;
    EXPECT_NO_THROW(VoicemodExtension::initialize("a", "b", content.path().u8string().c_str()));
    EXPECT_EQ(recording::countOf("vcmdMountPackage"), 1u);
    EXPECT_EQ(recording::countOf("vcmdGetVoiceNames"), 1u);
    EXPECT_TRUE(log->messages(LogLevel::Error).empty());
}

TEST_F(BringUp, EachFailingStepLogsItsMessageThrowsItsCodeAndGoesNoFurther) {
    struct Row {
        const char* function;
        std::int32_t code;
        const char* message;  // logged exactly
        const char* lastCall;
        const char* what;     // the exception's text: the message and what was wrong
                              // ({temp}, {content}, {package}: the paths of the run)
    };
    const Row rows[] = {
        {"vcmdInitSDK", -1, "Could not initialize Voicemod extension", "vcmdInitSDK",
         "Could not initialize Voicemod extension: code -1"},
        {"vcmdInitSDK", 94, "Could not initialize Voicemod extension", "vcmdInitSDK",
         "Could not initialize Voicemod extension: code 94"},
        {"vcmdSetTempPath", -3, "Could not set Voicemod temp path", "vcmdSetTempPath",
         "Could not set Voicemod temp path \"{temp}\": code -3"},
        {"vcmdSetContentPath", -4, "Could not set Voicemod content path", "vcmdSetContentPath",
         "Could not set Voicemod content path \"{content}\": code -4"},
        {"vcmdMountPackage", -5, "Error on vcmdMountPackage:bad package", "vcmdMountPackage",
         "Error on vcmdMountPackage:bad package (package \"{package}\")"},
        {"vcmdGetNumberOfVoices", -7, "Error on vcmdGetNumberOfVoices:no count", "vcmdGetNumberOfVoices",
         "Error on vcmdGetNumberOfVoices:no count"},
        {"vcmdGetVoiceNames", -8, "Error on vcmdGetVoiceNames:no names", "vcmdGetVoiceNames",
         "Error on vcmdGetVoiceNames:no names"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.function);
        recording::reset();
        log->clear();
        ContentDirectory content;
        content.file("a.zvmd");
        content.file("b.zvmd");
        recording::script().results[row.function] = row.code;
        recording::script().descriptions = {{-5, "bad package"}, {-7, "no count"}, {-8, "no names"}};
        recording::script().voiceNames = {"Robot"};

        try {
            VoicemodExtension::initialize("a", "b", content.path().u8string().c_str());
            ADD_FAILURE() << "no exception";
        } catch (const VoicemodError& error) {
            EXPECT_EQ(error.code(), row.code);
            std::string what = row.what;
            auto fill = [&what](const std::string& key, const std::string& value) {
                const auto at = what.find(key);
                if (at != std::string::npos) what.replace(at, key.size(), value);
            };
            // Inside the quotes a backslash is escaped like a quote (Windows
            // paths have them); these paths hold no other character that is.
            auto escaped = [](std::string text) {
                for (std::size_t at = 0; (at = text.find('\\', at)) != std::string::npos; at += 2) text.insert(at, 1, '\\');
                return text;
            };
            fill("{temp}", escaped(CVAny::convert<std::string>(Corvane::getValue("corvane", "tempDirPath").value())));
            fill("{content}", escaped(content.path().u8string()));
            for (const auto& call : recording::calls())
                if (call.function == "vcmdMountPackage") fill("{package}", escaped(call.strings.at(0)));
            EXPECT_EQ(error.what(), what);
        }
        EXPECT_EQ(log->messages(LogLevel::Error), std::vector<std::string>{row.message});
        EXPECT_EQ(sdkCalls().back(), row.lastCall);
        // Bring-up stops at the first package that fails.
        if (std::string(row.function) == "vcmdMountPackage") {
            EXPECT_EQ(recording::countOf("vcmdMountPackage"), 1u);
        }
        EXPECT_TRUE(log->messages(LogLevel::Info).size() <= 1u);  // at most the version line
    }
}

TEST_F(BringUp, NullTextsFromTheSdkReadAsEmpty) {
    ContentDirectory content;
    content.file("a.zvmd");
    recording::script().nullTexts = true;
    recording::script().results["vcmdMountPackage"] = -5;
    EXPECT_THROW(VoicemodExtension::initialize("a", "b", content.path().u8string().c_str()), VoicemodError);
    EXPECT_EQ(log->lines(), (std::vector<LogLine>{
                                {LogLevel::Debug, "Initialized Corvane Extension -- Voicemod --"},
                                {LogLevel::Info, "Voicemod SDK Version: "},
                                {LogLevel::Error, "Error on vcmdMountPackage:"},
                            }));
}

TEST_F(BringUp, AMissingTemporaryDirectoryThrowsAfterStartAndBeforeEitherPath) {
    ContentDirectory content;
    ASSERT_TRUE(Corvane::removeValue("corvane", "tempDirPath"));
    try {
        VoicemodExtension::initialize("a", "b", content.path().u8string().c_str());
        ADD_FAILURE() << "no exception";
    } catch (const VoicemodError&) {
        ADD_FAILURE() << "wrong exception type";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(),
                     "VoicemodExtension initialization failed: could not get temporary directory path from "
                     "Corvane SDK");
    }
    EXPECT_EQ(sdkCalls(), (std::vector<std::string>{"vcmdInitSDK", "vcmdGetVersionString"}));
    EXPECT_TRUE(log->messages(LogLevel::Error).empty());
    Corvane::initialize();
}

TEST_F(BringUp, ATemporaryDirectoryThatIsNotTextRaisesTheConversionError) {
    ContentDirectory content;
    Corvane::setValue("corvane", "tempDirPath", CVAny(42));
    EXPECT_THROW(VoicemodExtension::initialize("a", "b", content.path().u8string().c_str()), corvane::CVAnyTypeError);
    EXPECT_EQ(recording::countOf("vcmdSetTempPath"), 0u);
    Corvane::shutdown();
    Corvane::initialize();
}

TEST_F(BringUp, NullArgumentsAreRejectedByNameBeforeAnySdkCall) {
    ContentDirectory content;
    const std::string path = content.path().u8string();
    const char* dir = path.c_str();
    struct Case {
        const char* first;
        const char* second;
        const char* content;
        const char* name;
    };
    for (const Case& c : {Case{nullptr, "b", dir, "first"}, Case{"a", nullptr, dir, "second"},
                          Case{"a", "b", nullptr, "contentDirectory"}}) {
        try {
            VoicemodExtension::initialize(c.first, c.second, c.content);
            ADD_FAILURE() << "no exception for " << c.name;
        } catch (const std::invalid_argument& error) {
            EXPECT_NE(std::string(error.what()).find(std::string("'") + c.name + "'"), std::string::npos)
                << error.what();
        }
    }
    EXPECT_TRUE(recording::calls().empty());
    EXPECT_TRUE(log->lines().empty());
}

TEST_F(BringUp, MountsOnlyRegularZvmdFilesDirectlyInTheDirectory) {
    ContentDirectory content;
    content.file("alpha.zvmd");
    content.file("beta.zvmd");
    fs::create_directories(content.path() / "x.zvmd");
    content.file("upper.ZVMD");
    content.file("a.zvmdx");
    content.file(".zvmd");
    content.file("nested/inner.zvmd");
    content.file("notes.txt");
    // Windows makes symbolic links only with a privilege an ordinary user may
    // lack; the links are then left out and the rest still checked.
    std::error_code linkError;
    fs::create_symlink(content.path() / "alpha.zvmd", content.path() / "link.zvmd", linkError);
    if (!linkError) fs::create_symlink(content.path() / "missing.zvmd", content.path() / "dangling.zvmd", linkError);
    if (linkError) std::printf("[  NOTE    ] links not checked: symbolic links cannot be made here (%s)\n",
                               linkError.message().c_str());

    VoicemodExtension::initialize("a", "b", content.path().u8string().c_str());

    const fs::path& dir = content.path();
    std::vector<fs::path> expected{dir / "alpha.zvmd", dir / "beta.zvmd"};
    if (!linkError) expected.push_back(dir / "link.zvmd");
    EXPECT_EQ(mountedPaths(), expected);
}

TEST_F(BringUp, ADirectoryNamedBeyondAsciiReachesTheVoiceChangerAsUtf8) {
    ContentDirectory content;
    // "Voix-été-声音" and "Tête-音.zvmd", spelled as UTF-8 bytes.
    const std::string folder = "Voix-\xC3\xA9t\xC3\xA9-\xE5\xA3\xB0\xE9\x9F\xB3";
    const std::string package = "T\xC3\xAAte-\xE9\x9F\xB3.zvmd";
    const std::string dir = content.path().u8string() + "/" + folder;
    fs::create_directories(fs::u8path(dir));
    std::ofstream(fs::u8path(dir + "/" + package)) << "{}";

    VoicemodExtension::initialize("a", "b", dir.c_str());

    EXPECT_EQ(recording::firstCall("vcmdSetContentPath")->strings.at(0), dir);
    ASSERT_EQ(recording::countOf("vcmdMountPackage"), 1u);
    const std::string mounted = recording::firstCall("vcmdMountPackage")->strings.at(0);
    EXPECT_EQ(fs::u8path(mounted), fs::u8path(dir) / fs::u8path(package));
    EXPECT_EQ(mounted.substr(mounted.size() - package.size()), package);  // the very bytes
}

TEST_F(BringUp, PackagePathsKeepTheDirectoryExactlyAsPassed) {
    ContentDirectory content;
    content.file("pkg/one.zvmd");
    const fs::path previous = fs::current_path();
    fs::current_path(content.path());

    VoicemodExtension::initialize("a", "b", "pkg");
    EXPECT_EQ(mountedPaths(), std::vector<fs::path>{"pkg/one.zvmd"});

    recording::reset();
    VoicemodExtension::initialize("a", "b", "./pkg/");
    EXPECT_EQ(mountedPaths(), std::vector<fs::path>{"./pkg/one.zvmd"});
    EXPECT_EQ(recording::firstCall("vcmdSetContentPath")->strings.at(0), "./pkg/");
    fs::current_path(previous);
}

TEST_F(BringUp, ADirectoryThatCannotBeListedRaisesTheFileSystemError) {
    ContentDirectory content;
    const std::string missing = (content.path() / "does-not-exist").u8string();
    EXPECT_THROW(VoicemodExtension::initialize("a", "b", missing.c_str()), fs::filesystem_error);
    EXPECT_EQ(recording::countOf("vcmdSetContentPath"), 1u);
    EXPECT_EQ(recording::countOf("vcmdMountPackage"), 0u);

    // The empty string reaches the voice changer first, then the listing fails.
    recording::reset();
    EXPECT_THROW(VoicemodExtension::initialize("a", "b", ""), fs::filesystem_error);
    EXPECT_EQ(recording::firstCall("vcmdSetContentPath")->strings.at(0), "");
    EXPECT_EQ(recording::countOf("vcmdGetNumberOfVoices"), 0u);
}

TEST_F(BringUp, AnEmptyDirectoryMountsNothingAndStillLogsTheVoices) {
    ContentDirectory content;
    recording::script().voiceNames = {"Preinstalled"};
    VoicemodExtension::initialize("a", "b", content.path().u8string().c_str());
    EXPECT_EQ(recording::countOf("vcmdMountPackage"), 0u);
    EXPECT_EQ(log->messages(LogLevel::Info).back(), "Available voicemod voice: Preinstalled");
}
